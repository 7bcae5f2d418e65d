#pragma once
// Reading and writing single values of an INI settings file (korvane.ini),
// with the behaviour of the Windows profile-string functions on every
// platform, through one code path of our own.
//
// Reading:
// - Section and key names match case-insensitively; blanks around them (and
//   around the value) are ignored. A value in one pair of matching double or
//   single quotes is returned without them.
// - A line whose first non-blank character is ';' is a comment. A line that
//   starts with '[' and holds a ']' is a section header (the name is the text
//   between '[' and the first ']'; the rest of the line is ignored); one that
//   starts with '[' without ']' is skipped. Inside a section, a line with '='
//   is a key (the name is the text before the first '='); any other line is
//   skipped, and so is everything before the first section header.
// - Where a section appears twice only the first one is searched; where a
//   key appears twice in it the first one wins.
// - Lines end in LF or CRLF. A file that starts with a UTF-16 byte-order mark
//   (little- or big-endian) is UTF-16, one that starts with the UTF-8 mark is
//   UTF-8; any other file is Windows-1252, in which the five unassigned bytes
//   0x81, 0x8D, 0x8F, 0x90 and 0x9D stand for the C1 control characters of
//   the same number (as Windows' own conversion does), so every byte has a
//   character.
// - A value is cut at a NUL character and at 254 characters. A missing file,
//   section or key reads as the empty text.
// - Only the first readLimit bytes of a file are read; a larger file is
//   reported once per file on stderr.
//
// Writing keeps every byte outside the one change:
// - An existing key (the one reading finds) gets its value replaced in
//   place: everything on its line before the old value (indentation, the
//   key's own spelling, blanks around '=') and the blanks after it stay.
// - A new key goes at the end of its section: directly after the section's
//   last key line, or after the header when the section has no key yet.
//   Blank lines and comments that follow stay after it.
// - A new section goes at the end of the file, without a blank line before
//   it. A missing or empty file becomes "[Section]\r\nKey=value\r\n".
// - Added lines use the file's own line break (that of its first line;
//   CRLF when the file has none yet). A line break is added first when the
//   line written after lacks one.
// - The text is encoded as the file is: UTF-16 and UTF-8 files keep their
//   mark and encoding and can hold any character; in a Windows-1252 file a
//   character outside that code page is written as '?'. Names are compared
//   as the file can hold them, so a name written as '?' is found again.
// - Refused (WriteINI false, file unchanged): an empty section or key name,
//   a section name holding ']', a key name holding '=' or starting with ';'
//   or '[', any line break or NUL in a name or the value (the file would read
//   differently), a file larger than readLimit (it would lose its rest), and
//   a change that would make the file larger than readLimit.
// - The file is replaced atomically (a temporary file in the same folder,
//   renamed over it); when that fails the old file stays and stderr says why.

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>

namespace korvane {

/// One settings file at a fixed path.
class IniFile {
public:
    explicit IniFile(QString path = {}) : path_(std::move(path)) {}

    const QString &path() const { return path_; }

    /// The value of key in section, or the empty text when the file, the
    /// section or the key is missing. At most 254 characters.
    QString ReadINI(const QString &section, const QString &key) const;

    /// Stores the value, creating the file, section or key as needed, and
    /// keeping every other byte of the file. Returns false (and says why on
    /// stderr) when the file could not be written; the old file then stays.
    bool WriteINI(const QString &section, const QString &key, const QString &value) const;

private:
    QString path_;
};

namespace modINI {

/// How much of a file is read; a larger file is never written back.
inline constexpr qsizetype readLimit = 1024 * 1024;

/// The longest value ReadINI returns.
inline constexpr qsizetype maxValueLength = 254;

/// The folder of the running executable, ending in the platform's separator.
QString AppFolder();

/// folder with the platform's separator appended unless it already ends in one.
QString withTrailingSeparator(const QString &folder);

/// The path used by ReadINI/WriteINI below: AppFolder() + "korvane.ini"
/// unless setPath() was called (an empty path restores that default).
QString path();
void setPath(const QString &path);

QString ReadINI(const QString &section, const QString &key);
bool WriteINI(const QString &section, const QString &key, const QString &value);

// The in-memory parse and edit behind the file functions.

/// The value of key in section of the file contents, as ReadINI returns it
/// (only the first readLimit bytes are looked at).
QString readValue(const QByteArray &contents, const QString &section, const QString &key);

/// The first character of text that a Windows-1252 file cannot hold (the
/// writer stores it as '?'), as a code point (a lone surrogate as itself);
/// std::nullopt when the file holds every character of it.
std::optional<char32_t> firstCharacterNotInWindows1252(QStringView text);

/// The file contents with key in section set to value; every byte outside
/// that key's line is kept. std::nullopt when the contents cannot be
/// rewritten safely (see the refusals above).
std::optional<QByteArray> writeValue(const QByteArray &contents, const QString &section,
                                     const QString &key, const QString &value);

} // namespace modINI
} // namespace korvane
