#include "download/downloadjob.h"

#include <QLoggingCategory>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "base/appglobals.h"
#include "card/cardfolders.h"
#include "card/changemonitor.h"
#include "card/cardwriter.h"
#include "download/backgroundpriority.h"
#include "download/checkrunner.h"
#include "download/rqroom.h"
#include "download/rqupdate.h"
#include "download/transferrunner.h"

Q_DECLARE_LOGGING_CATEGORY(lcJob)

DownloadJob::DownloadJob(const CardIdentity &card, const JobOptions &jobOptions, QObject *parent)
    : Job(parent)
    , writer(std::make_shared<const CardWriter>(card))
    , identity(card)
    , options(jobOptions)
    , transfers(new TransferRunner(this))
    , checks(new CheckRunner(this))
{
    checks->setCardWriter(writer);
    connect(&preparing, &QFutureWatcher<Preparation::Result>::finished, this, &DownloadJob::handlePrepared);
    connect(&completing, &QFutureWatcher<Completion::Result>::finished, this, &DownloadJob::handleCompletion);
    connect(&sampling, &QFutureWatcher<QList<CardResult>>::finished, this, &DownloadJob::handleSamplesChecked);

    connect(transfers, &TransferRunner::bytesDone, this, &DownloadJob::handleBytes);
    connect(transfers, &TransferRunner::finished, this, &DownloadJob::handleFileFinished);
    connect(transfers, &TransferRunner::cancelled, this, &DownloadJob::settleIfIdle);
    connect(transfers, &TransferRunner::failed, this, &DownloadJob::handleFileFailed);
    connect(transfers, &TransferRunner::idle, this, &DownloadJob::settleIfIdle);

    connect(checks, &CheckRunner::passed, this, &DownloadJob::handleCheckPassed);
    connect(checks, &CheckRunner::mismatched, this, &DownloadJob::handleCheckMismatched);
    connect(checks, &CheckRunner::failed, this, &DownloadJob::handleCheckFailed);
}

DownloadJob::~DownloadJob()
{
    // Work on the pool writes to the card: it ends before this object does,
    // and so do the transfers and the checks.
    readback.reset();
    // A result taken (handlePrepared) leaves a future that never reads as
    // finished: only a running preparation is waited for.
    if (preparing.isRunning())
        preparing.waitForFinished();
    completing.waitForFinished();
    sampling.waitForFinished();
    delete transfers;
    delete checks;
}

int DownloadJob::transfersAtOnce() const
{
    return transfers->peakInFlight();
}

const FileRecord *DownloadJob::recordOf(const QString &file) const
{
    const auto it = recordIndex.constFind(file);
    return it == recordIndex.cend() ? nullptr : &list.records.at(it.value());
}

void DownloadJob::prepare(std::function<Preparation::Result()> work)
{
    // A second list while one is being prepared would race it for the card.
    if (preparing.isRunning() || !moveTo(Stage::Preparing))
        return;
    preparing.setFuture(QtConcurrent::run(QThreadPool::globalInstance(), std::move(work)));
}

void DownloadJob::handlePrepared()
{
    // Taken, not copied: the future would keep the plan of every file for
    // the whole run.
    Preparation::Result result = preparing.future().takeResult();
    if (stage() == Stage::Cancelling) {
        settleIfIdle();
        return;
    }
    if (!result.error.isNone()) {
        fail(result.error);
        return;
    }
    list = result.list;
    totalBytes = list.totalBytes;
    recordIndex = result.recordIndex;
    targets = result.targets;
    checkPaths = result.checkPaths;
    keptAtTarget = result.keptAtTarget;
    if (result.rqUpdate)
        rqUpdate = result.rqUpdate;
    book.reset(int(list.records.size()));
    writtenDigests.clear();
    pathIndex = std::move(result.pathIndex);
    delete monitor;
    monitor = new ChangeMonitor(this);
    connect(monitor, &ChangeMonitor::eventsPending, this, &DownloadJob::takeChanges);
    prepared(result);
    doneBytes += result.resumedBytes;
    pendingTransfers = std::move(result.fetching);
    pendingTransferCount = pendingTransfers.count(true);
    filesDone = int(list.records.size()) - int(result.orders.size()) - int(result.checks.size());
    transfers->configure(rqUpdate ? rqUpdate->fetchWriter() : writer, identity.root(), list.records,
                         list.endPoint, list.cdnEndPoint, options.concurrency);
    transfers->enqueue(result.orders);
    for (const QString &file : result.checks)
        pendingChecks.insert(file);
    showProgress();
    if (!pendingChecks.isEmpty())
        startChecks();
    else
        startTransfers();
}

