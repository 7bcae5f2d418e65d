#include "DeviceFolderWatcher.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace korvane {

namespace {

QStringList namesIn(const QString &folder)
{
    // System: device nodes and links that lead nowhere count as names too.
    return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

// The folder itself when it exists, else its nearest existing parent (whose
// change tells that the folder has appeared); empty when there is none.
QString watchableFolder(const QString &folder)
{
    QString path = QDir::cleanPath(QDir(folder).absolutePath());
    while (!QFileInfo(path).isDir()) {
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            return {};
        path = parent;
    }
    return path;
}

} // namespace

DeviceFolderWatcher::DeviceFolderWatcher(const QStringList &folders, QObject *parent)
    : QObject(parent)
    , folders_(folders)
{
    settle_.setSingleShot(true);
    settle_.setInterval(SettleMs);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, &settle_, qOverload<>(&QTimer::start));
    connect(&settle_, &QTimer::timeout, this, &DeviceFolderWatcher::settle);
    watchFolders();
    for (const QString &folder : std::as_const(folders_))
        names_.insert(folder, namesIn(folder));
}

void DeviceFolderWatcher::watchFolders()
{
    QSet<QString> wanted;
    for (const QString &folder : std::as_const(folders_)) {
        const QString path = watchableFolder(folder);
        if (!path.isEmpty())
            wanted.insert(path);
    }
    const QStringList watched = watcher_.directories();
    for (const QString &path : watched) {
        if (!wanted.contains(path))
            watcher_.removePath(path);
    }
    for (const QString &path : std::as_const(wanted)) {
        if (!watched.contains(path))
            watcher_.addPath(path);
    }
}

void DeviceFolderWatcher::settle()
{
    // Watched before listed: a name made in between is in the list or
    // brings another change.
    watchFolders();
    bool differs = false;
    for (const QString &folder : std::as_const(folders_)) {
        QStringList now = namesIn(folder);
        if (now != names_.value(folder)) {
            names_.insert(folder, std::move(now));
            differs = true;
        }
    }
    if (differs)
        emit changed();
}

} // namespace korvane
