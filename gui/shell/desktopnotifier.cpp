#include "shell/desktopnotifier.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QLoggingCategory>
#include <QSystemTrayIcon>
#include <QVariantMap>
#include <QWidget>

Q_LOGGING_CATEGORY(lcNotice, "quorvel.notice")

namespace {
const QString serviceName = QStringLiteral("org.freedesktop.Notifications");
const QString servicePath = QStringLiteral("/org/freedesktop/Notifications");
// Long enough to be read, short enough not to pile up.
constexpr int expireMs = 10000;
} // namespace

DesktopNotifier::DesktopNotifier(QWidget *target, QSystemTrayIcon *trayIcon, QObject *parent)
    : QObject(parent)
    , window(target)
    , tray(trayIcon)
{
}

void DesktopNotifier::notify(const QString &title, const QString &body)
{
    if (window)
        QApplication::alert(window);
    if (!sendToService(title, body))
        showInTray(title, body);
}

void DesktopNotifier::showInTray(const QString &title, const QString &body)
{
    if (tray && QSystemTrayIcon::isSystemTrayAvailable() && tray->isVisible()) {
        tray->showMessage(title, body, QSystemTrayIcon::Information, expireMs);
        route = Route::Tray;
    } else {
        route = Route::AttentionOnly;
    }
    emit delivered(route);
}

bool DesktopNotifier::sendToService(const QString &title, const QString &body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(serviceName))
        return false;
    QDBusMessage call =
        QDBusMessage::createMethodCall(serviceName, servicePath, serviceName, QStringLiteral("Notify"));
    // The body is plain text: a server that reads markup gets none (the
    // names come from the service and must not turn into markup).
    QString plain = body;
    plain.replace(QLatin1Char('&'), QStringLiteral("&amp;")).replace(QLatin1Char('<'), QStringLiteral("&lt;"));
    call << QStringLiteral("Quorvel Download Tool") << lastId << QStringLiteral("quorvel-download-tool") << title
         << plain << QStringList() << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("quorvel-download-tool")}}
         << expireMs;
    // Asked without waiting: a notification service that hangs must not
    // hold the window.
    auto *pending = new QDBusPendingCallWatcher(bus.asyncCall(call, expireMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending, title, body] {
        pending->deleteLater();
        const QDBusPendingReply<uint> reply = *pending;
        if (reply.isError()) {
            qCInfo(lcNotice) << "notification service refused:" << reply.error().message();
            showInTray(title, body);
            return;
        }
        lastId = reply.value();
        route = Route::Service;
        emit delivered(route);
    });
    return true;
}
