#include "download/job.h"

#include <QLoggingCategory>

#include <algorithm>

#include "card/cardwriter.h"

Q_LOGGING_CATEGORY(lcJob, "quorvel.job")

namespace {
// How often the rate is looked at while bytes may be moving: a stalled
// transfer must show its rate falling even when no byte arrives.
constexpr int rateSampleMs = 500;
} // namespace

Job::Job(QObject *parent)
    : QObject(parent)
{
    rateTimer.setInterval(rateSampleMs);
    connect(&rateTimer, &QTimer::timeout, this, &Job::sampleRate);
}

Job::~Job() = default;

bool Job::allowed(Stage from, Stage to)
{
    using S = Stage;
    if (from == S::Done || from == S::Failed || from == S::Cancelled)
        return false;
    switch (to) {
    case S::Ready:
        return false;
    case S::Activating:
        return from == S::Ready;
    case S::BackingUp:
        return from == S::Activating;
    case S::Preparing:
        return from == S::Ready || from == S::Activating || from == S::BackingUp;
    case S::Checking:
        return from == S::Preparing || from == S::Paused || from == S::Completing;
    case S::Transferring:
        return from == S::Preparing || from == S::Checking || from == S::Paused || from == S::Completing
               || from == S::ReadingBack;
    case S::Pausing:
        return from == S::Checking || from == S::Transferring || from == S::Completing || from == S::ReadingBack;
    case S::Paused:
        return from == S::Pausing || from == S::Paused;
    case S::Completing:
        return from == S::Preparing || from == S::Checking || from == S::Transferring || from == S::Paused;
    case S::ReadingBack:
        return from == S::Completing || from == S::Paused || from == S::Preparing;
    case S::Done:
        return from == S::Completing || from == S::ReadingBack || from == S::Activating || from == S::Preparing;
    case S::Failed:
        return from != S::Cancelling;
    case S::Cancelling:
        return from != S::Ready;
    case S::Cancelled:
        return from == S::Cancelling;
    }
    return false;
}

bool Job::moveTo(Stage next, PauseReason why)
{
    if (!allowed(current, next)) {
        qCWarning(lcJob) << title() << "refused move" << stageName(current) << "->" << stageName(next);
        return false;
    }
    const Stage previous = current;
    current = next;
    reason = next == Stage::Paused ? why : PauseReason::None;
    // Let go before anyone hears of the end: what starts next on the card
    // (the command line's update after a registration) must find it free.
    if (isFinished())
        cardLock.reset();
    if (next != Stage::Paused && next != Stage::Failed)
        stopErrors.clear();
    if (next == Stage::Transferring || next == Stage::ReadingBack || next == Stage::Checking) {
        if (previous != next)
            restartRate();
        rateTimer.start();
    } else {
        rateTimer.stop();
    }
    qCInfo(lcJob) << title() << stageName(previous) << "->" << stageName(next)
                  << (next == Stage::Paused ? reasonName(why) : QString());
    emit stageChanged(next);
    if (isFinished())
        emit finished();
    return true;
}

bool Job::canPause() const
{
    return current == Stage::Transferring;
}

bool Job::canCancel() const
{
    return current != Stage::Ready && current != Stage::Cancelling && !isFinished();
}

JobError Job::leadingError() const
{
    if (stopErrors.isEmpty())
        return JobError();
    // A card that went explains every failed write after it.
    for (const JobError &error : stopErrors) {
        if (error.isCardAbsence())
            return error;
    }
    return stopErrors.first();
}

void Job::claimCard(const CardIdentity &card, CardLock::Mode mode, const QString &activity)
{
    claimedCard = card;
    claimedMode = mode;
    claimedActivity = activity;
}

void Job::start()
{
    if (current != Stage::Ready)
        return;
    if (!takeCard())
        return;
    begin();
}

