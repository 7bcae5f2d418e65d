// Arbitrary bytes as the contents of the settings file, through the
// in-memory reader and writer (modINI::readValue / modINI::writeValue; the
// file save around them is not fuzzed).
//
// Reading: the fixed pairs Settings/CommPort, Settings/Setting,
// Settings/SlaveID, Ports/COM1 and up to 8 section/key pairs found in the
// input (names of printable ASCII only) are read. A value never holds a NUL
// nor more than 254 characters, and asking with the names in another ASCII
// case and with blanks around them reads the same.
//
// Writing: each fixed pair, and one found pair whose names are plain
// ([A-Za-z0-9_.-]), is written, each on the original input, with a value
// derived from a hash of the input: 0 to 8 letters and digits, now and then
// one of "äÖß€" (Windows-1252 holds them), and in UTF-8 and UTF-16 files a
// character beyond the 16-bit range. Such a value reads back unchanged (no
// blanks to trim, no quotes to strip, far below 254 characters, nothing the
// file's encoding lacks), which makes these invariants exact:
// - the write is never refused (the names and the value are valid, the input
//   is far below the size limit);
// - the key reads back as the written value, and writing the same value again
//   changes nothing;
// - every other pair reads the same before and after;
// - the byte-order mark (UTF-8, UTF-16 LE/BE or none) and a stray last byte
//   of a UTF-16 file stay;
// - in code units of the file's encoding, the output differs from the input
//   in one contiguous region (common prefix + common suffix cover the rest),
//   and no line break of the input is removed. Either the change is an edit
//   within one line - the value part (after the first '=') of a key line
//   named as the key - or it is a pure insertion of whole lines at a line
//   boundary: "key=value" + break directly after the section's last key line
//   (or after its header when it has none) of an existing section, or
//   "[section]" + break + "key=value" + break at the end of a file without
//   that section; with one break first when the line before lacks one. The
//   break is that of the file's first line, CRLF when it has none.
//
// Names are compared as the reader does: blanks (space, tab, CR, LF, VT, FF,
// Ctrl-Z) around them ignored, Unicode case folding (QString's
// case-insensitive compare). Only ASCII names are ever looked for here, and
// no Windows-1252 character folds to ASCII, so bytes of a file without a
// byte-order mark are compared as Latin-1.

#include "FuzzCheck.h"

#include "settings/modINI.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

using namespace korvane;

namespace {

struct Pair {
    QString section;
    QString key;
};

enum class Enc { Ansi, Utf8, Utf16LE, Utf16BE };

// The file as code units after its byte-order mark: bytes, or 16-bit units.
struct Units {
    Enc enc = Enc::Ansi;
    QByteArray bom;
    QByteArray stray; // a last byte of a UTF-16 file that makes no unit
    std::u16string u;
};

Units unitsOf(const QByteArray &b)
{
    Units r;
    if (b.startsWith("\xFF\xFE"))
        r.enc = Enc::Utf16LE, r.bom = b.first(2);
    else if (b.startsWith("\xFE\xFF"))
        r.enc = Enc::Utf16BE, r.bom = b.first(2);
    else if (b.startsWith("\xEF\xBB\xBF"))
        r.enc = Enc::Utf8, r.bom = b.first(3);
    const auto *p = reinterpret_cast<const std::uint8_t *>(b.constData());
    const qsizetype start = r.bom.size();
    if (r.enc == Enc::Utf16LE || r.enc == Enc::Utf16BE) {
        const qsizetype n = (b.size() - start) / 2;
        for (qsizetype i = 0; i < n; ++i) {
            const std::uint8_t x = p[start + 2 * i], y = p[start + 2 * i + 1];
            r.u.push_back(r.enc == Enc::Utf16LE ? char16_t(x | (y << 8)) : char16_t((x << 8) | y));
        }
        if ((b.size() - start) % 2)
            r.stray = b.last(1);
    } else {
        for (qsizetype i = start; i < b.size(); ++i)
            r.u.push_back(p[i]);
    }
    return r;
}

bool isBlank(char16_t c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == 0x1A;
}

QString trimBlanks(const QString &s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && isBlank(s[b].unicode()))
        ++b;
    while (e > b && isBlank(s[e - 1].unicode()))
        --e;
    return s.mid(b, e - b);
}

