#include "download/transferworker.h"

#include <QAbstractEventDispatcher>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThread>

#include "base/freedmemory.h"
#include "base/logclock.h"
#include "download/download.h"
#include "download/readaheadproxyfactory.h"
#include "card/cardwriter.h"
#include "service/chartservice.h"

namespace {

#define OP_TAG QStringLiteral("<%1>[%2]").arg(QLatin1String(__func__)).arg(__LINE__)

bool isBusy(const Download *download)
{
    const Download::State state = download->state;
    return state == Download::DOWNLOADING || state == Download::WRITING || state == Download::PAUSING;
}

} // namespace

TransferWorker::TransferWorker(std::shared_ptr<const CardWriter> cardWriter, const QString &cardRoot)
    : writer(std::move(cardWriter))
    , root(cardRoot)
    , progressTimer(this)
{
    progressTimer.setInterval(progressInterval);
    connect(&progressTimer, &QTimer::timeout, this, [this] {
        flushReports();
        if (activity().running == 0)
            progressTimer.stop();
    });
}

TransferWorker::~TransferWorker()
{
    qDeleteAll(downloads);
}

void TransferWorker::configure(const QList<FileRecord> &list, const QString &newEndPoint,
                               const QString &newCdnEndPoint, int total, int big)
{
    records = list;
    if (fetchedWhole.size() != records.size())
        fetchedWhole = QBitArray(records.size());
    endPoint = newEndPoint;
    cdnEndPoint = newCdnEndPoint;
    queue.setLimits(total, big);
}

void TransferWorker::enqueue(const QList<TransferOrder> &newOrders)
{
    for (const TransferOrder &order : newOrders) {
        const FileRecord &record = records.at(order.record);
        const QString &file = record.file;
        if (Download *download = downloads.value(file)) {
            if (order.restart)
                download->restart();
            download->rewrite = download->rewrite || order.rewrite || order.restart;
            download->target = order.target;
            if (download->state == Download::DONE)
                download->state = Download::READY;
        } else {
            // Fetched whole earlier in this run: its bytes were counted, and
            // come again from byte 0.
            if (order.restart && fetchedWhole.testBit(order.record))
                countBytes(-record.size);
            fetchedWhole.clearBit(order.record);
            // Most orders say no more than "this file, from byte 0, to its
            // own name": only the others are kept until the file's turn.
            const bool plain = (order.target.isEmpty() || order.target == file) && order.resumeAt == 0
                               && !order.rewrite && !order.restart;
            if (plain)
                orders.remove(order.record);
            else
                orders.insert(order.record, order);
        }
        queue.enqueue(order.record, record.size >= bigFileSize);
    }
}

Download *TransferWorker::downloadFor(int index)
{
    const FileRecord &record = records.at(index);
    const QString &file = record.file;
    if (Download *existing = downloads.value(file))
        return existing;
    const TransferOrder order = orders.take(index);
    auto *download = new Download(record, root, endPoint, cdnEndPoint);
    download->setCardWriter(writer);
    download->setCardFolders(&folders);
    download->target = order.target.isEmpty() ? file : order.target;
    if (order.resumeAt > 0)
        download->resume(order.resumeAt);
    download->rewrite = order.rewrite;
    connectDownload(download);
    downloads.insert(file, download);
    downloadRecords.insert(file, index);
    return download;
}

void TransferWorker::connectDownload(Download *download)
{
    if (download->connected)
        return;
    download->connected = true;
    connect(download, &Download::downloadFinished, this, &TransferWorker::handleFileFinished);
    connect(download, &Download::bytesWritten, this, &TransferWorker::countBytes);
    connect(download, &Download::cancelled, this, &TransferWorker::handleCancelled);
    connect(download, &Download::error, this, &TransferWorker::handleError);
    connect(download, &Download::started, this, &TransferWorker::handleStarted);
    connect(download, &Download::retryFromStart, this, &TransferWorker::handleRetryFromStart);
    connect(download, &Download::bodyReceived, this, &TransferWorker::handleBodyReceived);
}