bool Job::takeCard()
{
    if (claimedCard.root().isEmpty())
        return true;
    auto lock = std::make_unique<CardLock>();
    QString busy;
    switch (lock->acquire(claimedCard.root(), claimedMode, claimedActivity, &busy)) {
    case CardLock::Outcome::Taken:
        break;
    case CardLock::Outcome::Busy:
        fail(JobError{JobError::CardBusy, QString(), busy});
        return false;
    case CardLock::Outcome::NoCard:
        fail(JobError::fromCard(CardResult::failure(CardResult::CardGone, QString())));
        return false;
    }
    cardLock = std::move(lock);
    // Whole files are written under names of their writer's own; what a
    // writer that died left is nobody's now that this one has the card.
    if (claimedMode == CardLock::Mode::Exclusive && claimedCard.isValid())
        CardWriter(claimedCard).removeTemporaries(QString());
    return true;
}

bool Job::keepCard()
{
    // A card pulled out and put back is a new mount: the lock on the old
    // one no longer keeps anybody from the card.
    if (!cardLock || cardLock->coversRoot(claimedCard.root()))
        return true;
    auto lock = std::make_unique<CardLock>();
    QString busy;
    switch (lock->acquire(claimedCard.root(), claimedMode, claimedActivity, &busy)) {
    case CardLock::Outcome::Taken:
        cardLock = std::move(lock);
        return true;
    case CardLock::Outcome::Busy: {
        const JobError error{JobError::CardBusy, QString(), busy};
        report(error);
        settleStop({error});
        return false;
    }
    case CardLock::Outcome::NoCard:
        break;
    }
    // Gone again: the job's own look at the card says so.
    return true;
}

void Job::pause()
{
    if (!canPause())
        return;
    requestedReason = PauseReason::User;
    moveTo(Stage::Pausing);
    stopWork();
    if (workIdle())
        settleStop({});
}

void Job::resume()
{
    if (current != Stage::Paused)
        return;
    requestedReason = PauseReason::None;
    if (!keepCard())
        return;
    continueWork();
}

void Job::cancel()
{
    if (!canCancel())
        return;
    moveTo(Stage::Cancelling);
    stopWork();
    if (workIdle())
        moveTo(Stage::Cancelled);
}

void Job::cardWentAway()
{
    // The watcher hears of it before any write meets it: whether the card
    // is out or another one is in its place is read here, so that what is
    // said (and what Resume waits for) is the same either way.
    const CardIdentity there = CardIdentity::fromMediaFile(claimedCard.mediaFilePath());
    const bool another = claimedCard.isValid() && there.isValid() && !there.sameCard(claimedCard);
    awayCause = JobError::fromCard(CardResult::failure(another ? CardResult::AnotherCard : CardResult::CardGone, QString()));
    if (current == Stage::Paused) {
        // Whatever was said of the card before is older than this.
        takeAwayCause(true);
        moveTo(Stage::Paused, PauseReason::CardGone);
        return;
    }
    if (current == Stage::Pausing) {
        requestedReason = PauseReason::CardGone;
        return;
    }
    if (!allowed(current, Stage::Pausing))
        return;
    requestedReason = PauseReason::CardGone;
    moveTo(Stage::Pausing);
    stopWork();
    if (workIdle())
        settleStop({});
}

void Job::settleStop(const QList<JobError> &errors)
{
    if (current == Stage::Cancelling) {
        moveTo(Stage::Cancelled);
        return;
    }
    PauseReason why = requestedReason == PauseReason::None ? PauseReason::User : requestedReason;
    bool anyCard = false;
    bool allNetwork = !errors.isEmpty();
    for (const JobError &error : errors) {
        anyCard |= error.isCardAbsence();
        allNetwork &= error.kind == JobError::Network;
    }
    // The latest cause speaks: a card put back and then a network that gives
    // out is a network problem, whatever the pause before it was.
    if (anyCard)
        why = PauseReason::CardGone;
    else if (allNetwork)
        why = PauseReason::NetworkLost;
    else if (!errors.isEmpty())
        why = PauseReason::Error;
    requestedReason = PauseReason::None;
    if (current != Stage::Pausing && current != Stage::Paused)
        moveTo(Stage::Pausing);
    stopErrors = errors;
    if (why == PauseReason::CardGone)
        takeAwayCause(false);
    awayCause = JobError();
    moveTo(Stage::Paused, why);
}

