#include "modINI.h"

#include "common/AtomicFile.h"

#include <QByteArrayView>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringView>

#include <array>

namespace korvane {

namespace {

// Windows-1252 bytes 0x80..0x9F. The unassigned positions hold the C1 control
// character of the same number, so bytes and characters map one to one.
constexpr std::array<char16_t, 32> cp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t fromCp1252(uchar b)
{
    return (b >= 0x80 && b < 0xA0) ? cp1252High[b - 0x80] : char16_t(b);
}

char toCp1252(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return char(c);
    for (std::size_t i = 0; i < cp1252High.size(); ++i) {
        if (cp1252High[i] == c)
            return char(0x80 + i);
    }
    return '?';
}

bool isBlank(char16_t c)
{
    // 0x1A (Ctrl-Z, an old end-of-file mark) counts as a blank, as in Windows.
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == 0x1A;
}

QString trimBlanks(QStringView s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && isBlank(s[b].unicode()))
        ++b;
    while (e > b && isBlank(s[e - 1].unicode()))
        --e;
    return s.sliced(b, e - b).toString();
}

enum class Encoding { Ansi, Utf8, Utf16LE, Utf16BE };

QString decodeBytes(Encoding enc, QByteArrayView bytes)
{
    QString out;
    switch (enc) {
    case Encoding::Ansi:
        out.resize(bytes.size());
        for (qsizetype i = 0; i < bytes.size(); ++i)
            out[i] = QChar(fromCp1252(uchar(bytes[i])));
        break;
    case Encoding::Utf8:
        out = QString::fromUtf8(bytes);
        break;
    case Encoding::Utf16LE:
    case Encoding::Utf16BE: {
        const bool le = enc == Encoding::Utf16LE;
        out.resize(bytes.size() / 2);
        for (qsizetype i = 0; i < out.size(); ++i) {
            const uchar a = uchar(bytes[2 * i]), b = uchar(bytes[2 * i + 1]);
            out[i] = QChar(le ? char16_t(a | (b << 8)) : char16_t((a << 8) | b));
        }
        break;
    }
    }
    return out;
}

QByteArray encodeText(Encoding enc, QStringView s)
{
    QByteArray out;
    switch (enc) {
    case Encoding::Ansi:
        out.reserve(s.size());
        for (qsizetype i = 0; i < s.size(); ++i) {
            // A surrogate pair is one character, hence one '?'.
            if (s[i].isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate())
                ++i;
            out.append(toCp1252(s[i].unicode()));
        }
        break;
    case Encoding::Utf8:
        out = s.toUtf8();
        break;
    case Encoding::Utf16LE:
    case Encoding::Utf16BE: {
        const bool le = enc == Encoding::Utf16LE;
        out.reserve(2 * s.size());
        for (QChar c : s) {
            const char lo = char(c.unicode() & 0xFF), hi = char(c.unicode() >> 8);
            out.append(le ? lo : hi);
            out.append(le ? hi : lo);
        }
        break;
    }
    }
    return out;
}

// The file contents as a sequence of code units after the byte-order mark:
// bytes in ANSI and UTF-8 files, 16-bit units in UTF-16 files. The
// characters the format is built from ('[', ']', '=', ';', blanks, line
// breaks) are single units in all of them, so lines are found on the units
// and only names and values are decoded. A stray last byte of a UTF-16 file
// is not a unit; it stays behind everything.
class Text {
public:
    explicit Text(QByteArrayView data) : data_(data)
    {
        if (data.startsWith("\xFF\xFE")) {
            enc_ = Encoding::Utf16LE;
            bom_ = 2;
        } else if (data.startsWith("\xFE\xFF")) {
            enc_ = Encoding::Utf16BE;
            bom_ = 2;
        } else if (data.startsWith("\xEF\xBB\xBF")) {
            enc_ = Encoding::Utf8;
            bom_ = 3;
        }
        width_ = (enc_ == Encoding::Utf16LE || enc_ == Encoding::Utf16BE) ? 2 : 1;
        units_ = (data.size() - bom_) / width_;
    }

    qsizetype size() const { return units_; }

    char16_t at(qsizetype i) const
    {
        const qsizetype o = bom_ + i * width_;
        switch (enc_) {
        case Encoding::Utf16LE:
            return char16_t(uchar(data_[o]) | (uchar(data_[o + 1]) << 8));
        case Encoding::Utf16BE:
            return char16_t((uchar(data_[o]) << 8) | uchar(data_[o + 1]));
        default:
            return uchar(data_[o]);
        }
    }

    qsizetype byteOffset(qsizetype unit) const { return bom_ + unit * width_; }

    QString decode(qsizetype from, qsizetype to) const
    {
        return decodeBytes(enc_, data_.sliced(byteOffset(from), (to - from) * width_));
    }

    QByteArray encode(QStringView s) const { return encodeText(enc_, s); }

    /// s as this file can hold it (characters it lacks become '?').
    QString narrow(const QString &s) const { return decodeBytes(enc_, encode(s)); }