void DownloadJob::showProgress()
{
    setProgress(doneBytes, totalBytes, filesDone, int(list.records.size()));
}

void DownloadJob::startChecks()
{
    if (stage() != Stage::Checking && !moveTo(Stage::Checking))
        return;
    // In list order: the user sees the product fill from its first file.
    for (const FileRecord &record : std::as_const(list.records)) {
        if (pendingChecks.contains(record.file))
            checkFile(record.file);
    }
}

void DownloadJob::checkFile(const QString &file)
{
    if (const FileRecord *record = recordOf(file))
        checks->check(*record, checkPaths.value(file, targets.value(file, file)));
}

void DownloadJob::takeChanges()
{
    if (!monitor)
        return;
    const ChangeMonitor::Drained drained = monitor->drain();
    if (drained.broken)
        book.voidAll();
    // While an RQ update is committed, the renames and the container are
    // the run's own; the commit's read-back proves what they left. Until
    // its end has been taken in: the monitor's news can come first.
    if (rqUpdate && completionPending)
        return;
    for (const QString &path : drained.changed) {
        const int index = pathIndex.value(path, -1);
        if (index >= 0)
            book.markChanged(index);
    }
}

void DownloadJob::settle(const QString &file)
{
    const int index = indexOf(file);
    if (index < 0 || !monitor)
        return;
    monitor->watchFolderOf(*writer, pathOf(file));
    takeChanges();
}

void DownloadJob::handleCheckPassed(const QString &file, const QList<BlockSampler::Sample> &samples)
{
    const FileRecord *record = recordOf(file);
    if (!record || !pendingChecks.remove(file))
        return;
    settle(file);
    book.prove(indexOf(file), samples);
    proven_.insert(file);
    if (rqUpdate && checkPaths.value(file) == file)
        rqUpdate->keepInPlace(file);
    doneBytes += record->size;
    ++filesDone;
    showProgress();
    checkFinished();
}

void DownloadJob::handleCheckMismatched(const QString &file)
{
    if (!pendingChecks.remove(file))
        return;
    noteRefetched(file);
    queueTransfer(file);
    checkFinished();
}

void DownloadJob::handleCheckFailed(const QString &file, const JobError &error)
{
    // Left among the pending checks: the next run of the checks takes it again.
    fileErrors.insert(file, error);
    report(error);
    if (stage() == Stage::Checking)
        moveTo(Stage::Pausing);
    checks->stop();
    settleIfIdle();
}

void DownloadJob::checkFinished()
{
    if (stopRequested()) {
        settleIfIdle();
        return;
    }
    if (!pendingChecks.isEmpty() || !checks->idle())
        return;
    startTransfers();
}

void DownloadJob::queueTransfer(const QString &file)
{
    const auto index = recordIndex.constFind(file);
    if (index == recordIndex.cend())
        return;
    markTransferPending(*index);
    // Counted like a resumed file's kept bytes: the transfer reports only
    // what it adds.
    const qint64 kept = keptAtTarget.take(file);
    doneBytes += kept;
    transfers->enqueue({{*index, targets.value(file, file), kept, kept == 0, false}});
}

void DownloadJob::markTransferPending(int index)
{
    if (index < 0)
        return;
    if (pendingTransfers.size() <= index)
        pendingTransfers.resize(list.records.size());
    if (!pendingTransfers.testBit(index)) {
        pendingTransfers.setBit(index);
        ++pendingTransferCount;
    }
}

