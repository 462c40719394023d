#include "jobrunner.h"

#include <QJsonObject>
#include <QLoggingCategory>

#include "download/job.h"
#include "exitstatus.h"
#include "jobreporter.h"
#include "printer.h"

Q_DECLARE_LOGGING_CATEGORY(lcCli)

namespace {
// What ends the closing line after "failed" or "paused". The error that ended
// the job was told as it happened: the line points to it rather than saying
// it twice.
QString closingReason(const JobError &leading, const JobReporter &reporter)
{
    QString why = leading.message.isEmpty()    ? QString()
        : !reporter.hasShown(leading)          ? QStringLiteral(": %1").arg(leading.message)
        : reporter.errorsShown() == 1          ? QStringLiteral(" (the error above)")
                                               : QStringLiteral(" (the %1 errors above)").arg(reporter.errorsShown());
    if (!why.endsWith(QLatin1Char('.')))
        why.append(QLatin1Char('.'));
    return why;
}
} // namespace

JobRunner::JobRunner(
    Job *observed, const QString &kind, const CardIdentity &card, Printer *output, QObject *parent)
    : QObject(parent)
    , job(observed)
    , jobKind(kind)
    , printer(output)
{
    watcher.setChosenCard(card);
    connect(&watcher, &CardWatcher::chosenCardLost, job, &Job::cardWentAway);
    connect(job, &Job::stageChanged, this, &JobRunner::handleStage);
}

int JobRunner::run()
{
    JobReporter reporter(job, jobKind, printer);
    result = -1;
    watcher.start();
    job->start();
    // A job may end inside start() (a card it cannot read): then there is
    // nothing to wait for.
    if (result < 0)
        loop.exec();
    watcher.stop();
    reporter.flush();
    printer->endBar();
    if (result != ExitStatus::Success)
        reportRest(reporter);
    return result;
}

void JobRunner::stop(int signalNumber)
{
    if (stopSignal != 0)
        return;
    stopSignal = signalNumber;
    applyStop();
}

void JobRunner::handleStage()
{
    switch (job->stage()) {
    case Job::Stage::Done:
        end(ExitStatus::Success);
        return;
    case Job::Stage::Failed:
    case Job::Stage::Cancelled:
        end(ExitStatus::ofFailure(job->leadingError().kind));
        return;
    case Job::Stage::Paused:
        if (stopSignal == 0) {
            end(ExitStatus::ofFailure(job->leadingError().kind));
            return;
        }
        break;
    default:
        break;
    }
    if (stopSignal != 0)
        applyStop();
}

void JobRunner::applyStop()
{
    using Stage = Job::Stage;
    switch (job->stage()) {
    case Stage::Transferring:
        job->pause();
        return;
    // Only reading so far (the service's answer, files hashed, files read
    // back): ending now loses nothing a next run does not redo.
    case Stage::Ready:
    case Stage::Activating:
    case Stage::Checking:
    case Stage::ReadingBack:
    case Stage::Paused:
        end(ExitStatus::ofSignal(stopSignal));
        return;
    // Writing outside the transfers, or settling a pause: the next stage
    // comes back here.
    case Stage::BackingUp:
    case Stage::Preparing:
    case Stage::Completing:
    case Stage::Pausing:
    case Stage::Cancelling:
        qCInfo(lcCli) << "stop waits for" << Job::stageName(job->stage());
        return;
    case Stage::Done:
    case Stage::Failed:
    case Stage::Cancelled:
        return;
    }
}

void JobRunner::end(int code)
{
    if (result >= 0)
        return;
    result = code;
    loop.quit();
}

void JobRunner::reportRest(const JobReporter &reporter)
{
    const JobError leading = job->leadingError();
    if (job->stage() == Job::Stage::Failed || job->stage() == Job::Stage::Cancelled) {
        printer->event(
            { { QStringLiteral("event"), QStringLiteral("failed") }, { QStringLiteral("job"), jobKind },
                { QStringLiteral("kind"),
                    JobError::kindName(leading.kind == JobError::None ? JobError::Other : leading.kind) },
                { QStringLiteral("message"), leading.message } });
        printer->error(QStringLiteral("%1 failed%2").arg(jobKind, closingReason(leading, reporter)));
        return;
    }
    // Paused by the stop, or stopped at a stage that needs no pause, or
    // paused by what went wrong: the next run goes on from here.
    QJsonObject paused { { QStringLiteral("event"), QStringLiteral("paused") },
        { QStringLiteral("job"), jobKind }, { QStringLiteral("stage"), Job::stageName(job->stage()) } };
    if (stopSignal != 0) {
        paused.insert(QStringLiteral("reason"), QStringLiteral("signal"));
        paused.insert(QStringLiteral("signal"), stopSignal);
        printer->event(paused);
        printer->error(QStringLiteral("%1 stopped; run the same command again to go on.").arg(jobKind));
        return;
    }
    paused.insert(QStringLiteral("reason"), Job::reasonName(job->pauseReason()));
    paused.insert(QStringLiteral("kind"), JobError::kindName(leading.kind));
    paused.insert(QStringLiteral("message"), leading.message);
    printer->event(paused);
    printer->error(QStringLiteral("%1 paused%2\nRun the same command again to go on.")
                       .arg(jobKind, closingReason(leading, reporter)));
}
