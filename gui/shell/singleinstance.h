#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

// One window per user: a second start hands over to the window that runs
// (which comes forward) and ends, instead of opening a second window whose
// jobs would meet the first one's on the same card. The first copy holds a
// lock file in the user's runtime folder for as long as it runs and listens
// on a local socket beside it; the kernel's end of a killed copy frees both.
class SingleInstance : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    // folder: where the lock and the socket live; empty takes the user's
    // runtime folder.
    explicit SingleInstance(const QString &folder = QString(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // Before anything of the tool's starts (the log, the settings): true when
    // another copy runs and was asked to come forward; this one then ends.
    // Needs no application object.
    bool handOver();
    // Once the application object exists: takes the requests of later starts.
    bool listen();

signals:
    // A later start asked for the window.
    void activationRequested();

private:
    void handleConnection();

    QString socketPath;
    QLockFile lock;
    QLocalServer *server = nullptr;
};