bool DownloadJob::clearTransferPending(int index)
{
    if (index < 0 || index >= pendingTransfers.size() || !pendingTransfers.testBit(index))
        return false;
    pendingTransfers.clearBit(index);
    --pendingTransferCount;
    return true;
}

void DownloadJob::startTransfers()
{
    if (pendingTransferCount == 0) {
        checkAllDone();
        return;
    }
    if (!moveTo(Stage::Transferring))
        return;
    openReadbackStream();
    transfers->startRound();
}

void DownloadJob::handleBytes(qint64 bytes)
{
    if (bytes == 0)
        return;
    doneBytes += bytes;
    showProgress();
}

void DownloadJob::handleFileFinished(const QString &file, const ContentDigest::Value &written)
{
    if (clearTransferPending(indexOf(file))) {
        ++filesDone;
        settle(file);
        book.settleWritten(indexOf(file));
        if (written.known)
            writtenDigests.insert(indexOf(file), written);
        else
            writtenDigests.remove(indexOf(file));
        if (streamsReadback() && readback && readback->isOpen())
            queueRead(indexOf(file));
    }
    showProgress();
    if (stopRequested()) {
        settleIfIdle();
        return;
    }
    checkAllDone();
}

void DownloadJob::handleFileFailed(const QString &file, const JobError &failure)
{
    JobError error = failure;
    // A staged update fetches into the data folder: a full disk there is
    // the computer's, not the card's.
    if (rqUpdate && rqUpdate->isStaged() && error.kind == JobError::CardFull)
        error = {JobError::Other, error.file, RqRoom::dataFolderFullMessage(appDataFolder)};
    fileErrors.insert(file, error);
    report(error);
    // The other transfers run to their end; nothing new starts (the worker
    // halts), and the job settles once they have.
    if (stage() == Stage::Transferring)
        moveTo(Stage::Pausing);
    settleIfIdle();
}

void DownloadJob::settleIfIdle()
{
    if (!stopRequested())
        return;
    // A read-back streaming beside the transfers stops with them; its end
    // comes back here.
    if (readback && readback->isOpen())
        readback->stop();
    if (!workIdle())
        return;
    const QList<JobError> errors = fileErrors.values();
    fileErrors.clear();
    settleStop(errors);
}

bool DownloadJob::workIdle() const
{
    // A transfer whose request is out but whose first bytes have not come
    // is not busy yet, but it will report back: a stop must wait for it.
    return !transfers->running() && checks->idle() && !preparing.isRunning() && !completing.isRunning()
           && !sampling.isRunning()
           && !(readback && readback->isRunning()) && ownWorkIdle();
}

void DownloadJob::stopWork()
{
    transfers->pauseAll();
    checks->stop();
    if (readback)
        readback->stop();
    stopOwnWork();
}

void DownloadJob::continueWork()
{
    // While the card was out of this computer anything could have happened
    // to it; what was proven before is proven no more.
    if (pauseReason() == PauseReason::CardGone && monitor) {
        monitor->reset();
        book.voidAll();
    }
    // Only the card this job began on: another card put in at the same
    // place is refused like a missing one.
    const CardResult card = writer->verifyCard();
    if (!card.ok()) {
        report(JobError::fromCard(card));
        settleStop({JobError::fromCard(card)});
        return;
    }
    if (list.records.isEmpty() && totalBytes == 0 && recordIndex.isEmpty()) {
        // Stopped before the list came: nothing to go on from.
        fail(JobError{JobError::Other, QString(), tr("The download stopped before it began. Start it again.")});
        return;
    }
    if (!pendingChecks.isEmpty()) {
        startChecks();
        return;
    }
    startTransfers();
}

void DownloadJob::checkAllDone()
{
    // A read-back that streams beside the transfers does not hold this up;
    // one that was closed and still runs does.
    if (completing.isRunning() || (readback && readback->isRunning() && !readback->isOpen()) || !pendingChecks.isEmpty()
        || pendingTransferCount > 0 || doneBytes < totalBytes)
        return;
    takeChanges();
    if (stopForChanges())
        return;
    if (!moveTo(Stage::Completing))
        return;
    Completion::Input input{writer, list.records, targets, checkPaths, proven_, rqUpdate, identity.root()};
    completionPending = true;
    completing.setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [input] { return Completion::run(input); }));
}

