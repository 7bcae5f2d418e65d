#pragma once
// Reading and writing single values of an INI settings file (korvane.ini),
// with the behaviour of the Windows profile-string functions on every
// platform, through one code path of our own.

#include <QByteArray>
#include <QString>

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

/// The folder of the running executable, ending in the platform's separator.
QString AppFolder();

/// The path used by ReadINI/WriteINI below: AppFolder() + "korvane.ini"
/// unless setPath() was called.
QString path();
void setPath(const QString &path);

QString ReadINI(const QString &section, const QString &key);
bool WriteINI(const QString &section, const QString &key, const QString &value);

// The in-memory parse and edit behind the file functions.

/// The value of key in section of the file contents, as ReadINI returns it.
QString readValue(const QByteArray &contents, const QString &section, const QString &key);

/// The file contents with key in section set to value; every byte outside
/// that key's line is kept. std::nullopt when the contents cannot be
/// rewritten safely.
std::optional<QByteArray> writeValue(const QByteArray &contents, const QString &section,
                                     const QString &key, const QString &value);

} // namespace modINI
} // namespace korvane