bool sameName(const QString &a, const QString &b)
{
    return trimBlanks(a).compare(trimBlanks(b), Qt::CaseInsensitive) == 0;
}

QString decodeName(const Units &t, std::size_t from, std::size_t to)
{
    QString s;
    if (t.enc == Enc::Utf8) {
        QByteArray bytes;
        for (std::size_t i = from; i < to; ++i)
            bytes.append(char(t.u[i]));
        return QString::fromUtf8(bytes);
    }
    for (std::size_t i = from; i < to; ++i)
        s.append(QChar(t.u[i]));
    return s;
}

// Printable ASCII only (so that every encoding holds the name as it is).
bool printableAscii(const QString &s)
{
    for (QChar c : s) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            return false;
    }
    return true;
}

bool plainName(const QString &s)
{
    if (s.isEmpty() || s.size() > 32)
        return false;
    for (QChar c : s) {
        const char16_t u = c.unicode();
        if (!((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '_' || u == '.'
              || u == '-'))
            return false;
    }
    return true;
}

// One line [begin, end) of the units (end at its '\n' or the end of the
// file) as the format sees it.
struct LineKind {
    enum Kind { Other, Header, Key } kind = Other;
    std::size_t nameBegin = 0, nameEnd = 0, equals = 0;
};

LineKind classify(const Units &t, std::size_t begin, std::size_t end)
{
    LineKind k;
    std::size_t p = begin;
    while (p < end && isBlank(t.u[p]))
        ++p;
    if (p == end || t.u[p] == ';')
        return k;
    if (t.u[p] == '[') {
        for (std::size_t q = p + 1; q < end; ++q) {
            if (t.u[q] == ']') {
                k.kind = LineKind::Header;
                k.nameBegin = p + 1;
                k.nameEnd = q;
                break;
            }
        }
        return k;
    }
    for (std::size_t q = p; q < end; ++q) {
        if (t.u[q] == '=') {
            k.kind = LineKind::Key;
            k.nameBegin = p;
            k.nameEnd = k.equals = q;
            break;
        }
    }
    return k;
}

std::size_t lineBegin(const Units &t, std::size_t pos)
{
    while (pos > 0 && t.u[pos - 1] != '\n')
        --pos;
    return pos;
}

std::size_t lineEnd(const Units &t, std::size_t pos)
{
    while (pos < t.u.size() && t.u[pos] != '\n')
        ++pos;
    return pos;
}

bool hasHeader(const Units &t, const QString &section)
{
    for (std::size_t b = 0; b <= t.u.size();) {
        const std::size_t e = lineEnd(t, b);
        const LineKind k = classify(t, b, e);
        if (k.kind == LineKind::Header && sameName(decodeName(t, k.nameBegin, k.nameEnd), section))
            return true;
        b = e + 1;
    }
    return false;
}

// Section/key pairs written in the file, with printable ASCII names.
QList<Pair> harvest(const Units &t, int limit)
{
    QList<Pair> pairs;
    std::optional<QString> section;
    for (std::size_t b = 0; b <= t.u.size() && pairs.size() < limit;) {
        const std::size_t e = lineEnd(t, b);
        const LineKind k = classify(t, b, e);
        if (k.kind == LineKind::Header) {
            const QString name = trimBlanks(decodeName(t, k.nameBegin, k.nameEnd));
            section = printableAscii(name) ? std::optional<QString>(name) : std::nullopt;
        } else if (k.kind == LineKind::Key && section) {
            const QString name = trimBlanks(decodeName(t, k.nameBegin, k.nameEnd));
            if (printableAscii(name))
                pairs.append({*section, name});
        }
        b = e + 1;
    }
    return pairs;
}

// Text as code units of the file's encoding. Only used for texts the
// encoding holds: ASCII names, and values whose characters outside ASCII are
// among those of cp1252Extra (or anything in UTF-8 and UTF-16 files).
constexpr char16_t cp1252Extra[][2] = {{u'\u00E4', 0xE4}, {u'\u00D6', 0xD6}, {u'\u00DF', 0xDF}, {u'\u20AC', 0x80}};

std::u16string inUnits(Enc enc, const QString &s)
{
    std::u16string r;
    switch (enc) {
    case Enc::Utf16LE:
    case Enc::Utf16BE:
        return s.toStdU16String();
    case Enc::Utf8:
        for (char c : s.toUtf8())
            r.push_back(std::uint8_t(c));
        return r;
    case Enc::Ansi:
        for (QChar c : s) {
            char16_t unit = c.unicode();
            for (const auto &m : cp1252Extra) {
                if (m[0] == unit)
                    unit = m[1];
            }
            r.push_back(unit);
        }
        return r;
    }
    return r;
}

// The break the writer adds: that of the first line, CRLF without one.
std::u16string fileBreak(const Units &t)
{
    for (std::size_t i = 0; i < t.u.size(); ++i) {
        if (t.u[i] == '\n')
            return (i > 0 && t.u[i - 1] == '\r') ? u"\r\n" : u"\n";
    }
    return u"\r\n";
}

// out is in with whole lines inserted as the writer adds a key or a section.
bool isLineInsertion(const Units &in, const Units &out, std::size_t prefix, std::size_t suffix, const QString &s,
                     const QString &k, const QString &value)
{
    const std::u16string &a = in.u, &b = out.u;
    const std::size_t m = b.size() - a.size();
    const std::u16string br = fileBreak(in);
    const std::u16string keyLine = inUnits(in.enc, k) + u"=" + inUnits(in.enc, value) + br;
    const std::u16string sectionLines = u"[" + inUnits(in.enc, s) + u"]" + br + keyLine;
    const bool sectionExists = hasHeader(in, s);
    const std::size_t lo = a.size() - std::min(suffix, a.size());
    for (std::size_t at = lo; at <= prefix && at <= a.size(); ++at) {
        const std::u16string inserted = b.substr(at, m);
        // A break first only after a last line that lacks one.
        const bool openLast = at == a.size() && !a.empty() && a.back() != '\n';
        const std::u16string lead = openLast ? br : u"";
        if (!openLast && at > 0 && a[at - 1] != '\n')
            continue;
        if (!sectionExists) {
            if (at == a.size() && inserted == lead + sectionLines)
                return true;
            continue;
        }
        if (inserted != lead + keyLine || at == 0)
            continue;
        // Directly after the section's last key line or its header.
        const std::size_t prevEnd = openLast ? at : at - 1;
        const std::size_t prevBegin = lineBegin(in, prevEnd);
        const LineKind prev = classify(in, prevBegin, prevEnd);
        if (prev.kind == LineKind::Other)
            continue;
        if (prev.kind == LineKind::Header && !sameName(decodeName(in, prev.nameBegin, prev.nameEnd), s))
            continue;
        bool laterKey = false;
        for (std::size_t lb = at; lb < a.size();) {
            const std::size_t le = lineEnd(in, lb);
            const LineKind later = classify(in, lb, le);
            if (later.kind == LineKind::Header)
                break;
            if (later.kind == LineKind::Key) {
                laterKey = true;
                break;
            }
            lb = le + 1;
        }
        if (!laterKey)
            return true;
    }
    return false;
}

void checkWrite(const QByteArray &contents, const Units &in, const QString &s, const QString &k,
                const QString &value, const QList<Pair> &pairs, const QList<QString> &before)
{
    const std::optional<QByteArray> written = modINI::writeValue(contents, s, k, value);
    FUZZ_REQUIRE(written.has_value());
    const QByteArray &result = *written;
    FUZZ_REQUIRE(modINI::readValue(result, s, k) == value);
    FUZZ_REQUIRE(modINI::writeValue(result, s, k, value) == result);
    for (qsizetype i = 0; i < pairs.size(); ++i) {
        if (sameName(pairs[i].section, s) && sameName(pairs[i].key, k))
            continue;
        FUZZ_REQUIRE(modINI::readValue(result, pairs[i].section, pairs[i].key) == before[i]);
    }

    const Units out = unitsOf(result);
    FUZZ_REQUIRE(out.bom == in.bom);
    FUZZ_REQUIRE(out.stray == in.stray);

    const std::u16string &a = in.u, &b = out.u;
    std::size_t prefix = 0;
    while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix])
        ++prefix;
    std::size_t suffix = 0;
    while (suffix < a.size() && suffix < b.size() && a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix])
        ++suffix;
    const std::size_t tail = std::min(suffix, std::min(a.size(), b.size()) - prefix);
    const std::u16string removed = a.substr(prefix, a.size() - tail - prefix);
    const std::u16string added = b.substr(prefix, b.size() - tail - prefix);
    if (removed.empty() && added.empty())
        return; // the key already held the value

    // No line of the input is removed, split or joined.
    FUZZ_REQUIRE(removed.find(u'\n') == std::u16string::npos);
    if (added.find(u'\n') != std::u16string::npos) {
        FUZZ_REQUIRE(removed.empty());
        FUZZ_REQUIRE(isLineInsertion(in, out, prefix, suffix, s, k, value));
        return;
    }
    // An edit within one line: the value part of the key's line.
    const std::size_t begin = lineBegin(out, prefix);
    const LineKind line = classify(out, begin, lineEnd(out, prefix));
    FUZZ_REQUIRE(line.kind == LineKind::Key);
    FUZZ_REQUIRE(line.equals < prefix);
    FUZZ_REQUIRE(sameName(decodeName(out, line.nameBegin, line.nameEnd), k));
}