void DownloadJob::handleCompletion()
{
    const Completion::Result result = completing.result();
    completionPending = false;
    // An update's own renames, whether its commit ended or not, are no one
    // else's changes.
    if (rqUpdate && monitor)
        monitor->drain();
    if (stopRequested()) {
        settleIfIdle();
        return;
    }
    if (!result.survey.ok()) {
        stopAt(JobError::fromCard(result.survey, title()));
        return;
    }
    if (!result.vanished.isEmpty()) {
        requeue(result.vanished);
        return;
    }
    if (rqUpdate && !result.commit.ok()) {
        qCWarning(lcJob) << title() << "update not committed:" << result.commit.detail();
        stopAt(JobError::fromCard(result.commit));
        return;
    }
    if (rqUpdate && result.committed) {
        // The segments now lie under their names, and the commit's
        // read-back proves them.
        for (int i = 0; i < list.records.size(); ++i)
            pathIndex.insert(list.records.at(i).file, i);
        committed = true;
    }
    if (options.readBack)
        startReadback();
    else
        complete();
}

void DownloadJob::makeReadback()
{
    if (readback)
        return;
    readback = std::make_unique<ReadbackVerifier>();
    connect(readback.get(), &ReadbackVerifier::progress, this, [this](qint64 done, qint64 total) {
        // Told against the whole product, as the transfers were: what is
        // not left to read was proven before (files kept and checked, files
        // read back while later ones arrived), and a resumed run must not
        // end on "12 MB of 12 MB" for a product of 21 MB.
        if (stage() == Stage::ReadingBack) {
            // (A file's inline bytes are read back, and were never fetched.)
            const qint64 whole = totalBytes > 0 ? totalBytes : total;
            setProgress(qMax<qint64>(0, whole - (total - done)), whole, filesDone, int(list.records.size()));
        }
    });
    connect(readback.get(), &ReadbackVerifier::itemRead, this, &DownloadJob::handleItemRead);
    connect(readback.get(), &ReadbackVerifier::finished, this, &DownloadJob::handleReadbackFinished);
}

void DownloadJob::openReadbackStream()
{
    if (!streamsReadback())
        return;
    makeReadback();
    if (readback->isOpen())
        return;
    // Reads the last stream left waiting are nobody's now: those files are
    // read again, at the latest when the run ends.
    readTags.clear();
    readWaiting.clear();
    readsOut = 0;
    streamFirstTag = lastReadTag + 1;
    closeWhenFed = false;
    readback->begin(writer);
}

void DownloadJob::queueRead(int index)
{
    if (index < 0)
        return;
    readTags.insert(index, ++lastReadTag);
    readWaiting.push_back(index);
    feedReads();
}

void DownloadJob::feedReads()
{
    // Enough for the readers never to wait on the job's thread.
    constexpr int readAhead = 64;
    if (!readback)
        return;
    QList<ReadbackVerifier::Item> items;
    while (readsOut + items.size() < readAhead && !readWaiting.empty()) {
        const int index = readWaiting.front();
        readWaiting.pop_front();
        const auto tag = readTags.constFind(index);
        if (tag == readTags.cend())
            continue;
        const FileRecord &record = list.records.at(index);
        items.append({pathOf(record.file), record.size, record.sha1, record.data, true, tag.value(),
                      writtenDigests.take(index)});
    }
    readsOut += int(items.size());
    readback->add(items);
    if (closeWhenFed && readWaiting.empty())
        readback->close();
}

void DownloadJob::handleItemRead(const ReadbackVerifier::Item &item, const CardResult &result,
                                 const QList<BlockSampler::Sample> &samples, bool afterLastWrite)
{
    const int index = pathIndex.value(item.path, -1);
    if (item.tag >= streamFirstTag) {
        --readsOut;
        feedReads();
    }
    // A read of a stream stopped since, or of a file fetched again after it
    // was queued, says nothing of what lies there now.
    if (index < 0 || !readTags.contains(index) || readTags.value(index) != item.tag)
        return;
    readTags.remove(index);
    takeChanges();
    if (!result.ok()) {
        readFailures.insert(index, result);
        return;
    }
    readFailures.remove(index);
    if (book.state(index) == ProofBook::State::Changed || samples.isEmpty())
        return;
    book.prove(index, samples);
    if (afterLastWrite)
        justRead.insert(index);
    else
        justRead.remove(index);
}

