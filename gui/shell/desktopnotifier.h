#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QSystemTrayIcon;
class QWidget;

// Tells the user that a job ended, wherever they are looking: through the
// desktop's notification service (org.freedesktop.Notifications on the
// session bus) where there is one, else as a tray balloon where there is a
// tray; and in every case the window asks for attention. Nothing depends
// on a tray being there. Plain text only.
class DesktopNotifier : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DesktopNotifier)

public:
    DesktopNotifier(QWidget *window, QSystemTrayIcon *tray, QObject *parent = nullptr);

    void notify(const QString &title, const QString &body);
    // The way the last notice went, for the log and the tests.
    enum class Route { None, Service, Tray, AttentionOnly };
    Route lastRoute() const { return route; }

signals:
    void delivered(DesktopNotifier::Route route);

private:
    bool sendToService(const QString &title, const QString &body);
    void showInTray(const QString &title, const QString &body);

    QPointer<QWidget> window;
    QPointer<QSystemTrayIcon> tray;
    Route route = Route::None;
    uint lastId = 0;
};
