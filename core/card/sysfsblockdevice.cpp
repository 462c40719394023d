#include "card/sysfsblockdevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sys/sysmacros.h>

namespace {

QByteArray attribute(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    // Attributes are one short line; anything longer is not one.
    return file.read(64).trimmed();
}

} // namespace

bool SysfsBlockDevice::isRemovable(dev_t device)
{
    QString root = qEnvironmentVariable(sysfsRootVariable);
    if (root.isEmpty())
        root = QStringLiteral("/sys");
    root = QFileInfo(root).canonicalFilePath();
    if (root.isEmpty())
        return false;

    // dev/block/MAJ:MIN links to the device's folder in the devices tree,
    // whose path names the buses it hangs from.
    const QString link = root + QStringLiteral("/dev/block/%1:%2").arg(major(device)).arg(minor(device));
    QString path = QFileInfo(link).canonicalFilePath();
    if (path.isEmpty() || !path.startsWith(root + QLatin1Char('/')))
        return false;
    // A partition has no removable flag of its own; its disk, one folder
    // up, has.
    if (QFileInfo::exists(path + QStringLiteral("/partition")))
        path = QFileInfo(path).path();
    if (attribute(path + QStringLiteral("/removable")) == "1")
        return true;

    static const QRegularExpression usbBus(QStringLiteral("^usb[0-9]+$"));
    static const QRegularExpression mmcHost(QStringLiteral("^mmc[0-9]+$"));
    const QStringList parts = path.mid(root.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        // A USB disk reports itself fixed, yet it is unplugged like a stick.
        if (usbBus.match(part).hasMatch())
            return true;
        // The MMC bus carries both SD cards and the eMMC soldered onto the
        // board, which often holds the system; only the card says "SD".
        if (mmcHost.match(part).hasMatch())
            return attribute(path + QStringLiteral("/device/type")) == "SD";
    }
    return false;
}
