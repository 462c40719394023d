#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include "download/job.h"

// Goes on with a job that stopped because the network went away: it tries
// again after a wait that grows with every failed try (from firstDelay,
// doubling, up to lastDelay), and at once when the system says the network
// is back. The user stays in charge: a pause of their own or a cancel ends
// the trying, and a resume of their own just goes on.
class AutoResume : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AutoResume)

public:
    static constexpr int firstDelayMs = 5000;
    static constexpr int lastDelayMs = 300000;

    explicit AutoResume(Job *job, QObject *parent = nullptr);

    // Milliseconds until the next try; -1 when none is due.
    qint64 msUntilTry() const;
    int tries() const { return attempt; }
    // The delay after n failed tries (for the words and the tests).
    static int delayAfter(int tries);

signals:
    // A try was scheduled (or dropped: -1).
    void scheduled(qint64 msUntilTry);

private:
    void handleStage(Job::Stage stage);
    void handleOnline();
    void tryNow();

    QPointer<Job> job;
    QTimer timer;
    QElapsedTimer since;
    int attempt = 0;
    bool madeProgress = false;
};