void Job::takeAwayCause(bool newest)
{
    const auto absence = [](const JobError &error) { return error.isCardAbsence(); };
    // Writes that met an empty place before another card was put in say
    // the card is out; what the watcher found there says more. A card only
    // out says no more than the writes do.
    const bool overrides = newest || awayCause.kind == JobError::AnotherCard;
    if (overrides)
        stopErrors.removeIf(absence);
    if (awayCause.kind != JobError::None && std::none_of(stopErrors.cbegin(), stopErrors.cend(), absence))
        stopErrors.prepend(awayCause);
    awayCause = JobError();
}

void Job::fail(const QList<JobError> &errors, bool reported)
{
    if (!reported) {
        for (const JobError &error : errors)
            report(error);
    }
    if (current == Stage::Cancelling) {
        moveTo(Stage::Cancelled);
        return;
    }
    stopErrors = errors;
    moveTo(Stage::Failed);
}

void Job::report(const JobError &error)
{
    qCWarning(lcJob) << title() << JobError::kindName(error.kind) << error.file << error.message;
    emit errorOccurred(error);
}

void Job::keepProof(const QString &mediaId, const ProofLedger::Entry &entry)
{
    QString why;
    if (ProofLedger().markProven(mediaId, entry, &why))
        unkeptProof.clear();
    else
        unkeptProof = why.isEmpty() ? QStringLiteral("it could not be written") : why;
}

void Job::setProgress(qint64 done, qint64 total, int filesDone, int filesTotal)
{
    shown.bytesDone = done;
    shown.bytesTotal = total;
    shown.filesDone = filesDone;
    shown.filesTotal = filesTotal;
    rate.sample(done);
    shown.bytesPerSecond = rate.bytesPerSecond();
    shown.secondsLeft = rate.secondsLeft(total - done);
    shown.standing = rate.stands();
    emit progressChanged(shown);
}

void Job::restartRate()
{
    rate.reset();
    shown.bytesPerSecond = 0;
    shown.secondsLeft = -1;
    shown.standing = false;
}

void Job::sampleRate()
{
    rate.sample(shown.bytesDone);
    shown.bytesPerSecond = rate.bytesPerSecond();
    shown.secondsLeft = rate.secondsLeft(shown.bytesTotal - shown.bytesDone);
    shown.standing = rate.stands();
    emit progressChanged(shown);
}

QString Job::stageName(Stage stage)
{
    switch (stage) {
    case Stage::Ready:
        return QStringLiteral("ready");
    case Stage::Activating:
        return QStringLiteral("activating");
    case Stage::BackingUp:
        return QStringLiteral("backing-up");
    case Stage::Preparing:
        return QStringLiteral("preparing");
    case Stage::Checking:
        return QStringLiteral("checking");
    case Stage::Transferring:
        return QStringLiteral("transferring");
    case Stage::Pausing:
        return QStringLiteral("pausing");
    case Stage::Paused:
        return QStringLiteral("paused");
    case Stage::Completing:
        return QStringLiteral("completing");
    case Stage::ReadingBack:
        return QStringLiteral("reading-back");
    case Stage::Done:
        return QStringLiteral("done");
    case Stage::Failed:
        return QStringLiteral("failed");
    case Stage::Cancelling:
        return QStringLiteral("cancelling");
    case Stage::Cancelled:
        return QStringLiteral("cancelled");
    }
    return QString();
}

QString Job::reasonName(PauseReason why)
{
    switch (why) {
    case PauseReason::None:
        return QString();
    case PauseReason::User:
        return QStringLiteral("user");
    case PauseReason::CardGone:
        return QStringLiteral("card-gone");
    case PauseReason::NetworkLost:
        return QStringLiteral("network-lost");
    case PauseReason::Error:
        return QStringLiteral("error");
    }
    return QString();
}
