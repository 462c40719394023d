#include "download/downloadjob.h"

#include <QLoggingCategory>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include "card/cardwriter.h"
#include "download/checkrunner.h"
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
    const Preparation::Result result = preparing.future().takeResult();
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
    if (result.rqUpdate)
        rqUpdate = result.rqUpdate;
    prepared(result);
    doneBytes += result.resumedBytes;
    for (const TransferOrder &order : result.orders)
        pendingTransfers.insert(list.records.at(order.record).file);
    filesDone = int(list.records.size()) - int(result.orders.size()) - int(result.checks.size());
    transfers->configure(writer, identity.root(), list.records, list.endPoint, list.cdnEndPoint,
                         options.concurrency);
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

void DownloadJob::handleCheckPassed(const QString &file)
{
    const FileRecord *record = recordOf(file);
    if (!record || !pendingChecks.remove(file))
        return;
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
    pendingTransfers.insert(file);
    transfers->enqueue({{*index, targets.value(file, file), 0, true, false}});
}

void DownloadJob::startTransfers()
{
    if (pendingTransfers.isEmpty()) {
        checkAllDone();
        return;
    }
    if (!moveTo(Stage::Transferring))
        return;
    transfers->startRound();
}

void DownloadJob::handleBytes(qint64 bytes)
{
    if (bytes == 0)
        return;
    doneBytes += bytes;
    showProgress();
}

void DownloadJob::handleFileFinished(const QString &file)
{
    if (pendingTransfers.remove(file))
        ++filesDone;
    showProgress();
    if (stopRequested()) {
        settleIfIdle();
        return;
    }
    checkAllDone();
}

void DownloadJob::handleFileFailed(const QString &file, const JobError &error)
{
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
    if (!stopRequested() || !workIdle())
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
    if (completing.isRunning() || (readback && readback->isRunning()) || !pendingChecks.isEmpty()
        || !pendingTransfers.isEmpty() || doneBytes < totalBytes)
        return;
    if (!moveTo(Stage::Completing))
        return;
    Completion::Input input{writer, list.records, targets, checkPaths, proven_, rqUpdate, identity.root()};
    completing.setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [input] { return Completion::run(input); }));
}

void DownloadJob::handleCompletion()
{
    const Completion::Result result = completing.result();
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
    if (options.readBack)
        startReadback();
    else
        complete();
}

void DownloadJob::startReadback()
{
    if (!moveTo(Stage::ReadingBack))
        return;
    if (!readback) {
        readback = std::make_unique<ReadbackVerifier>();
        connect(readback.get(), &ReadbackVerifier::progress, this, [this](qint64 done, qint64 total) {
            if (stage() == Stage::ReadingBack)
                setProgress(done, total, filesDone, int(list.records.size()));
        });
        connect(readback.get(), &ReadbackVerifier::finished, this, &DownloadJob::handleReadbackFinished);
    }
    readback->start(writer, rqUpdate ? rqUpdate->writtenFiles() : ReadbackVerifier::productItems(list.records, proven_));
}

void DownloadJob::handleReadbackFinished()
{
    if (stopRequested()) {
        settleIfIdle();
        return;
    }
    const QList<CardResult> failures = readback->failures();
    if (failures.isEmpty()) {
        complete();
        return;
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
        pendingTransfers.insert(file);
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
