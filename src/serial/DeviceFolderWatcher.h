#pragma once
// Notices device nodes that appear in or disappear from a few folders (/dev
// and /dev/serial/by-id), so that the serial devices present are asked
// again only then: asking the system opens serial ports to probe them.

#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

namespace korvane {

class DeviceFolderWatcher : public QObject {
    Q_OBJECT
public:
    /// Watches folders. One that does not exist yet (/dev/serial/by-id
    /// before the first adapter is plugged in) is watched through its
    /// nearest existing parent until it appears.
    explicit DeviceFolderWatcher(const QStringList &folders, QObject *parent = nullptr);

    /// How long changes are gathered into one changed(): an adapter plugged
    /// in makes its node, then its folders and links, one after the other.
    static constexpr int SettleMs = 200;

signals:
    /// A name appeared in or disappeared from one of the folders; once for
    /// changes that come together. Changes of attributes alone (a node's
    /// permissions) do not count.
    void changed();

private:
    void settle();
    void watchFolders();

    QStringList folders_;
    QHash<QString, QStringList> names_;
    QFileSystemWatcher watcher_;
    QTimer settle_;
};

} // namespace korvane
