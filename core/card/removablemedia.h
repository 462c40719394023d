#pragma once

#include <QObject>
#include <QStringList>

#include <memory>

class QDBusMessage;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;
class UDisksObjects;

// Where removable media are mounted: the only volumes the card watcher may
// offer as cards without the user browsing to them (the computer's own disks
// once were, one click from being written to). Asks the system's disk
// service and hears from it as media come and go; where the service is not
// there, reads the mount table on every call and asks sysfs which disks can
// be taken out.
class RemovableMedia : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RemovableMedia)

public:
    enum class Source {
        // Started, and the disk service not answered yet.
        None,
        DiskService,
        MountTable,
    };

    explicit RemovableMedia(QObject *parent = nullptr);
    ~RemovableMedia() override;

    // Asks the disk service, or settles on the mount table at once (without
    // a changed()) where there is no bus to ask on.
    void start();
    Source source() const { return current; }
    // Mount points of removable media that may be offered, without
    // duplicates. Costs nothing with the disk service; a read of the mount
    // table and a few sysfs files without it.
    QStringList mountPoints() const;

    // Whether a file system of this type mounted here may ever be offered:
    // never a system volume, a network share or a kernel file system,
    // whatever the disk under it.
    static bool mayOffer(const QString &mountPoint, const QString &type);

signals:
    // The media mounted changed, or where they are learnt from did.
    void changed();

private slots:
    // QtDBus connects a bus signal only to a slot named in a string; the
    // tests drive each of these through a stand-in service.
    void handleInterfacesAdded(const QDBusMessage &message);
    void handleInterfacesRemoved(const QDBusMessage &message);
    void handlePropertiesChanged(const QDBusMessage &message);

private:
    void askDiskService();
    void handleManagedObjects(QDBusPendingCallWatcher *call);
    void handleOwnerChanged(const QString &owner);
    void useMountTable(const QString &why);
    // Tells listeners when what the service reported moved a mount point.
    void announceIfMoved(const QStringList &before);

    std::unique_ptr<UDisksObjects> objects;
    QDBusServiceWatcher *serviceWatcher = nullptr;
    Source current = Source::None;
};
