#include "download/transferworker.h"

#include <QAbstractEventDispatcher>
#include <QDateTime>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThread>

#include "download/download.h"
#include "card/cardwriter.h"
#include "service/chartservice.h"

namespace {

QString prefix(const QString &context)
{
    return QStringLiteral("[%1][%2]").arg(QDateTime::currentDateTime().toString(Qt::TextDate), context);
}

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
        flushProgress();
        if (activity().running == 0)
            progressTimer.stop();
    });
}

TransferWorker::~TransferWorker()
{
    qDeleteAll(downloads);
}

void TransferWorker::configure(const QString &newEndPoint, const QString &newCdnEndPoint, int total, int big)
{
    endPoint = newEndPoint;
    cdnEndPoint = newCdnEndPoint;
    queue.setLimits(total, big);
}

void TransferWorker::enqueue(const QList<TransferOrder> &newOrders)
{
    for (const TransferOrder &order : newOrders) {
        const QString &file = order.record.file;
        if (Download *download = downloads.value(file)) {
            if (order.restart)
                download->restart();
            download->rewrite = download->rewrite || order.rewrite || order.restart;
            download->target = order.target;
            if (download->state == Download::DONE)
                download->state = Download::READY;
        } else {
            orders.insert(file, order);
        }
        queue.enqueue(file, order.record.size >= bigFileSize);
    }
}

Download *TransferWorker::downloadFor(const QString &file)
{
    if (Download *existing = downloads.value(file))
        return existing;
    const TransferOrder order = orders.take(file);
    QJsonObject json = order.record.json;
    json.insert(QStringLiteral("dir"), root);
    json.insert(QStringLiteral("end_point"), endPoint);
    json.insert(QStringLiteral("cdn_end_point"), cdnEndPoint);
    auto *download = new Download(json);
    download->setCardWriter(writer);
    download->target = order.target.isEmpty() ? file : order.target;
    if (order.resumeAt > 0)
        download->resume(order.resumeAt);
    download->rewrite = order.rewrite;
    connectDownload(download);
    downloads.insert(file, download);
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
        qDebug() << prefix(root) << OP_TAG << "[startDownloads while busy]";
        emit acknowledged(activity());
        return;
    }
    const QStringList admitted = queue.admitted();
    for (const QString &file : admitted)
        startDownload(downloadFor(file));
    admitWaiting();
    emit acknowledged(activity());
}

void TransferWorker::admitWaiting()
{
    if (halted || finishing.size() >= maxFinishing)
        return;
    const QStringList admitted = queue.admitWaiting();
    for (const QString &file : admitted) {
        qInfo() << prefix(file) << "downloading";
        startDownload(downloadFor(file));
    }
    const int inFlight = int(queue.admitted().size());
    if (inFlight > peak.load())
        peak.store(inFlight);
}

void TransferWorker::startDownload(Download *download)
{
    if (!manager) {
        manager = new QNetworkAccessManager(this);
        qInfo() << prefix(root) << "transfers on their own thread, event dispatcher"
                << QAbstractEventDispatcher::instance()->metaObject()->className();
    }
    if (download->offset < 0)
        qWarning() << prefix(download->file) << OP_TAG << "negative offset" << download->offset;

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
    qInfo() << prefix(download->file) << "[START]" << url;
    QString range;
    if (download->resuming)
        range = QStringLiteral("bytes=%1-%2").arg(download->offset).arg(download->size - 1);
    if (download->reply) {
        qDebug() << prefix(download->file) << OP_TAG << "[RESPONSE NOT EMPTY]";
        download->reset();
    }
    // A request is out again: whatever stopped the last one is over.
    download->state = Download::READY;
    download->reply = manager->get(ChartService::fileRequest(url, range));
    download->reply->setProperty("id", download->file);
    download->connectResponse();
}

bool TransferWorker::busy() const
{
    const auto anyBusy = [this](const auto &files) {
        for (const QString &file : files) {
            const Download *download = downloads.value(file);
            if (download && isBusy(download))
                return true;
        }
        return false;
    };
    return anyBusy(queue.admitted()) || anyBusy(finishing);
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
    for (const QString &file : queue.admitted())
        count(file);
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

void TransferWorker::flushProgress()
{
    if (pendingBytes == 0)
        return;
    emit bytesDone(pendingBytes);
    pendingBytes = 0;
}

void TransferWorker::handleStarted(const QString &file)
{
    flushProgress();
    emit started(file, activity());
}

void TransferWorker::handleBodyReceived(const QString &file)
{
    queue.release(file);
    finishing.insert(file);
    admitWaiting();
}

void TransferWorker::handleFileFinished(const QString &file)
{
    qInfo() << prefix(file) << "downloaded";
    finishing.remove(file);
    queue.release(file);
    if (Download *download = downloads.value(file))
        download->clearResponse();
    // Admitted before the report, so that what the report says runs is
    // what runs.
    admitWaiting();
    flushProgress();
    emit finished(file, activity());
}

void TransferWorker::handleCancelled(const QString &file)
{
    flushProgress();
    emit cancelled(file, activity());
}

void TransferWorker::handleError(const QString &file, const JobError &error)
{
    // The other transfers run to their end; nothing new starts until the
    // downloader has told the user and the user resumes.
    halted = true;
    Download *download = downloads.value(file);
    if (finishing.remove(file) && download)
        queue.readmit(file, download->size >= bigFileSize);
    flushProgress();
    emit failed(file, error, activity());
}

void TransferWorker::handleRetryFromStart(const QString &file)
{
    Download *download = downloads.value(file);
    if (!download)
        return;
    finishing.remove(file);
    queue.readmit(file, download->size >= bigFileSize);
    qInfo() << prefix(file) << OP_TAG << "damaged on the way, fetching again from byte 0";
    if (halted) {
        // Stopped where it stands; the next round fetches it.
        flushProgress();
        emit cancelled(file, activity());
        return;
    }
    startDownload(download);
}

void TransferWorker::pauseAll()
{
    halted = true;
    const QStringList admitted = queue.admitted();
    for (const QString &file : admitted) {
        if (Download *download = downloads.value(file))
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
    // Its replies go with it, and its own network thread ends.
    delete manager;
    manager = nullptr;
    moveToThread(target);
}
