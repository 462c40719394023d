#include "fakeudisks.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDir>

#include <signal.h>
#include <sys/prctl.h>

namespace {

const QString service = QStringLiteral("org.freedesktop.UDisks2");
const QString root = QStringLiteral("/org/freedesktop/UDisks2");
const QString blockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString filesystemInterface = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString driveInterface = QStringLiteral("org.freedesktop.UDisks2.Drive");

} // namespace

FakeUDisks::FakeUDisks()
{
    qDBusRegisterMetaType<QByteArrayList>();
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<QMap<QDBusObjectPath, Interfaces>>();
}

FakeUDisks::~FakeUDisks()
{
    if (!connectionName.isEmpty())
        QDBusConnection::disconnectFromBus(connectionName);
    daemon.kill();
    daemon.waitForFinished();
}

bool FakeUDisks::start(QString *why)
{
    daemon.setProgram(QStringLiteral("dbus-daemon"));
    daemon.setArguments({ QStringLiteral("--session"), QStringLiteral("--nofork"),
        QStringLiteral("--print-address"), QStringLiteral("--address=unix:tmpdir=") + QDir::tempPath() });
    // A test that crashes takes its bus with it.
    daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    daemon.start();
    if (!daemon.waitForStarted()) {
        *why = QStringLiteral("cannot run dbus-daemon: ") + daemon.errorString();
        return false;
    }
    while (!daemon.canReadLine()) {
        if (!daemon.waitForReadyRead(30000)) {
            *why = QStringLiteral("dbus-daemon gave no address: ")
                + QString::fromLocal8Bit(daemon.readAllStandardError());
            return false;
        }
    }
    const QString address = QString::fromUtf8(daemon.readLine().trimmed());
    qputenv("QUORVEL_UDISKS_BUS", address.toUtf8());

    connectionName = QStringLiteral("fake-udisks");
    QDBusConnection bus = QDBusConnection::connectToBus(address, connectionName);
    if (!bus.isConnected()) {
        *why = QStringLiteral("cannot connect to the private bus: ") + bus.lastError().message();
        return false;
    }
    if (!bus.registerVirtualObject(root, this, QDBusConnection::SubPath)) {
        *why = QStringLiteral("cannot register the fake objects");
        return false;
    }
    return true;
}

bool FakeUDisks::setPresent(bool wanted)
{
    if (wanted == present)
        return true;
    QDBusConnection bus(connectionName);
    present = wanted;
    return wanted ? bus.registerService(service) : bus.unregisterService(service);
}

void FakeUDisks::reset()
{
    if (present)
        setPresent(false);
    objects.clear();
    errors.clear();
    calls.clear();
}

QString FakeUDisks::addDrive(const QString &name, const Drive &drive)
{
    const QDBusObjectPath path(root + QStringLiteral("/drives/") + name);
    objects[path][driveInterface] = QVariantMap {
        { QStringLiteral("Removable"), drive.removable },
        { QStringLiteral("MediaRemovable"), drive.mediaRemovable },
        { QStringLiteral("Ejectable"), drive.ejectable },
        { QStringLiteral("CanPowerOff"), drive.canPowerOff },
        { QStringLiteral("ConnectionBus"), drive.removable ? QStringLiteral("usb") : QString() },
    };
    return path.path();
}

QString FakeUDisks::addFileSystem(
    const QString &name, const QString &drivePath, const QStringList &mountPoints, bool announceIt)
{
    const QDBusObjectPath path(root + QStringLiteral("/block_devices/") + name);
    Interfaces &interfaces = objects[path];
    interfaces[blockInterface] = QVariantMap {
        { QStringLiteral("Device"), QVariant::fromValue(QByteArray("/dev/" + name.toUtf8() + '\0')) },
        { QStringLiteral("Drive"),
            QVariant::fromValue(QDBusObjectPath(drivePath.isEmpty() ? QStringLiteral("/") : drivePath)) },
        { QStringLiteral("IdType"), QStringLiteral("vfat") },
    };
    interfaces[filesystemInterface]
        = QVariantMap { { QStringLiteral("MountPoints"), mountPointsValue(mountPoints) } };
    if (announceIt) {
        QDBusMessage signal = QDBusMessage::createSignal(
            root, QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("InterfacesAdded"));
        signal << QVariant::fromValue(path) << QVariant::fromValue(interfaces);
        announce(signal);
    }
    return path.path();
}

void FakeUDisks::setMountPoints(const QString &blockPath, const QStringList &mountPoints)
{
    const QVariantMap changed { { QStringLiteral("MountPoints"), mountPointsValue(mountPoints) } };
    objects[QDBusObjectPath(blockPath)][filesystemInterface] = changed;
    QDBusMessage signal = QDBusMessage::createSignal(
        blockPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
    signal << filesystemInterface << changed << QStringList();
    announce(signal);
}

void FakeUDisks::remove(const QString &path)
{
    const QStringList interfaces = objects.take(QDBusObjectPath(path)).keys();
    QDBusMessage signal = QDBusMessage::createSignal(
        root, QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("InterfacesRemoved"));
    signal << QVariant::fromValue(QDBusObjectPath(path)) << interfaces;
    announce(signal);
}

void FakeUDisks::announce(const QDBusMessage &signal)
{
    QDBusConnection(connectionName).send(signal);
}

QVariant FakeUDisks::mountPointsValue(const QStringList &mountPoints)
{
    // As the service sends them: each path's bytes and a closing NUL.
    QByteArrayList raw;
    for (const QString &mountPoint : mountPoints)
        raw << QFile::encodeName(mountPoint) + '\0';
    return QVariant::fromValue(raw);
}

bool FakeUDisks::handleMessage(const QDBusMessage &message, const QDBusConnection &connection)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    const QString name = message.path().section(QLatin1Char('/'), -1);
    const QString member = message.member();
    QDBusMessage reply;
    if (member == QLatin1String("GetManagedObjects") && message.path() == root) {
        calls << member;
        reply = message.createReply(QVariant::fromValue(objects));
    } else if ((member == QLatin1String("Unmount") && message.interface() == filesystemInterface)
        || (member == QLatin1String("PowerOff") && message.interface() == driveInterface)) {
        calls << member + QLatin1Char(' ') + name;
        if (errors.contains(member)) {
            reply = message.createErrorReply(
                errors.value(member), QStringLiteral("the fake was told to refuse"));
        } else {
            reply = message.createReply();
            if (member == QLatin1String("Unmount"))
                setMountPoints(message.path(), {});
        }
    } else {
        reply = message.createErrorReply(QDBusError::UnknownMethod, member);
    }
    return connection.send(reply);
}

QString FakeUDisks::introspect(const QString &) const
{
    return QString();
}