std::uint64_t mix(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// 0 to 8 characters that read back exactly as written: letters and digits,
// now and then one of cp1252Extra, and in UTF-8 and UTF-16 files also a
// character beyond the 16-bit range (a surrogate pair).
QString valueFor(std::uint64_t hash, int which, Enc enc)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr std::size_t letters = sizeof alphabet - 1;
    constexpr std::size_t extra = sizeof cp1252Extra / sizeof cp1252Extra[0];
    const bool unicode = enc != Enc::Ansi;
    std::uint64_t x = mix(hash ^ std::uint64_t(which));
    const int length = int(x % 9);
    QString v;
    for (int i = 0; i < length; ++i) {
        x = mix(x);
        const std::size_t pick = x % (letters + extra + (unicode ? 1 : 0));
        if (pick < letters)
            v.append(QLatin1Char(alphabet[pick]));
        else if (pick < letters + extra)
            v.append(QChar(cp1252Extra[pick - letters][0]));
        else
            v.append(QString::fromUcs4(U"\U0001F600", 1));
    }
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray contents(reinterpret_cast<const char *>(data), qsizetype(size));
    if (contents.size() > modINI::readLimit)
        return 0; // the writer refuses these; libFuzzer's inputs stay far below

    const Units in = unitsOf(contents);
    const QList<Pair> fixed = {{QStringLiteral("Settings"), QStringLiteral("CommPort")},
                               {QStringLiteral("Settings"), QStringLiteral("Setting")},
                               {QStringLiteral("Settings"), QStringLiteral("SlaveID")},
                               {QStringLiteral("Ports"), QStringLiteral("COM1")}};
    QList<Pair> pairs = fixed;
    const QList<Pair> found = harvest(in, 8);
    pairs += found;

    QList<QString> before;
    for (const Pair &p : pairs) {
        const QString v = modINI::readValue(contents, p.section, p.key);
        before.append(v);
        FUZZ_REQUIRE(v.size() <= modINI::maxValueLength);
        FUZZ_REQUIRE(!v.contains(QChar(0)));
        const QString sectionAsked = QStringLiteral(" ") + p.section.toUpper() + QStringLiteral("\t");
        const QString keyAsked = QStringLiteral("\t") + p.key.toLower() + QStringLiteral(" ");
        FUZZ_REQUIRE(modINI::readValue(contents, sectionAsked, keyAsked) == v);
    }

    std::uint64_t hash = 0xCBF29CE484222325ull; // FNV-1a
    for (std::size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 0x100000001B3ull;

    int which = 0;
    for (const Pair &p : fixed)
        checkWrite(contents, in, p.section, p.key, valueFor(hash, which++, in.enc), pairs, before);
    for (const Pair &p : found) {
        if (plainName(p.section) && plainName(p.key)) {
            checkWrite(contents, in, p.section, p.key, valueFor(hash, which, in.enc), pairs, before);
            break;
        }
    }
    return 0;
}
