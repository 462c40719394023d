#include "card/udisksobjects.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDir>
#include <QFile>

namespace {

// Mount points come as arrays of bytes ending in a NUL; inside a property
// map they arrive still marshalled. Kept decoded, so that reading them twice
// never meets an argument already consumed.
QVariantMap decoded(const QString &interface, QVariantMap properties)
{
    if (interface != QLatin1String(UDisksObjects::filesystemInterface))
        return properties;
    const auto found = properties.find(QStringLiteral("MountPoints"));
    if (found == properties.end())
        return properties;
    QStringList paths;
    for (QByteArray raw : qdbus_cast<QByteArrayList>(*found)) {
        while (raw.endsWith('\0'))
            raw.chop(1);
        if (!raw.isEmpty())
            paths << QDir::cleanPath(QFile::decodeName(raw));
    }
    *found = paths;
    return properties;
}

} // namespace

QDBusConnection UDisksObjects::bus()
{
    const QString address = qEnvironmentVariable(busVariable);
    if (address.isEmpty())
        return QDBusConnection::systemBus();
    return QDBusConnection::connectToBus(address, QStringLiteral("quorvel-udisks"));
}

void UDisksObjects::registerTypes()
{
    qDBusRegisterMetaType<QByteArrayList>();
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
}

void UDisksObjects::reset(const ManagedObjects &managed)
{
    objects.clear();
    for (auto it = managed.cbegin(); it != managed.cend(); ++it)
        addInterfaces(it.key().path(), it.value());
}

void UDisksObjects::addInterfaces(const QString &path, const Interfaces &interfaces)
{
    Interfaces &known = objects[path];
    for (auto it = interfaces.cbegin(); it != interfaces.cend(); ++it)
        known.insert(it.key(), decoded(it.key(), it.value()));
}

void UDisksObjects::removeInterfaces(const QString &path, const QStringList &interfaces)
{
    const auto found = objects.find(path);
    if (found == objects.end())
        return;
    for (const QString &interface : interfaces)
        found->remove(interface);
    if (found->isEmpty())
        objects.erase(found);
}

void UDisksObjects::changeProperties(
    const QString &path, const QString &interface, const QVariantMap &changed, const QStringList &invalidated)
{
    const auto found = objects.find(path);
    if (found == objects.end() || !found->contains(interface))
        return;
    QVariantMap &properties = (*found)[interface];
    const QVariantMap values = decoded(interface, changed);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        properties.insert(it.key(), it.value());
    for (const QString &name : invalidated)
        properties.remove(name);
}

QStringList UDisksObjects::removableMountPoints() const
{
    QStringList found;
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        if (isRemovableDrive(driveOf(it.key())))
            found << mountPoints(it.key());
    }
    return found;
}

QString UDisksObjects::blockMountedAt(const QString &mountPoint) const
{
    const QString clean = QDir::cleanPath(mountPoint);
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        if (mountPoints(it.key()).contains(clean))
            return it.key();
    }
    return QString();
}

QString UDisksObjects::driveOf(const QString &blockPath) const
{
    const QString drive = property(blockPath, blockInterface, "Drive").value<QDBusObjectPath>().path();
    // "/" is how the service says "no drive".
    return drive == QLatin1String("/") ? QString() : drive;
}

bool UDisksObjects::isRemovableDrive(const QString &drivePath) const
{
    if (drivePath.isEmpty())
        return false;
    // A card reader's slot says MediaRemovable, a stick Removable, and some
    // readers only Ejectable.
    for (const char *flag : { "Removable", "MediaRemovable", "Ejectable" }) {
        if (property(drivePath, driveInterface, flag).toBool())
            return true;
    }
    return false;
}

QStringList UDisksObjects::mountPointsOfDrive(const QString &drivePath) const
{
    QStringList found;
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        if (!drivePath.isEmpty() && driveOf(it.key()) == drivePath)
            found << mountPoints(it.key());
    }
    return found;
}

bool UDisksObjects::canPowerOff(const QString &drivePath) const
{
    return property(drivePath, driveInterface, "CanPowerOff").toBool();
}

QVariant UDisksObjects::property(const QString &path, const char *interface, const char *name) const
{
    const auto object = objects.constFind(path);
    if (object == objects.cend())
        return QVariant();
    return object->value(QLatin1String(interface)).value(QLatin1String(name));
}

QStringList UDisksObjects::mountPoints(const QString &blockPath) const
{
    return property(blockPath, filesystemInterface, "MountPoints").toStringList();
}
