#pragma once

#include <QBitArray>
#include <QFutureWatcher>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QString>

#include <deque>
#include <functional>
#include <memory>

#include "card/cardidentity.h"
#include "download/completion.h"
#include "download/job.h"
#include "download/joboptions.h"
#include "download/preparation.h"
#include "download/proofbook.h"
#include "download/readbackverifier.h"
#include "service/filelist.h"

class CardWriter;
class ChangeMonitor;
class CheckRunner;
class RqUpdate;
class TransferRunner;

// The part every job that writes files shares, from a prepared file list to
// a proven card: the checks of files already on the card (CheckRunner), the
// transfers on a thread of their own (TransferRunner), the last look and an
// RQ commit on the pool (Completion), and the read-back from the card
// (ReadbackVerifier). Subclasses get the list (a product's activation, an RQ
// chart's segments) and hand it over with prepare(). This object never
// waits on the network or the card itself.
class DownloadJob : public Job
{
    Q_OBJECT

public:
    ~DownloadJob() override;

    const CardIdentity &card() const { return identity; }
    int fileCount() const { return int(list.records.size()); }
    // The most transfers that ran at once.
    int transfersAtOnce() const;

    bool readsBack() const override { return options.readBack; }

protected:
    DownloadJob(const CardIdentity &card, const JobOptions &options, QObject *parent);

    // Runs work on the pool in the stage Preparing; the result is taken over
    // in one turn (handlePrepared).
    void prepare(std::function<Preparation::Result()> work);
    // The list is in and the card's side is ready; before any check or
    // transfer runs.
    virtual void prepared(const Preparation::Result &result) { Q_UNUSED(result) }
    // Every file is proven on the card; the last moment before Done.
    virtual void proven() {}
    // Work of the subclass's own (service calls) that a stop must end.
    virtual void stopOwnWork() {}
    virtual bool ownWorkIdle() const { return true; }

    void stopWork() override;
    void continueWork() override;
    bool workIdle() const override;

    std::shared_ptr<const CardWriter> writer;
    CardIdentity identity;
    JobOptions options;
    FileList list;
    std::shared_ptr<RqUpdate> rqUpdate;

private:
    void handlePrepared();
    void startChecks();
    void checkFile(const QString &file);
    void handleCheckPassed(const QString &file, const QList<BlockSampler::Sample> &samples);
    void handleCheckMismatched(const QString &file);
    void handleCheckFailed(const QString &file, const JobError &error);
    void checkFinished();
    void startTransfers();
    void queueTransfer(const QString &file);
    void handleBytes(qint64 bytes);
    void handleFileFinished(const QString &file, const ContentDigest::Value &written);
    void handleFileFailed(const QString &file, const JobError &error);
    // A stop under way settles once nothing runs any more.
    void settleIfIdle();
    void checkAllDone();
    void handleCompletion();
    // The read-back runs beside the transfers where it can (a product's
    // files, not an RQ update's, which are read after their commit): each
    // file is read as soon as it is on the medium.
    bool streamsReadback() const { return options.readBack && options.overlapReadback && !rqUpdate; }
    void makeReadback();
    void openReadbackStream();
    void queueRead(int index);
    // Hands the stream what waits, a few files ahead of its readers: a
    // product of 200,000 files does not wait in the stream all at once.
    void feedReads();
    void handleItemRead(const ReadbackVerifier::Item &item, const CardResult &result,
                        const QList<BlockSampler::Sample> &samples, bool afterLastWrite);
    void startReadback();
    void handleReadbackFinished();
    void complete();
    void requeue(const QStringList &vanished);
    // Ends the run at its last step with a problem of the card; Resume runs
    // the step again.
    void stopAt(const JobError &error);
    void showProgress();
    const FileRecord *recordOf(const QString &file) const;
    int indexOf(const QString &file) const { return recordIndex.value(file, -1); }
    // Where the file lies on the card now: where it was checked in place,
    // or where its bytes go.
    // After an RQ commit every segment lies under its own name.
    QString pathOf(const QString &file) const
    {
        return committed ? file : checkPaths.value(file, targets.value(file, file));
    }

    // The monitor's news: files changed by another program lose their
    // proof; a monitor that can no longer tell voids every proof.
    void takeChanges();
    // A file counts from now on: its folder is watched and every change
    // before now taken in first.
    void settle(const QString &file);
    // Files another program changed after the run wrote or proved them:
    // fetched again, and said so. False when there were none.
    bool stopForChanges();
    static JobError changedOnCard(const QString &path);
    // Files proven earlier in the run whose sampled blocks must still read
    // as they did, after the run's last write.
    void checkSamples();
    void handleSamplesChecked();

    TransferRunner *transfers;
    CheckRunner *checks;
    QFutureWatcher<Preparation::Result> preparing;
    QFutureWatcher<Completion::Result> completing;
    std::unique_ptr<ReadbackVerifier> readback;
    QFutureWatcher<QList<CardResult>> sampling;
    ProofBook book;
    ChangeMonitor *monitor = nullptr;
    // Every place a file of the list lies under (its target, where it was
    // checked, its name after an RQ commit) to its record.
    QHash<QString, int> pathIndex;
    // Read whole after the run's last write: their samples need no second look.
    QSet<int> justRead;
    // The read each file waits for (its tag), and what the reads found
    // wrong, by file, until a later read of that file finds it right.
    QHash<int, quint32> readTags;
    // The digest of each file's bytes as this run wrote them, until its
    // read is handed to the read-back: that compares with it rather than
    // hash every byte with SHA-1 a second time. A file read again later in
    // the run is judged by its SHA-1.
    QHash<int, ContentDigest::Value> writtenDigests;
    quint32 lastReadTag = 0;
    std::deque<int> readWaiting; // queued, not handed to the stream yet
    int readsOut = 0;            // handed to the stream, not told back yet
    quint32 streamFirstTag = 1;  // the first tag of the stream open now (0: untagged)
    bool closeWhenFed = false;   // the run's writes are over
    QMap<int, CardResult> readFailures;
    bool committed = false;
    bool completionPending = false; // the completion runs, or its end waits to be taken in

    QHash<QString, int> recordIndex;
    // Where each file is fetched to, and where a file under check lies on
    // the card when that is not its target.
    QHash<QString, QString> targets;
    QHash<QString, QString> checkPaths;
    QHash<QString, qint64> keptAtTarget; // Preparation::Result's
    // Files kept because their check passed, not fetched in this run.
    QSet<QString> proven_;
    // Files whose check waits or runs, and those handed to the transfers
    // that have not finished.
    QSet<QString> pendingChecks;
    // By place in the list: a bit, not a name, for each of 200,000 files.
    QBitArray pendingTransfers;
    qsizetype pendingTransferCount = 0;
    void markTransferPending(int index);
    bool clearTransferPending(int index);
    // Errors of the files since the last stop, by file (sorted, so a report
    // reads in list order of names).
    QMap<QString, JobError> fileErrors;
    qint64 totalBytes = 0;
    qint64 doneBytes = 0;
    int filesDone = 0;
};