void TransferWorker::startRound(quint64 sequence)
{
    startsSeen = sequence;
    halted = false;
    if (busy()) {
        qDebug() << LogClock::prefix(root) << OP_TAG << "[startDownloads while busy]";
        flushReports();
        emit acknowledged(activity());
        return;
    }
    // Admitted earlier and stopped: each has its Download.
    const QList<int> admitted = queue.admitted();
    for (const int record : admitted) {
        if (Download *download = downloads.value(records.at(record).file))
            startDownload(download);
    }
    admitWaiting();
    flushReports();
    emit acknowledged(activity());
}

void TransferWorker::admitWaiting()
{
    if (halted || finishing.size() >= maxFinishing)
        return;
    const QList<int> admitted = queue.admitWaiting();
    // Each start is logged once, with its address, by startDownload.
    for (const int record : admitted)
        startDownload(downloadFor(record));
    const int inFlight = int(queue.admitted().size());
    if (inFlight > peak.load())
        peak.store(inFlight);
}

QNetworkAccessManager *TransferWorker::managerFor(const Download &download, const QString &url)
{
    const bool plainHttp = url.startsWith(QLatin1String("http:"), Qt::CaseInsensitive);
    if (download.size <= 0 || download.size >= bigFileSize || !plainHttp)
        return manager;
    // Its own connections: a connection's socket reads ahead or not for
    // its whole life.
    if (!smallFilesManager) {
        smallFilesManager = new QNetworkAccessManager(this);
        smallFilesManager->setProxyFactory(new ReadAheadProxyFactory);
    }
    return smallFilesManager;
}

void TransferWorker::startDownload(Download *download)
{
    if (!manager) {
        manager = new QNetworkAccessManager(this);
        qInfo() << LogClock::prefix(root) << "transfers on their own thread, event dispatcher"
                << QAbstractEventDispatcher::instance()->metaObject()->className() << "allocator"
                << FreedMemory::allocatorName();
    }
    if (download->offset < 0)
        qWarning() << LogClock::prefix(download->file) << OP_TAG << "negative offset" << download->offset;

    // Every byte is there but the file's end (sync, digest, trailer) failed
    // last time: that end runs again, without the network.
    if (download->size > 0 && download->offset >= download->size && !download->rewrite) {
        download->finishOnCard();
        return;
    }
    // The card may have been pulled and put back, and a failed write may
    // have left part of a piece: the file itself says where to go on.
    if (download->resuming && !download->rewrite) {
        QHash<QString, CardWriter::Facts> facts;
        writer->survey({download->target}, &facts);
        const qint64 onCard = facts.value(download->target).size;
        const qint64 counted = download->offset;
        if (onCard > download->size) {
            download->restart();
        } else if (onCard != counted) {
            download->resume(onCard);
            countBytes(download->offset - counted);
        }
    }

    const QString url = download->downloadPath();
    qInfo() << LogClock::prefix(download->file) << "[START]" << url;
    QString range;
    if (download->resuming)
        range = QStringLiteral("bytes=%1-%2").arg(download->offset).arg(download->size - 1);
    if (download->reply) {
        qDebug() << LogClock::prefix(download->file) << OP_TAG << "[RESPONSE NOT EMPTY]";
        download->reset();
    }
    // A request is out again: whatever stopped the last one is over.
    download->state = Download::READY;
    download->reply = managerFor(*download, url)->get(ChartService::fileRequest(url, range));
    download->reply->setProperty("id", download->file);
    download->connectResponse();
}

bool TransferWorker::busy() const
{
    const auto busyFile = [this](const QString &file) {
        const Download *download = downloads.value(file);
        return download && isBusy(download);
    };
    for (const int record : queue.admitted()) {
        if (busyFile(records.at(record).file))
            return true;
    }
    for (const QString &file : finishing) {
        if (busyFile(file))
            return true;
    }
    return false;
}

TransferActivity TransferWorker::activity() const
{
    TransferActivity now;
    now.startsSeen = startsSeen;
    const auto count = [this, &now](const QString &file) {
        const Download *download = downloads.value(file);
        if (!download)
            return;
        if (isBusy(download)) {
            ++now.busy;
            ++now.running;
        } else if (download->reply && download->state == Download::READY) {
            ++now.running;
        }
    };
    for (const int record : queue.admitted())
        count(records.at(record).file);
    for (const QString &file : finishing)
        count(file);
    return now;
}

