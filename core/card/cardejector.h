#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

class QDBusMessage;
class QDBusPendingCallWatcher;

// Ejects a card the way the desktop's "safely remove" does, through the
// system's disk service: its file system unmounted (which writes back what
// the kernel still holds for it), then the reader switched off where the
// service allows. Backs the window's Eject button and `quorvel-cli eject`.
class CardEjector : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CardEjector)

public:
    struct Result
    {
        enum Kind {
            // Unmounted; the card can be taken out.
            Ejected,
            // A folder on the computer's own disk, or no card of its own.
            NotRemovable,
            // A program still has files of the card open.
            Busy,
            NotAuthorised,
            // No disk service to ask: nothing was done.
            Unavailable,
            Failed,
        };

        Kind kind = Failed;
        QString root;
        // Plain text for the user.
        QString message;
        // The reader was switched off too, not only the card unmounted.
        bool poweredOff = false;

        bool ok() const { return kind == Ejected; }
    };

    explicit CardEjector(QObject *parent = nullptr);

    // Starts ejecting the card whose root folder is root; finished() tells
    // how it went, always after this returns. One eject at a time: a call
    // while one runs is ignored.
    void eject(const QString &root);
    bool isRunning() const { return stage != Stage::Idle; }

signals:
    void finished(const CardEjector::Result &result);

private:
    enum class Stage { Idle, Looking, Unmounting, PoweringOff };

    void handleManagedObjects(QDBusPendingCallWatcher *call);
    void handleUnmounted(QDBusPendingCallWatcher *call);
    void handlePoweredOff(QDBusPendingCallWatcher *call);
    void call(const QString &path, const char *interface, const QString &method, int timeout,
        void (CardEjector::*handler)(QDBusPendingCallWatcher *));
    void powerOffOrFinish();
    void finish(Result::Kind kind, const QString &message);

    Stage stage = Stage::Idle;
    QString root;
    bool mountPoint = false;
    QString block;
    QString drive;
    bool mayPowerOff = false;
    bool poweredOff = false;
};

Q_DECLARE_METATYPE(CardEjector::Result)