    /// The line break of the first line, CRLF when there is none yet.
    QString lineBreak() const
    {
        for (qsizetype i = 0; i < units_; ++i) {
            if (at(i) == '\n')
                return (i > 0 && at(i - 1) == '\r') ? QStringLiteral("\r\n") : QStringLiteral("\n");
        }
        return QStringLiteral("\r\n");
    }

private:
    QByteArrayView data_;
    Encoding enc_ = Encoding::Ansi;
    qsizetype bom_ = 0;
    qsizetype width_ = 1;
    qsizetype units_ = 0;
};

struct Line {
    qsizetype begin = 0;      // first unit
    qsizetype contentEnd = 0; // before the line break ("\n" or "\r\n")
    qsizetype end = 0;        // after the line break
    bool hasBreak = false;
};

Line lineAt(const Text &t, qsizetype begin)
{
    qsizetype i = begin;
    while (i < t.size() && t.at(i) != '\n')
        ++i;
    Line l{begin, i, i, false};
    if (i < t.size()) {
        l.end = i + 1;
        l.hasBreak = true;
        if (i > begin && t.at(i - 1) == '\r')
            l.contentEnd = i - 1;
    }
    return l;
}

struct Entry {
    enum Kind { Other, Section, Key } kind = Other;
    qsizetype nameBegin = 0, nameEnd = 0;   // untrimmed name
    qsizetype equals = 0;                   // the first '=' of a key line
    qsizetype valueBegin = 0, valueEnd = 0; // the value without surrounding blanks
};

Entry classify(const Text &t, const Line &l)
{
    Entry e;
    qsizetype p = l.begin;
    while (p < l.contentEnd && isBlank(t.at(p)))
        ++p;
    if (p == l.contentEnd || t.at(p) == ';')
        return e;
    if (t.at(p) == '[') {
        for (qsizetype q = p + 1; q < l.contentEnd; ++q) {
            if (t.at(q) == ']') {
                e.kind = Entry::Section;
                e.nameBegin = p + 1;
                e.nameEnd = q;
                break;
            }
        }
        return e;
    }
    for (qsizetype q = p; q < l.contentEnd; ++q) {
        if (t.at(q) != '=')
            continue;
        e.kind = Entry::Key;
        e.nameBegin = p;
        e.nameEnd = e.equals = q;
        e.valueBegin = q + 1;
        while (e.valueBegin < l.contentEnd && isBlank(t.at(e.valueBegin)))
            ++e.valueBegin;
        e.valueEnd = l.contentEnd;
        while (e.valueEnd > e.valueBegin && isBlank(t.at(e.valueEnd - 1)))
            --e.valueEnd;
        break;
    }
    return e;
}

bool sameName(const Text &t, const Entry &e, const QString &name)
{
    return trimBlanks(t.decode(e.nameBegin, e.nameEnd)).compare(name, Qt::CaseInsensitive) == 0;
}

// Where key of section is, as reading sees it: in the first section of that
// name, the first key of that name.
struct Found {
    bool section = false;
    Line header;                // the section's header line
    std::optional<Line> lastKey; // the section's last key line so far
    std::optional<Line> keyLine;
    Entry key;
};

Found locate(const Text &t, const QString &section, const QString &key)
{
    const QString s = trimBlanks(t.narrow(section));
    const QString k = trimBlanks(t.narrow(key));
    Found f;
    for (qsizetype pos = 0; pos < t.size();) {
        const Line l = lineAt(t, pos);
        pos = l.end;
        const Entry e = classify(t, l);
        if (e.kind == Entry::Section) {
            if (f.section)
                break;
            if (sameName(t, e, s)) {
                f.section = true;
                f.header = l;
            }
        } else if (f.section && e.kind == Entry::Key) {
            f.lastKey = l;
            if (sameName(t, e, k)) {
                f.keyLine = l;
                f.key = e;
                break;
            }
        }
    }
    return f;
}

bool holdsBreakOrNul(const QString &s)
{
    return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n')) || s.contains(QChar(0));
}

void warn(const QString &message) { qWarning().noquote() << message; }

// A file grown beyond what reading looks at would hide the value just written.
std::optional<QByteArray> withinLimit(QByteArray contents)
{
    if (contents.size() > modINI::readLimit)
        return std::nullopt;
    return contents;
}

} // namespace

QString IniFile::ReadINI(const QString &section, const QString &key) const
{
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.read(modINI::readLimit + 1);
    if (data.size() > modINI::readLimit) {
        static QSet<QString> reported;
        if (!reported.contains(path_)) {
            reported.insert(path_);
            warn(QStringLiteral("%1: the settings file is larger than %2 bytes; only its first %2 bytes are read")
                     .arg(path_)
                     .arg(modINI::readLimit));
        }
    }
    return modINI::readValue(data, section, key);
}

