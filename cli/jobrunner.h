#pragma once

#include <QEventLoop>
#include <QObject>
#include <QString>

#include "card/cardwatcher.h"

class Job;
class JobReporter;
class Printer;

// Runs one job to where it rests (done, failed, paused) and turns that into
// the exit status. A stop asked by a signal is a pause, not a cancel: the
// transfers stop, what they wrote is kept, and the next run resumes from
// there. Stages that write outside the transfers (the card being prepared,
// the last step of an update) are let finish first; stages that only read
// the card end at once.
class JobRunner : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(JobRunner)

public:
    // kind: the job's name for scripts ("download", "update", ...); card:
    // the card it works on, watched so that pulling it pauses the job.
    JobRunner(
        Job *job, const QString &kind, const CardIdentity &card, Printer *printer, QObject *parent = nullptr);

    // Starts the job and returns its exit status once it rests. The final
    // event of a failure or a pause is printed here; a job that ends done
    // returns 0 and prints nothing more, since a command may run another
    // job after it.
    int run();
    // A signal asked the run to stop: it ends paused with 128 + signal.
    void stop(int signalNumber);

private:
    void handleStage();
    void applyStop();
    void end(int code);
    void reportRest(const JobReporter &reporter);

    Job *job;
    QString jobKind;
    Printer *printer;
    QEventLoop loop;
    // Notices the card being pulled before a write fails on it.
    CardWatcher watcher;
    int stopSignal = 0;
    int result = -1;
};
