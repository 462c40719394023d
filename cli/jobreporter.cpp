#include "jobreporter.h"

#include <QJsonObject>

#include "base/utilities.h"
#include "printer.h"

namespace {

// A script reading the stream needs no more than this, and a terminal
// redrawn faster only flickers.
constexpr qint64 progressIntervalMs = 250;
constexpr int barWidth = 24;

QString sizeText(qint64 bytes)
{
    return Utilities::kbToReadable(double(bytes) / 1024.0);
}

QString durationText(qint64 seconds)
{
    if (seconds < 0)
        return QStringLiteral("--:--");
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600)
            .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString barText(const JobProgress &progress, Job::Stage stage)
{
    const int filled = progress.percent() * barWidth / 100;
    QString text = QLatin1Char('[') + QString(filled, QLatin1Char('#'))
        + QString(barWidth - filled, QLatin1Char('-')) + QStringLiteral("] %1%").arg(progress.percent(), 3);
    if (progress.bytesTotal > 0)
        text += QStringLiteral("  %1 of %2").arg(sizeText(progress.bytesDone), sizeText(progress.bytesTotal));
    if (progress.bytesPerSecond > 0)
        text += QStringLiteral("  %1/s").arg(sizeText(qint64(progress.bytesPerSecond)));
    if (progress.secondsLeft >= 0)
        text += QStringLiteral("  %1 left").arg(durationText(progress.secondsLeft));
    return text + QStringLiteral("  ") + Job::stageName(stage);
}

} // namespace

JobReporter::JobReporter(Job *observed, const QString &kind, Printer *output, QObject *parent)
    : QObject(parent)
    , job(observed)
    , jobKind(kind)
    , printer(output)
{
    connect(job, &Job::stageChanged, this, &JobReporter::handleStage);
    connect(job, &Job::progressChanged, this, &JobReporter::handleProgress);
    connect(job, &Job::errorOccurred, this, &JobReporter::handleError);
}

void JobReporter::flush()
{
    if (unshown)
        showProgress();
}

void JobReporter::handleStage(Job::Stage next)
{
    // The stage that ends gets its last figures, so a script sees where it
    // stopped (every byte, or how far a pause got).
    flush();
    stage = next;
    const QString name = Job::stageName(stage);
    printer->event({ { QStringLiteral("event"), QStringLiteral("stage") }, { QStringLiteral("job"), jobKind },
        { QStringLiteral("title"), job->title() }, { QStringLiteral("stage"), name } });
    if (printer->mode() == Printer::Mode::Lines)
        printer->line(QStringLiteral("%1 %2: %3").arg(jobKind, job->title().trimmed(), name));
    else
        printer->bar(barText(job->progress(), stage));
}

void JobReporter::handleProgress(const JobProgress &)
{
    unshown = true;
    if (!sinceShown.isValid() || sinceShown.elapsed() >= progressIntervalMs)
        showProgress();
}

void JobReporter::showProgress()
{
    sinceShown.start();
    unshown = false;
    const JobProgress &progress = job->progress();
    printer->event({ { QStringLiteral("event"), QStringLiteral("progress") },
        { QStringLiteral("stage"), Job::stageName(stage) }, { QStringLiteral("bytes"), progress.bytesDone },
        { QStringLiteral("total"), progress.bytesTotal }, { QStringLiteral("files"), progress.filesDone },
        { QStringLiteral("files_total"), progress.filesTotal },
        { QStringLiteral("bytes_per_second"), qRound64(progress.bytesPerSecond) },
        { QStringLiteral("seconds_left"), progress.secondsLeft } });
    printer->bar(barText(progress, stage));
}

void JobReporter::handleError(const JobError &error)
{
    printer->event({ { QStringLiteral("event"), QStringLiteral("error") },
        { QStringLiteral("kind"), JobError::kindName(error.kind) }, { QStringLiteral("file"), error.file },
        { QStringLiteral("message"), error.message } });
    // Most messages name their file already; a second name in front only
    // makes the line longer.
    const bool named = error.file.isEmpty() || error.message.contains(error.file);
    printer->error(named ? QStringLiteral("error: %1").arg(error.message)
                         : QStringLiteral("error: %1: %2").arg(error.file, error.message));
    shownMessages.append(error.message);
}