void DownloadJob::startReadback()
{
    if (!moveTo(Stage::ReadingBack))
        return;
    makeReadback();
    if (streamsReadback()) {
        // Whatever the stream has not read yet, and whatever lost its proof
        // since (a card that went away), is read now; after close() every
        // read begins after the run's last write.
        openReadbackStream();
        readback->writesOver();
        for (int i = 0; i < list.records.size(); ++i) {
            if (book.state(i) != ProofBook::State::Proven && !readTags.contains(i))
                queueRead(i);
        }
        // Closed once the last file waiting has been handed over.
        closeWhenFed = true;
        feedReads();
        return;
    }
    // What this run wrote, and whatever lost its proof to a card that went
    // away, is read whole; what was proven from the card earlier in the run
    // is looked at again by its sampled blocks afterwards (checkSamples).
    QList<ReadbackVerifier::Item> items;
    if (rqUpdate) {
        items = rqUpdate->writtenFiles();
    } else {
        for (int i = 0; i < list.records.size(); ++i) {
            if (book.state(i) == ProofBook::State::Proven)
                continue;
            const FileRecord &record = list.records.at(i);
            items.append({pathOf(record.file), record.size, record.sha1, record.data, true, 0,
                          writtenDigests.take(i)});
        }
    }
    readback->start(writer, items);
}

void DownloadJob::handleReadbackFinished()
{
    if (stopRequested()) {
        settleIfIdle();
        return;
    }
    // A stream that ended before it was closed: its card failed under it.
    // What it found waits in readFailures; the files it did not read are
    // read when the run ends, by a stream of their own.
    if (!readback->isClosed() && !closeWhenFed)
        return;
    QList<CardResult> failures;
    takeChanges();
    if (streamsReadback()) {
        failures = readFailures.values();
        readFailures.clear();
    } else {
        failures = readback->failures();
        justRead.clear();
        for (int i = 0; i < readback->items().size(); ++i) {
            const int index = pathIndex.value(readback->items().at(i).path, -1);
            if (index >= 0 && !readback->samples().at(i).isEmpty()
                && book.state(index) != ProofBook::State::Changed) {
                book.prove(index, readback->samples().at(i));
                justRead.insert(index);
            }
        }
    }
    if (failures.isEmpty()) {
        if (stopForChanges())
            return;
        // Nothing is complete that was not read from the card: a file that
        // slipped past every read is said, not passed over.
        for (int i = 0; !rqUpdate && i < list.records.size(); ++i) {
            const FileRecord &record = list.records.at(i);
            if (book.state(i) != ProofBook::State::Proven && record.size + record.data.size() > 0) {
                qCWarning(lcJob) << title() << pathOf(record.file) << "was not read back";
                failures.append(CardResult::failure(CardResult::Failed, pathOf(record.file),
                                                    QStringLiteral("it was not read back")));
            }
        }
        if (failures.isEmpty()) {
            checkSamples();
            return;
        }
    }
    // An RQ card then shows the update as unfinished. Resume finds the
    // segments of this run gone from their temporary names and fetches
    // them again: costly, but only after a card failed.
    bool removable = true;
    QList<JobError> errors;
    if (rqUpdate) {
        const CardResult marked = rqUpdate->markUnfinished();
        removable = marked.ok();
        if (!marked.ok())
            errors.append(JobError::fromCard(marked));
    }
    for (const CardResult &failure : failures) {
        qCWarning(lcJob) << title() << "read back:" << failure.detail();
        // A file the card did not keep goes, so that Resume, or the next
        // run, fetches it again (a file of the right length would be taken
        // as complete); the container stays, marked unfinished.
        if (failure.problem() == CardResult::NotKept && removable
            && !(rqUpdate && failure.path() == rqUpdate->newContainerName()))
            writer->remove(failure.path());
        const int index = pathIndex.value(failure.path(), -1);
        if (failure.problem() == CardResult::NotKept && index >= 0 && book.state(index) == ProofBook::State::Changed) {
            // Not the card's doing: another program changed the file after
            // this run wrote it.
            book.forget(index);
            errors.append(changedOnCard(failure.path()));
            continue;
        }
        errors.append(JobError::fromCard(failure));
    }
    for (const JobError &error : std::as_const(errors))
        report(error);
    settleStop(errors);
}

