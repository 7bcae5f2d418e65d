#include "AtomicFile.h"

#include <QSaveFile>

namespace korvane {

std::optional<QString> replaceFile(const QString &path, const QByteArray &bytes)
{
    // Unbuffered, so that each write's error (a full disk, a file-size
    // limit) is seen here: QSaveFile::commit() does not notice an error that
    // only comes up when it flushes its buffer, and would rename a short file
    // over the old one.
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return out.errorString();
    for (qsizetype done = 0; done < bytes.size();) {
        const qint64 n = out.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0) {
            const QString reason = out.errorString();
            out.cancelWriting(); // the temporary file is removed, the old file stays
            return reason;
        }
        done += n;
    }
    if (!out.commit())
        return out.errorString();
    return std::nullopt;
}

} // namespace korvane
