#pragma once

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QHash>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QVariantMap>

// A stand-in for the system's disk service: a bus daemon of its own (the
// tool finds it through QUORVEL_UDISKS_BUS, set by start()), and on it the
// service's object manager, block devices and drives as the test lays them
// out. It answers Unmount and PowerOff as armed, and keeps every call it got.
class FakeUDisks : public QDBusVirtualObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FakeUDisks)

public:
    struct Drive
    {
        bool removable = false;
        bool mediaRemovable = false;
        bool ejectable = false;
        bool canPowerOff = false;
    };

    FakeUDisks();
    ~FakeUDisks() override;

    // Starts the bus; false with why when dbus-daemon cannot be run here.
    bool start(QString *why);
    // Takes or gives up the service's name: without it the tool must find
    // no service, as on a machine where it is not installed.
    bool setPresent(bool present);
    // Forgets every object, call and armed error; the name is given up.
    void reset();

    // The object paths of what is added. A drive named "" stands for a block
    // device without one (a loop device).
    QString addDrive(const QString &name, const Drive &drive);
    // Announced with InterfacesAdded when announce is set; otherwise only
    // listed by the next GetManagedObjects.
    QString addFileSystem(
        const QString &name, const QString &drivePath, const QStringList &mountPoints, bool announce);
    // PropertiesChanged on the file system's MountPoints.
    void setMountPoints(const QString &blockPath, const QStringList &mountPoints);
    // InterfacesRemoved for every interface of the object.
    void remove(const QString &path);

    // Method name ("Unmount", "PowerOff") -> D-Bus error to answer with.
    QHash<QString, QString> errors;
    // "GetManagedObjects", "Unmount <block name>", "PowerOff <drive name>".
    QStringList calls;

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;
    QString introspect(const QString &path) const override;

private:
    using Interfaces = QMap<QString, QVariantMap>;

    void announce(const QDBusMessage &signal);
    static QVariant mountPointsValue(const QStringList &mountPoints);

    QProcess daemon;
    QString connectionName;
    QMap<QDBusObjectPath, Interfaces> objects;
    bool present = false;
};