JobError DownloadJob::changedOnCard(const QString &path)
{
    // What to press or type to go on is the window's and the command line's
    // to say; both add it to every error that pauses a download.
    return JobError { JobError::ChangedOnCard, path,
        tr("\"%1\" was changed on the SD card by another program after the tool had written or checked "
           "it; it is downloaded again when the download goes on.")
            .arg(path) };
}

bool DownloadJob::stopForChanges()
{
    const QList<int> changed = book.withState(ProofBook::State::Changed);
    if (changed.isEmpty())
        return false;
    QList<JobError> errors;
    QList<TransferOrder> orders;
    for (int index : changed) {
        const FileRecord &record = list.records.at(index);
        errors.append(changedOnCard(pathOf(record.file)));
        book.forget(index);
        // Fetched again whole: what lies there now is another's.
        if (proven_.remove(record.file)) {
            doneBytes -= record.size;
            checkPaths.remove(record.file);
            if (rqUpdate)
                rqUpdate->dropInPlace(record.file);
        }
        if (record.size == 0) {
            pendingChecks.insert(record.file);
            continue;
        }
        --filesDone;
        markTransferPending(index);
        orders.append({index, targets.value(record.file, record.file), 0, true, true});
    }
    transfers->enqueue(orders);
    showProgress();
    for (const JobError &error : std::as_const(errors))
        report(error);
    settleStop(errors);
    return true;
}

namespace {
// Readers of the sampled blocks after the last write. Each read is a short
// wait on the card, and a disk that is handed more at once answers sooner:
// eight took the look after the last write from 0.12-0.15 s to 0.09-0.11 s
// for 2,000 small files, and from 0.12-0.21 s to 0.10-0.15 s for 1 GiB;
// sixteen took it for the small files to 0.06-0.08 s (against 0.07-0.11 s
// with eight, eight runs each, alternating).
constexpr qsizetype sampleReaders = 16;
} // namespace