bool IniFile::WriteINI(const QString &section, const QString &key, const QString &value) const
{
    const bool exists = QFileInfo::exists(path_);
    QByteArray old;
    if (exists) {
        QFile file(path_);
        if (!file.open(QIODevice::ReadOnly)) {
            warn(QStringLiteral("%1: cannot read the settings file: %2").arg(path_, file.errorString()));
            return false;
        }
        old = file.read(modINI::readLimit + 1);
        if (file.error() != QFileDevice::NoError) {
            warn(QStringLiteral("%1: cannot read the settings file: %2").arg(path_, file.errorString()));
            return false;
        }
        if (old.size() > modINI::readLimit) {
            warn(QStringLiteral("%1: not written: the settings file is larger than %2 bytes and would lose its rest")
                     .arg(path_)
                     .arg(modINI::readLimit));
            return false;
        }
    }

    const std::optional<QByteArray> updated = modINI::writeValue(old, section, key, value);
    if (!updated) {
        warn(QStringLiteral("%1: not written: [%2] %3 cannot be stored (an empty name; a line break or NUL in a "
                            "name or the value; ']' in the section; '=' in the key or a key starting with ';' "
                            "or '['; or the file would grow beyond %4 bytes)")
                 .arg(path_, section, key)
                 .arg(modINI::readLimit));
        return false;
    }
    if (exists && *updated == old)
        return true;

    if (const auto failure = replaceFile(path_, *updated)) {
        warn(QStringLiteral("%1: cannot write the settings file: %2").arg(path_, *failure));
        return false;
    }
    return true;
}

namespace modINI {

namespace {
QString &configuredPath()
{
    static QString p;
    return p;
}
} // namespace

QString withTrailingSeparator(const QString &folder)
{
    return folder.endsWith(QDir::separator()) ? folder : folder + QDir::separator();
}

QString AppFolder()
{
    return withTrailingSeparator(QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
}

QString path()
{
    return configuredPath().isEmpty() ? AppFolder() + QStringLiteral("korvane.ini") : configuredPath();
}

void setPath(const QString &p) { configuredPath() = p; }

QString ReadINI(const QString &section, const QString &key) { return IniFile(path()).ReadINI(section, key); }
bool WriteINI(const QString &section, const QString &key, const QString &value)
{
    return IniFile(path()).WriteINI(section, key, value);
}

QString readValue(const QByteArray &contents, const QString &section, const QString &key)
{
    const Text t(QByteArrayView(contents).first(qMin(contents.size(), readLimit)));
    const Found f = locate(t, section, key);
    if (!f.keyLine)
        return {};
    QString v = t.decode(f.key.valueBegin, f.key.valueEnd);
    if (v.size() >= 2 && (v.front() == QLatin1Char('"') || v.front() == QLatin1Char('\'')) && v.back() == v.front())
        v = v.sliced(1, v.size() - 2);
    if (const qsizetype nul = v.indexOf(QChar(0)); nul >= 0)
        v.truncate(nul);
    if (v.size() > maxValueLength) {
        qsizetype n = maxValueLength;
        if (v[n - 1].isHighSurrogate())
            --n;
        v.truncate(n);
    }
    return v;
}

std::optional<char32_t> firstCharacterNotInWindows1252(QStringView text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            return QChar::surrogateToUcs4(c, text[i + 1]);
        // The same conversion the writer uses, so that the two agree.
        if (c.isSurrogate() || (toCp1252(c.unicode()) == '?' && c != QLatin1Char('?')))
            return c.unicode();
    }
    return std::nullopt;
}

std::optional<QByteArray> writeValue(const QByteArray &contents, const QString &section, const QString &key,
                                     const QString &value)
{
    if (contents.size() > readLimit)
        return std::nullopt;
    const QString s = trimBlanks(section);
    const QString k = trimBlanks(key);
    if (s.isEmpty() || k.isEmpty() || holdsBreakOrNul(s) || holdsBreakOrNul(k) || holdsBreakOrNul(value)
        || s.contains(QLatin1Char(']')) || k.contains(QLatin1Char('=')) || k.startsWith(QLatin1Char(';'))
        || k.startsWith(QLatin1Char('[')))
        return std::nullopt;

    const Text t(contents);
    const Found f = locate(t, s, k);
    QByteArray out = contents;

    if (f.keyLine) {
        // Replace the old value; an empty one is filled in right after '='.
        const Entry &e = f.key;
        const qsizetype from = e.valueBegin < e.valueEnd ? e.valueBegin : e.equals + 1;
        const qsizetype to = e.valueBegin < e.valueEnd ? e.valueEnd : from;
        out.replace(t.byteOffset(from), t.byteOffset(to) - t.byteOffset(from), t.encode(value));
        return withinLimit(std::move(out));
    }

    const QString br = t.lineBreak();
    QString added;
    qsizetype at;
    if (f.section) {
        const Line &after = f.lastKey ? *f.lastKey : f.header;
        at = after.end;
        if (!after.hasBreak)
            added = br;
        added += k + QLatin1Char('=') + value + br;
    } else {
        at = t.size();
        if (t.size() > 0 && t.at(t.size() - 1) != '\n')
            added = br;
        added += QLatin1Char('[') + s + QLatin1Char(']') + br + k + QLatin1Char('=') + value + br;
    }
    out.insert(t.byteOffset(at), t.encode(added));
    return withinLimit(std::move(out));
}

} // namespace modINI
} // namespace korvane
