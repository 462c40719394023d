#include "card/removablemedia.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QSet>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "card/cardlog.h"
#include "card/mounttable.h"
#include "card/sysfsblockdevice.h"
#include "card/udisksobjects.h"

namespace {

// The device a mounted file system lives on. A file system run by a helper
// program (exFAT or NTFS through FUSE) gets a made-up device number; its
// source, the device node, then names the disk.
dev_t deviceOf(const MountTable::Mount &mount)
{
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(mount.mountPoint).constData(), &status) != 0)
        return 0;
    dev_t device = status.st_dev;
    struct stat source
    {
    };
    if (major(device) == 0 && mount.source.startsWith(QLatin1String("/dev/"))
        && ::stat(QFile::encodeName(mount.source).constData(), &source) == 0 && S_ISBLK(source.st_mode))
        device = source.st_rdev;
    return device;
}

} // namespace

RemovableMedia::RemovableMedia(QObject *parent)
    : QObject(parent)
    , objects(std::make_unique<UDisksObjects>())
{
}

RemovableMedia::~RemovableMedia() = default;

void RemovableMedia::start()
{
    if (serviceWatcher || current == Source::MountTable)
        return;
    UDisksObjects::registerTypes();
    QDBusConnection bus = UDisksObjects::bus();
    if (!bus.isConnected()) {
        useMountTable(
            QStringLiteral("no bus to ask the disk service on (%1)").arg(bus.lastError().message()));
        return;
    }

    const QString service = QLatin1String(UDisksObjects::service);
    // Subscribed before the first question, so that nothing that happens
    // between the answer and the subscription is missed.
    const QString manager = QLatin1String(UDisksObjects::managerPath);
    const QString objectManager = QLatin1String(UDisksObjects::objectManagerInterface);
    bool subscribed = bus.connect(service, manager, objectManager, QStringLiteral("InterfacesAdded"), this,
        SLOT(handleInterfacesAdded(QDBusMessage)));
    subscribed = bus.connect(service, manager, objectManager, QStringLiteral("InterfacesRemoved"), this,
                     SLOT(handleInterfacesRemoved(QDBusMessage)))
        && subscribed;
    // Any object's properties: an empty path matches every one.
    subscribed = bus.connect(service, QString(), QLatin1String(UDisksObjects::propertiesInterface),
                     QStringLiteral("PropertiesChanged"), this, SLOT(handlePropertiesChanged(QDBusMessage)))
        && subscribed;
    if (!subscribed)
        qCWarning(lcCard) << "Cannot follow the disk service's signals:" << bus.lastError().message();

    // The service may start, stop or restart while the tool runs.
    serviceWatcher = new QDBusServiceWatcher(service, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(serviceWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
        [this](const QString &, const QString &, const QString &owner) { handleOwnerChanged(owner); });
    askDiskService();
}

void RemovableMedia::askDiskService()
{
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(UDisksObjects::service),
        QLatin1String(UDisksObjects::managerPath), QLatin1String(UDisksObjects::objectManagerInterface),
        QStringLiteral("GetManagedObjects"));
    // Never a blocking call: the window must not freeze on a slow service.
    auto *pending = new QDBusPendingCallWatcher(UDisksObjects::bus().asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, &RemovableMedia::handleManagedObjects);
}

void RemovableMedia::handleManagedObjects(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusMessage reply = call->reply();
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        if (current != Source::MountTable) {
            useMountTable(QStringLiteral("the disk service did not answer (%1)").arg(reply.errorName()));
            emit changed();
        }
        return;
    }
    objects->reset(qdbus_cast<UDisksObjects::ManagedObjects>(reply.arguments().constFirst()));
    if (current != Source::DiskService)
        qCInfo(lcCard) << "Removable media found through the disk service";
    current = Source::DiskService;
    emit changed();
}

void RemovableMedia::handleOwnerChanged(const QString &owner)
{
    if (owner.isEmpty()) {
        if (current == Source::DiskService) {
            useMountTable(QStringLiteral("the disk service left the bus"));
            emit changed();
        }
        return;
    }
    // Started again, or for the first time: what it knew before is gone.
    askDiskService();
}

void RemovableMedia::useMountTable(const QString &why)
{
    if (current == Source::MountTable)
        return;
    qCInfo(lcCard).noquote() << "Removable media found through the mount table and sysfs:" << why;
    objects->reset({});
    current = Source::MountTable;
}

