#include "window/jobtext.h"

namespace JobText {

namespace {

QString noun(Kind kind)
{
    switch (kind) {
    case Kind::Download:
        return QStringLiteral("Download");
    case Kind::Update:
    case Kind::Validate:
        return QStringLiteral("Update");
    case Kind::Verify:
        return QStringLiteral("Verification");
    }
    return QString();
}

QString sizeRate(double bytesPerSecond)
{
    if (bytesPerSecond >= 1024.0 * 1024.0)
        return QStringLiteral("%1 MB/s").arg(bytesPerSecond / (1024.0 * 1024.0), 0, 'f', 1);
    return QStringLiteral("%1 KB/s").arg(qMax<qint64>(1, qint64(bytesPerSecond / 1024.0)));
}

} // namespace

QString stage(const Job &job, Kind kind)
{
    using S = Job::Stage;
    switch (job.stage()) {
    case S::Ready:
        return QString();
    case S::Activating:
        return QStringLiteral("Initializing...");
    case S::BackingUp:
        return QStringLiteral("Backing up");
    case S::Preparing:
    case S::Checking:
        return QStringLiteral("Validating Data");
    case S::Transferring:
        return QStringLiteral("Downloading Data");
    case S::Completing:
        return QStringLiteral("Finishing");
    case S::ReadingBack:
        return QStringLiteral("Verifying Card");
    case S::Pausing:
        return QStringLiteral("Pausing");
    case S::Paused:
        return job.pauseReason() == Job::PauseReason::Error ? QStringLiteral("Stopped by an error")
                                                            : QStringLiteral("Paused");
    case S::Done:
        return noun(kind) + QStringLiteral(" Complete");
    case S::Failed:
        return noun(kind) + QStringLiteral(" Failed");
    case S::Cancelling:
        return QStringLiteral("Cancelling");
    case S::Cancelled:
        return noun(kind) + QStringLiteral(" Cancelled");
    }
    return QString();
}

QString status(const Job &job, Kind kind, qint64 retryMs, bool cardBack)
{
    using S = Job::Stage;
    switch (job.stage()) {
    case S::Activating:
        return kind == Kind::Download ? QStringLiteral("Initiating Download.") : QString();
    case S::Checking:
        return QStringLiteral("Checking Download Integrity.");
    case S::Transferring:
        // Nothing came for the span the rate looks at: a service that
        // stopped sending shows here long before the stall pauses the job,
        // not as a download that looks busy with no rate.
        if (job.progress().standing && job.progress().bytesDone < job.progress().bytesTotal)
            return QStringLiteral("Waiting for the chart service to send data.");
        return rate(job.progress());
    case S::ReadingBack:
        return rate(job.progress());
    case S::Paused:
        switch (job.pauseReason()) {
        case Job::PauseReason::CardGone:
            // The job stays paused for the card until Resume; asking for it
            // once it is back would contradict the card panel.
            if (cardBack)
                break;
            return job.leadingError().kind == JobError::AnotherCard ? job.leadingError().message
                                                                     : QStringLiteral("Please insert SD card.");
        case Job::PauseReason::NetworkLost:
            if (retryMs >= 0)
                return QStringLiteral("The connection to the chart service was lost. Trying again in%1; "
                                      "press Resume to try now. The files already on the SD card are kept.")
                    .arg(timeLeft((retryMs + 999) / 1000));
            return QStringLiteral("The connection to the chart service was lost. Press Resume to try again; "
                                  "the files already on the SD card are kept.");
        case Job::PauseReason::Error: {
            const JobError lead = job.leadingError();
            const QString first = lead.file.isEmpty() ? lead.message : lead.file + QStringLiteral(": ") + lead.message;
            return job.errors().size() > 1
                       ? QStringLiteral("%1 (and %2 more). Press Resume to try again, or Cancel to stop.")
                             .arg(first)
                             .arg(job.errors().size() - 1)
                       : first + QStringLiteral(" Press Resume to try again, or Cancel to stop.");
        }
        case Job::PauseReason::User:
        case Job::PauseReason::None:
            break;
        }
        return QStringLiteral("Press Resume to go on, or Cancel to stop.");
    case S::Failed:
        return job.leadingError().message;
    case S::Cancelled:
        return kind == Kind::Verify
                   ? QString()
                   : QStringLiteral("What is already on the SD card is kept; the next download goes on from there.");
    case S::Ready:
    case S::BackingUp:
    case S::Preparing:
    case S::Pausing:
    case S::Completing:
    case S::Done:
    case S::Cancelling:
        break;
    }
    return QString();
}

QString rate(const JobProgress &progress)
{
    if (progress.bytesPerSecond <= 0)
        return QString();
    QString text = QStringLiteral("@ ") + sizeRate(progress.bytesPerSecond);
    if (progress.secondsLeft >= 0)
        text += QStringLiteral(" -") + timeLeft(progress.secondsLeft) + QStringLiteral(" left");
    return text;
}

QString timeLeft(qint64 s)
{
    const qint64 hours = s / 3600;
    const qint64 minutes = s / 60;
    QString text;
    if (s >= 3600) {
        text += QStringLiteral(" ") + QString::number(hours) + QStringLiteral(" hour");
        if (s >= 7200)
            text += QLatin1Char('s');
    }
    if (s < 60) {
        text += QStringLiteral(" ") + QString::number(s) + QStringLiteral(" second");
        if (s != 1)
            text += QLatin1Char('s');
    } else {
        text += QStringLiteral(" ") + QString::number(minutes - hours * 60) + QStringLiteral(" minute");
        if (minutes - hours * 60 != 1)
            text += QLatin1Char('s');
    }
    return text;
}

QString duration(qint64 elapsedMs)
{
    const qint64 seconds = elapsedMs / 1000;
    if (seconds < 60)
        return QString::number(seconds) + QStringLiteral(" seconds");
    return QString::number(seconds / 60) + QStringLiteral(" minutes");
}

QString trayTip(const Job &job, Kind kind)
{
    if (job.isFinished())
        return QString();
    const QString line = status(job, kind);
    return line.isEmpty() ? QStringLiteral("Download in progress: ") + job.title()
                          : job.title() + QStringLiteral(": ") + line;
}

QString endTitle(const Job &job, Kind kind, qint64 elapsedMs)
{
    switch (job.stage()) {
    case Job::Stage::Done:
        switch (kind) {
        case Kind::Download:
            return job.title() + QStringLiteral(": download finished in ") + duration(elapsedMs);
        case Kind::Update:
            return job.title() + QStringLiteral(": update finished in ") + duration(elapsedMs);
        case Kind::Validate:
            return job.title() + QStringLiteral(": checked");
        case Kind::Verify:
            return job.title() + QStringLiteral(": verified");
        }
        break;
    default:
        break;
    }
    return noun(kind) + QStringLiteral(" Error: ") + job.title();
}

namespace {
// What a Done does not promise when the read-back was switched off.
QString unread(const Job &job)
{
    return job.readsBack() ? QString()
                           : QStringLiteral(". Every file was checked as it was written but not read back from the "
                                            "card, as the settings say: \"Verify\" reads it back");
}

// A proof this computer could not record: the card reads "Not Verified".
QString unkept(const Job &job)
{
    return job.proofNotKept().isEmpty()
        ? QString()
        : QStringLiteral(". The proof could not be kept on this computer (%1), so the card reads \"Not Verified\" "
                         "until it is verified again")
              .arg(job.proofNotKept());
}
} // namespace

QString endMessage(const Job &job, Kind kind)
{
    if (job.stage() == Job::Stage::Done) {
        switch (kind) {
        case Kind::Download:
            return job.title() + QStringLiteral(" has been successfully downloaded to your SD card") + unread(job)
                   + unkept(job);
        case Kind::Update:
            return job.title() + QStringLiteral(" has been successfully updated on your SD card") + unread(job);
        case Kind::Validate:
            if (const QStringList &damaged = job.refetchedFiles(); !damaged.isEmpty()) {
                const QString names = QStringList(damaged.mid(0, 3)).join(QStringLiteral(", "))
                                      + (damaged.size() > 3 ? QStringLiteral(", \u2026") : QString());
                const QString what = damaged.size() == 1
                    ? QStringLiteral("1 file (%1) did not hold what the chart service published and was fetched again")
                          .arg(names)
                    : QStringLiteral("%1 files (%2) did not hold what the chart service published and were fetched again")
                          .arg(damaged.size())
                          .arg(names);
                return job.title() + QStringLiteral(" on your SD card was checked: ") + what
                       + QStringLiteral(". It now holds the newest build, whole. If this happens again, the card may "
                                        "be failing.");
            }
            return job.title() + QStringLiteral(" on your SD card was checked: it holds the newest build, whole");
        case Kind::Verify:
            return job.title() + QStringLiteral(" is on your SD card exactly as the chart service published it")
                   + unkept(job);
        }
    }
    return errorList(job);
}

QString errorList(const Job &job)
{
    QStringList lines;
    for (const JobError &error : job.errors())
        lines << (error.file.isEmpty() ? error.message : error.file + QStringLiteral(": ") + error.message);
    return lines.join(QLatin1Char('\n'));
}

} // namespace JobText