void TransferWorker::countBytes(qint64 bytes)
{
    pendingBytes += bytes;
    if (!progressTimer.isActive())
        progressTimer.start();
}

void TransferWorker::queueReport(
    bool finished, const QString &file, const TransferActivity &activity, const ContentDigest::Value &written)
{
    reports.append({ std::exchange(pendingBytes, 0), finished, file, activity, written });
    if (activity.running == 0)
        flushReports();
    else if (!progressTimer.isActive())
        progressTimer.start();
}

void TransferWorker::flushReports()
{
    // Taken before sending: a slot connected directly may queue a report
    // of its own, which then waits for the next flush instead of changing
    // the list being sent.
    const QList<Report> sending = std::exchange(reports, {});
    for (const Report &report : sending) {
        if (report.bytesBefore != 0)
            emit bytesDone(report.bytesBefore);
        if (report.finished)
            emit finished(report.file, report.activity, report.written);
        else
            emit started(report.file, report.activity);
    }
    if (pendingBytes != 0)
        emit bytesDone(std::exchange(pendingBytes, 0));
}

void TransferWorker::handleStarted(const QString &file)
{
    queueReport(false, file, activity());
}

void TransferWorker::handleBodyReceived(const QString &file)
{
    queue.release(downloadRecords.value(file, -1));
    finishing.insert(file);
    admitWaiting();
}

void TransferWorker::handleFileFinished(const QString &file, const ContentDigest::Value &written)
{
    qInfo() << LogClock::prefix(file) << "downloaded";
    finishing.remove(file);
    const int record = downloadRecords.value(file, -1);
    queue.release(record);
    if (Download *download = downloads.take(file)) {
        downloadRecords.remove(file);
        download->clearResponse();
        fetchedWhole.setBit(record);
        // It is still sending this report.
        download->deleteLater();
    }
    // Admitted before the report, so that what the report says runs is
    // what runs.
    admitWaiting();
    const TransferActivity now = activity();
    releaseIfIdle(now);
    queueReport(true, file, now, written);
}

void TransferWorker::handleCancelled(const QString &file)
{
    flushReports();
    const TransferActivity now = activity();
    releaseIfIdle(now);
    emit cancelled(file, now);
}

void TransferWorker::releaseIfIdle(const TransferActivity &now)
{
    if (now.running > 0)
        return;
    folders.clear();
    if (queue.waitingCount() == 0) {
        // Drained: the line of a product's 200,000 orders keeps its room
        // until it is let go of, and so does the allocator.
        queue.squeeze();
        orders.squeeze();
        FreedMemory::release();
    }
}

void TransferWorker::handleError(const QString &file, const JobError &error)
{
    // The other transfers run to their end; nothing new starts until the
    // downloader has told the user and the user resumes.
    halted = true;
    Download *download = downloads.value(file);
    if (finishing.remove(file) && download)
        queue.readmit(downloadRecords.value(file), download->size >= bigFileSize);
    flushReports();
    const TransferActivity now = activity();
    releaseIfIdle(now);
    emit failed(file, error, now);
}

void TransferWorker::handleRetryFromStart(const QString &file)
{
    Download *download = downloads.value(file);
    if (!download)
        return;
    finishing.remove(file);
    queue.readmit(downloadRecords.value(file), download->size >= bigFileSize);
    qInfo() << LogClock::prefix(file) << OP_TAG << "fetching again from byte 0";
    if (halted) {
        // Stopped where it stands; the next round fetches it.
        flushReports();
        emit cancelled(file, activity());
        return;
    }
    startDownload(download);
}

void TransferWorker::pauseAll()
{
    halted = true;
    const QList<int> admitted = queue.admitted();
    for (const int record : admitted) {
        if (Download *download = downloads.value(records.at(record).file))
            download->pause();
    }
}

void TransferWorker::shutdown(QThread *target)
{
    halted = true;
    progressTimer.stop();
    for (Download *download : std::as_const(downloads)) {
        disconnect(download, nullptr, this, nullptr);
        delete download;
    }
    downloads.clear();
    downloadRecords.clear();
    folders.clear();
    // Its replies go with it, and its own network thread ends.
    delete manager;
    manager = nullptr;
    delete smallFilesManager;
    smallFilesManager = nullptr;
    moveToThread(target);
}