void RemovableMedia::handleInterfacesAdded(const QDBusMessage &message)
{
    // Before the first answer, the answer itself will tell: messages from one
    // sender arrive in the order it sent them.
    if (current != Source::DiskService || message.arguments().size() < 2)
        return;
    const QStringList before = mountPoints();
    objects->addInterfaces(message.arguments().at(0).value<QDBusObjectPath>().path(),
        qdbus_cast<UDisksObjects::Interfaces>(message.arguments().at(1)));
    announceIfMoved(before);
}

void RemovableMedia::handleInterfacesRemoved(const QDBusMessage &message)
{
    if (current != Source::DiskService || message.arguments().size() < 2)
        return;
    const QStringList before = mountPoints();
    objects->removeInterfaces(message.arguments().at(0).value<QDBusObjectPath>().path(),
        qdbus_cast<QStringList>(message.arguments().at(1)));
    announceIfMoved(before);
}

void RemovableMedia::handlePropertiesChanged(const QDBusMessage &message)
{
    if (current != Source::DiskService || message.arguments().size() < 3)
        return;
    const QStringList before = mountPoints();
    objects->changeProperties(message.path(), message.arguments().at(0).toString(),
        qdbus_cast<QVariantMap>(message.arguments().at(1)),
        qdbus_cast<QStringList>(message.arguments().at(2)));
    announceIfMoved(before);
}

void RemovableMedia::announceIfMoved(const QStringList &before)
{
    // The service reports much that does not matter here (a drive's
    // temperature, a job's progress); only mount points wake the watcher.
    if (mountPoints() != before)
        emit changed();
}

QStringList RemovableMedia::mountPoints() const
{
    QStringList found;
    if (current == Source::DiskService) {
        for (const QString &mountPoint : objects->removableMountPoints()) {
            // A block device holds no network share; the type does not matter.
            if (mayOffer(mountPoint, QString()))
                found << mountPoint;
        }
    } else if (current == Source::MountTable) {
        for (const MountTable::Mount &mount : MountTable::read()) {
            // Judged by the table first: stat() on a network share whose
            // server is gone would hang the poll.
            if (mayOffer(mount.mountPoint, mount.type) && SysfsBlockDevice::isRemovable(deviceOf(mount)))
                found << QDir::cleanPath(mount.mountPoint);
        }
    }
    found.removeDuplicates();
    return found;
}

bool RemovableMedia::mayOffer(const QString &mountPoint, const QString &type)
{
    // Shares reached over the network, and FUSE file systems that are no
    // disk (sshfs, rclone...; a disk read through FUSE says "fuseblk").
    // autofs is only a trigger: looking at it mounts whatever it stands for.
    static const QSet<QString> remoteTypes { QStringLiteral("nfs"), QStringLiteral("nfs4"),
        QStringLiteral("cifs"), QStringLiteral("smb3"), QStringLiteral("smbfs"), QStringLiteral("ncpfs"),
        QStringLiteral("afs"), QStringLiteral("coda"), QStringLiteral("9p"), QStringLiteral("ceph"),
        QStringLiteral("glusterfs"), QStringLiteral("lustre"), QStringLiteral("davfs"),
        QStringLiteral("sshfs"), QStringLiteral("fuse"), QStringLiteral("autofs") };
    if (remoteTypes.contains(type) || type.startsWith(QLatin1String("fuse.")))
        return false;

    const QString path = QDir::cleanPath(mountPoint);
    if (!path.startsWith(QLatin1Char('/')))
        return false;
    static const QSet<QString> systemVolumes { QStringLiteral("/"), QStringLiteral("/boot"),
        QStringLiteral("/efi"), QStringLiteral("/home"), QStringLiteral("/usr"), QStringLiteral("/var") };
    if (systemVolumes.contains(path))
        return false;
    // Desktops mount removable media under /run/media/USER.
    if (path.startsWith(QLatin1String("/run/media/")))
        return true;
    for (const char *systemTree : { "/boot", "/proc", "/sys", "/dev", "/run" }) {
        const QLatin1String tree(systemTree);
        if (path == tree || (path.startsWith(tree) && path.at(tree.size()) == QLatin1Char('/')))
            return false;
    }
    return true;
}