void DownloadJob::checkSamples()
{
    // Read whole where the product is small: then every byte, not a sample
    // of them, is known to be on the card at the end.
    const bool whole = totalBytes <= options.rereadWholeUpTo;
    // The pool works on copies that share their data with the job's own: a
    // product of 200,000 files is not listed a second time for it.
    QList<int> files;
    for (int i = 0; i < list.records.size(); ++i) {
        if (book.state(i) == ProofBook::State::Proven && book.hasSamples(i) && !justRead.contains(i))
            files.append(i);
    }
    const auto place = [committed = committed, targets = targets, checkPaths = checkPaths](const QString &file) {
        return committed ? file : checkPaths.value(file, targets.value(file, file));
    };
    sampling.setFuture(QtConcurrent::run(QThreadPool::globalInstance(),
                                         [card = writer, records = list.records, book = book, files, place, whole] {
        // Each file is a few block reads that wait on the card: with one
        // reader, 2,000 small files kept the job waiting a quarter of a
        // second after its last write. Each reader takes every readers-th
        // file, so the findings merge back into the list's order.
        const int readers = int(qBound<qsizetype>(1, files.size(), sampleReaders));
        std::vector<std::map<qsizetype, CardResult>> found(static_cast<size_t>(readers));
        // A card that failed (pulled out) says nothing of the files after
        // it: no reader goes past the first such place.
        std::atomic<qsizetype> cardFailedAt{files.size()};
        const auto read = [&](int reader) {
            // A path thousands of folders deep is walked once per reader.
            CardFolders folders;
            for (qsizetype at = reader; at < cardFailedAt.load(); at += readers) {
                const FileRecord &record = records.at(files.at(at));
                const ReadbackVerifier::Item item{place(record.file), record.size, record.sha1, record.data, true};
                const QList<BlockSampler::Sample> proven = book.samples(files.at(at));
                QList<BlockSampler::Sample> now = proven;
                const CardResult result
                    = whole ? ReadbackVerifier::verify(*card, item, nullptr, [](qint64) {}, nullptr, &folders)
                            : card->readBlocks(item.path, &now, &folders);
                if (!result.ok()) {
                    found[size_t(reader)].emplace(at, result);
                    if (result.problem() != CardResult::NotKept) {
                        qsizetype first = cardFailedAt.load();
                        while (at < first && !cardFailedAt.compare_exchange_weak(first, at)) {
                        }
                        break;
                    }
                    continue;
                }
                for (int b = 0; !whole && b < now.size(); ++b) {
                    if (now.at(b).digest != proven.at(b).digest) {
                        found[size_t(reader)].emplace(
                            at, CardResult::failure(CardResult::NotKept, item.path,
                                                    QStringLiteral("the block at byte %1 changed after it was proven")
                                                        .arg(now.at(b).offset)));
                        break;
                    }
                }
            }
        };
        std::vector<std::thread> others;
        for (int reader = 1; reader < readers; ++reader) {
            others.emplace_back([&read, reader] {
                BackgroundPriority::lowerCallingThread();
                read(reader);
            });
        }
        read(0);
        for (std::thread &other : others)
            other.join();
        std::map<qsizetype, CardResult> merged;
        for (auto &each : found)
            merged.merge(each);
        QList<CardResult> failures;
        for (const auto &[at, result] : merged) {
            if (at > cardFailedAt.load())
                break;
            failures.append(result);
        }
        return failures;
    }));
}

void DownloadJob::handleSamplesChecked()
{
    const QList<CardResult> failures = sampling.result();
    if (stopRequested()) {
        settleIfIdle();
        return;
    }
    takeChanges();
    if (stopForChanges())
        return;
    if (failures.isEmpty()) {
        complete();
        return;
    }
    QList<JobError> errors;
    for (const CardResult &failure : failures) {
        qCWarning(lcJob) << title() << "sample:" << failure.detail();
        const int index = pathIndex.value(failure.path(), -1);
        if (failure.problem() == CardResult::NotKept && index >= 0) {
            // Written over by the run's own later writes: the card keeps
            // less than it claims. The file goes, so Resume fetches it.
            book.forget(index);
            writer->remove(failure.path());
            const QString file = list.records.at(index).file;
            proven_.remove(file);
        }
        errors.append(JobError::fromCard(failure));
    }
    for (const JobError &error : std::as_const(errors))
        report(error);
    settleStop(errors);
}

void DownloadJob::stopAt(const JobError &error)
{
    report(error);
    settleStop({error});
}

void DownloadJob::complete()
{
    proven();
    moveTo(Stage::Done);
}

void DownloadJob::requeue(const QStringList &vanished)
{
    QList<TransferOrder> orders;
    for (const QString &file : vanished) {
        const FileRecord *record = recordOf(file);
        if (!record)
            continue;
        qCWarning(lcJob) << file << "gone from the card during the run; fetched again";
        --filesDone;
        if (record->size == 0) {
            pendingChecks.insert(file);
            continue;
        }
        TransferOrder order{recordIndex.value(file), targets.value(file, file), 0, true, false};
        if (proven_.remove(file)) {
            doneBytes -= record->size;
            checkPaths.remove(file);
            if (rqUpdate)
                rqUpdate->dropInPlace(file);
        } else {
            order.restart = true;
        }
        markTransferPending(indexOf(file));
        orders.append(order);
    }
    transfers->enqueue(orders);
    showProgress();
    if (!pendingChecks.isEmpty()) {
        if (moveTo(Stage::Checking)) {
            for (const QString &file : vanished) {
                if (pendingChecks.contains(file))
                    checkFile(file);
            }
        }
        return;
    }
    startTransfers();
}
