#pragma once

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QHash>
#include <QMap>
#include <QStringList>
#include <QVariantMap>

// What the system's disk service (udisks2) knows of block devices and drives,
// as its object manager lists them and its signals change them. The watcher
// keeps one up to date; an eject reads one of its own.
class UDisksObjects
{
public:
    // The object manager's a{sa{sv}} and a{oa{sa{sv}}}.
    using Interfaces = QMap<QString, QVariantMap>;
    using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

    static constexpr const char *service = "org.freedesktop.UDisks2";
    static constexpr const char *managerPath = "/org/freedesktop/UDisks2";
    static constexpr const char *objectManagerInterface = "org.freedesktop.DBus.ObjectManager";
    static constexpr const char *propertiesInterface = "org.freedesktop.DBus.Properties";
    static constexpr const char *blockInterface = "org.freedesktop.UDisks2.Block";
    static constexpr const char *filesystemInterface = "org.freedesktop.UDisks2.Filesystem";
    static constexpr const char *driveInterface = "org.freedesktop.UDisks2.Drive";
    // The address of a bus to find the service on instead of the system
    // bus: the tests start a private bus with a stand-in service on it.
    static constexpr const char *busVariable = "QUORVEL_UDISKS_BUS";

    // The bus the service lives on; check isConnected(): a machine without a
    // system bus (a container, a bare build box) has none.
    static QDBusConnection bus();
    // The D-Bus types above; once per process, before the first call.
    static void registerTypes();

    void reset(const ManagedObjects &objects);
    void addInterfaces(const QString &path, const Interfaces &interfaces);
    void removeInterfaces(const QString &path, const QStringList &interfaces);
    void changeProperties(const QString &path, const QString &interface, const QVariantMap &changed,
        const QStringList &invalidated);

    // Where file systems on drives that can be taken out are mounted.
    QStringList removableMountPoints() const;
    // The block device whose file system is mounted at mountPoint; empty
    // when the service knows of none.
    QString blockMountedAt(const QString &mountPoint) const;
    // The drive a block device belongs to; empty for one without a drive
    // (a loop device, a RAID set).
    QString driveOf(const QString &blockPath) const;
    bool isRemovableDrive(const QString &drivePath) const;
    // Where the file systems of all the drive's block devices are mounted.
    QStringList mountPointsOfDrive(const QString &drivePath) const;
    bool canPowerOff(const QString &drivePath) const;

private:
    QVariant property(const QString &path, const char *interface, const char *name) const;
    QStringList mountPoints(const QString &blockPath) const;

    QHash<QString, Interfaces> objects;
};
