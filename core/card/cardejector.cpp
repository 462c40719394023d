#include "card/cardejector.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDir>
#include <QFileInfo>

#include "card/cardlog.h"
#include "card/mounttable.h"
#include "card/udisksobjects.h"

namespace {

// Unmounting writes back everything the kernel still holds for the card,
// which on a slow card after a large download takes minutes, and the
// system may first ask the user for a password. The bus's default of 25 s
// would report a failure while the eject goes on.
constexpr int unmountTimeout = 10 * 60 * 1000;
constexpr int powerOffTimeout = 60 * 1000;

bool isNotAuthorised(const QString &error)
{
    return error.startsWith(QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorized"));
}

} // namespace

CardEjector::CardEjector(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<CardEjector::Result>();
}

void CardEjector::eject(const QString &cardRoot)
{
    if (stage != Stage::Idle)
        return;
    stage = Stage::Looking;
    const QString canonical = QFileInfo(cardRoot).canonicalFilePath();
    root = canonical.isEmpty() ? QDir::cleanPath(cardRoot) : canonical;
    mountPoint = MountTable::isMountPoint(root);
    block.clear();
    drive.clear();
    mayPowerOff = false;
    poweredOff = false;

    UDisksObjects::registerTypes();
    if (!UDisksObjects::bus().isConnected()) {
        finish(Result::Unavailable, QString());
        return;
    }
    call(QLatin1String(UDisksObjects::managerPath), UDisksObjects::objectManagerInterface,
        QStringLiteral("GetManagedObjects"), -1, &CardEjector::handleManagedObjects);
}

void CardEjector::call(const QString &path, const char *interface, const QString &method, int timeout,
    void (CardEjector::*handler)(QDBusPendingCallWatcher *))
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QLatin1String(UDisksObjects::service), path, QLatin1String(interface), method);
    // Unmount and PowerOff take options; none are wanted: the user may be
    // asked for a password, and a busy card is never forced off.
    if (method != QLatin1String("GetManagedObjects"))
        message << QVariantMap();
    auto *pending = new QDBusPendingCallWatcher(UDisksObjects::bus().asyncCall(message, timeout), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, handler);
}

void CardEjector::handleManagedObjects(QDBusPendingCallWatcher *pending)
{
    pending->deleteLater();
    const QDBusMessage reply = pending->reply();
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        qCInfo(lcCard) << "No disk service to eject through:" << reply.errorName();
        finish(Result::Unavailable, QString());
        return;
    }
    UDisksObjects objects;
    objects.reset(qdbus_cast<UDisksObjects::ManagedObjects>(reply.arguments().constFirst()));
    block = objects.blockMountedAt(root);
    drive = objects.driveOf(block);
    mountPoint = mountPoint || !block.isEmpty();
    if (block.isEmpty() || !objects.isRemovableDrive(drive)) {
        finish(Result::NotRemovable, QString());
        return;
    }
    // Switching the reader off would pull any other file system on it away
    // from under whoever uses it.
    QStringList others = objects.mountPointsOfDrive(drive);
    others.removeAll(root);
    mayPowerOff = objects.canPowerOff(drive) && others.isEmpty();
    stage = Stage::Unmounting;
    call(block, UDisksObjects::filesystemInterface, QStringLiteral("Unmount"), unmountTimeout,
        &CardEjector::handleUnmounted);
}

void CardEjector::handleUnmounted(QDBusPendingCallWatcher *pending)
{
    pending->deleteLater();
    const QDBusMessage reply = pending->reply();
    const QString error = reply.errorName();
    // Unmounted meanwhile by someone else: the card is just as safe to take.
    if (reply.type() == QDBusMessage::ReplyMessage
        || error == QLatin1String("org.freedesktop.UDisks2.Error.NotMounted")) {
        powerOffOrFinish();
        return;
    }
    qCInfo(lcCard) << "Unmounting" << root << "failed:" << error << reply.errorMessage();
    if (error == QLatin1String("org.freedesktop.UDisks2.Error.DeviceBusy"))
        finish(Result::Busy, QString());
    else if (isNotAuthorised(error))
        finish(Result::NotAuthorised, QString());
    else
        finish(Result::Failed, reply.errorMessage());
}

void CardEjector::powerOffOrFinish()
{
    if (!mayPowerOff) {
        finish(Result::Ejected, QString());
        return;
    }
    stage = Stage::PoweringOff;
    call(drive, UDisksObjects::driveInterface, QStringLiteral("PowerOff"), powerOffTimeout,
        &CardEjector::handlePoweredOff);
}

void CardEjector::handlePoweredOff(QDBusPendingCallWatcher *pending)
{
    pending->deleteLater();
    const QDBusMessage reply = pending->reply();
    poweredOff = reply.type() == QDBusMessage::ReplyMessage;
    // The card is unmounted whatever the reader did: safe to take out.
    if (!poweredOff)
        qCInfo(lcCard) << "The card reader of" << root << "stays on:" << reply.errorName()
                       << reply.errorMessage();
    finish(Result::Ejected, QString());
}

void CardEjector::finish(Result::Kind kind, const QString &detail)
{
    Result result;
    result.kind = kind;
    result.root = root;
    result.poweredOff = poweredOff;
    const QString folder = QDir::toNativeSeparators(root);
    switch (kind) {
    case Result::Ejected:
        result.message = tr("The card can be taken out now.");
        break;
    case Result::NotRemovable:
        result.message = mountPoint
            ? tr("%1 is not on a removable card, so it is not ejected.").arg(folder)
            : tr("%1 is a folder, not a card of its own: there is nothing to eject.").arg(folder);
        break;
    case Result::Busy:
        result.message = tr("The card is still in use. Close the programs and windows that show its files, "
                            "then eject it again.");
        break;
    case Result::NotAuthorised:
        result.message = tr("The system did not allow the card to be ejected.");
        break;
    case Result::Unavailable:
        result.message = tr("Cards cannot be ejected here: the system's disk service is not running. "
                            "Unmount the card with the system's own tools before taking it out.");
        if (!mountPoint)
            result.message += QLatin1Char(' ') + tr("%1 is a folder, not a card of its own.").arg(folder);
        break;
    case Result::Failed:
        result.message = tr("The card could not be ejected: %1").arg(detail);
        break;
    }
    // Always after eject() has returned: a result that arrived inside the
    // call would reach a caller not yet done setting up for it.
    QMetaObject::invokeMethod(
        this,
        [this, result] {
            stage = Stage::Idle;
            emit finished(result);
        },
        Qt::QueuedConnection);
}
