#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

#include "card/cardidentity.h"
#include "card/cardlock.h"
#include "card/proofledger.h"
#include "download/joberror.h"
#include "download/jobprogress.h"
#include "download/rateestimator.h"

// One piece of work on one card (a product download, an RQ update, a
// verification, a registration, a restoration) as the window, the tray and
// the command line see it: one stage, moved in one place (moveTo) by the
// table below, the progress of that stage, and the errors that stopped it,
// as values. The job never shows anything; it has no widget and no markup.
//
//   Ready -> Activating -> (BackingUp) -> Preparing -> Checking -> Transferring
//         -> Completing -> ReadingBack -> Done
//   Transferring/Checking/Completing/ReadingBack -> Pausing -> Paused(reason)
//   Paused -> Transferring | Checking | Completing (resume)
//   any unfinished stage -> Cancelling -> Cancelled, or -> Failed(errors)
//
// Paused is a stop the job can go on from: by the user, the card gone, the
// network lost, or files that failed (the errors say which). Failed is an
// end: nothing was started that Resume could finish (the service refused
// the product, the list could not be used, the card could not be prepared).
class Job : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Job)

public:
    enum class Stage {
        Ready,
        Activating,
        BackingUp,
        Preparing,
        Checking,
        Transferring,
        Pausing,
        Paused,
        Completing,
        ReadingBack,
        Done,
        Failed,
        Cancelling,
        Cancelled,
    };
    Q_ENUM(Stage)

    enum class PauseReason {
        None,
        User,
        CardGone,
        NetworkLost,
        Error,
    };
    Q_ENUM(PauseReason)

    ~Job() override;

    Stage stage() const { return current; }
    PauseReason pauseReason() const { return reason; }
    // What stopped the job last (a pause after failed files, a failure);
    // empty while it runs.
    const QList<JobError> &errors() const { return stopErrors; }
    // The error that speaks for the stop: the one a view shows first.
    JobError leadingError() const;
    const JobProgress &progress() const { return shown; }
    // Files the card held whole whose bytes were not the service's, fetched
    // again by this job: on a card that already had this very build, a sign
    // that the card lost data.
    const QStringList &refetchedFiles() const { return refetched; }

    bool isFinished() const { return current == Stage::Done || current == Stage::Failed || current == Stage::Cancelled; }
    // Started and not ended: running, paused or stopped by an error. Closing
    // the tool now leaves work behind.
    bool isUnfinished() const { return current != Stage::Ready && !isFinished(); }
    bool isPaused() const { return current == Stage::Paused; }
    bool canPause() const;
    bool canResume() const { return current == Stage::Paused; }
    bool canCancel() const;

    // What the job works on, for the views' words.
    virtual QString title() const = 0;
    // Whether a Done of this job means every byte was read back from the
    // card (the user may switch the read-back off).
    virtual bool readsBack() const { return true; }
    // Done, every file proven, but the proof could not be recorded on this
    // computer (why, empty when it was or none was due): the card reads
    // "Not Verified" until it is verified again.
    const QString &proofNotKept() const { return unkeptProof; }

    static QString stageName(Stage stage);
    static QString reasonName(PauseReason reason);
    static bool allowed(Stage from, Stage to);

public slots:
    void start();
    void pause();
    void resume();
    void cancel();
    // The chosen card went (the card watcher saw it): stop at once, as a
    // pause would, and wait for it.
    void cardWentAway();

signals:
    void stageChanged(Job::Stage stage);
    void progressChanged(const JobProgress &progress);
    // One error as it becomes known (a file failed, the service refused).
    void errorOccurred(const JobError &error);
    // Done, Failed or Cancelled.
    void finished();

protected:
    explicit Job(QObject *parent = nullptr);

    // The card this job works on, and how (a writer alone, or a reader among
    // readers): taken as the job starts, before anything else happens, and
    // held to its end, a pause included. activity names the job to another
    // one that is turned away ("downloading VM-BRE-02").
    void claimCard(const CardIdentity &card, CardLock::Mode mode, const QString &activity);

    // The one place the stage moves; a move the table does not allow is a
    // bug and is refused (and logged).
    bool moveTo(Stage next, PauseReason why = PauseReason::None);
    // reported: the errors went out through errorOccurred already.
    void fail(const QList<JobError> &errors, bool reported = false);
    void fail(const JobError &error) { fail(QList<JobError>{error}); }
    // The transfers have all stopped: settles in Paused with the reason the
    // errors give (none: the user's pause), or in Cancelled.
    void settleStop(const QList<JobError> &errors);
    void report(const JobError &error);
    void noteRefetched(const QString &file)
    {
        if (!refetched.contains(file))
            refetched.append(file);
    }
    // Records the proof of a job about to be Done; a failure is kept for
    // proofNotKept().
    void keepProof(const QString &mediaId, const ProofLedger::Entry &entry);
    void setProgress(qint64 done, qint64 total, int filesDone, int filesTotal);
    // The rate estimator starts afresh (a stage whose bytes mean something else).
    void restartRate();

    virtual void begin() = 0;
    // Ask the running work to stop; settleStop() follows when it has.
    virtual void stopWork() = 0;
    // Go on from Paused.
    virtual void continueWork() = 0;
    // Whether a stop can settle now (nothing is running any more).
    virtual bool workIdle() const = 0;

    bool stopRequested() const { return current == Stage::Pausing || current == Stage::Cancelling; }

private:
    void sampleRate();
    // Whether the job may go on with the card: false when it cannot have it
    // (the job then stops with the reason).
    bool takeCard();
    bool keepCard();

    Stage current = Stage::Ready;
    PauseReason reason = PauseReason::None;
    PauseReason requestedReason = PauseReason::None;
    QList<JobError> stopErrors;
    JobProgress shown;
    RateEstimator rate;
    QTimer rateTimer;
    CardIdentity claimedCard;
    QStringList refetched;
    QString unkeptProof;
    // What the watcher found where the card went: another card in its
    // place, or nothing (out); none while it has not gone.
    JobError awayCause;
    // Puts awayCause among the errors of the stop; newest: it is later than
    // every one of them.
    void takeAwayCause(bool newest);
    CardLock::Mode claimedMode = CardLock::Mode::Exclusive;
    QString claimedActivity;
    std::unique_ptr<CardLock> cardLock;
};

Q_DECLARE_METATYPE(Job::Stage)
