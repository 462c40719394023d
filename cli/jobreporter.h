#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include "download/job.h"

class Printer;

// What a job does, as the command line tells it: a stage event or line at
// each stage, progress (JSON at most four times a second and once more as
// a stage ends; the bar on a terminal), and every error as it becomes known.
class JobReporter : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(JobReporter)

public:
    // kind: what the job is for scripts ("download", "update", ...).
    JobReporter(Job *job, const QString &kind, Printer *printer, QObject *parent = nullptr);

    // The progress not yet shown, shown now (the job ends or stops).
    void flush();
    // Errors told so far, and whether this one was among them: the closing
    // line need not tell it again.
    int errorsShown() const { return int(shownMessages.size()); }
    bool hasShown(const JobError &error) const { return shownMessages.contains(error.message); }

private:
    void handleStage(Job::Stage next);
    void handleProgress(const JobProgress &progress);
    void handleError(const JobError &error);
    void showProgress();

    Job *job;
    QString jobKind;
    Printer *printer;
    QElapsedTimer sinceShown;
    // Progress arrived since the last one shown.
    bool unshown = false;
    // The stage the figures belong to: when the job tells of a new stage it
    // is already in it, and the last figures of the old one are still due.
    Job::Stage stage = Job::Stage::Ready;
    QStringList shownMessages;
};
