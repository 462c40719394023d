#include "download/download.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent>

#include <cmath>

#include "media/cardwriter.h"

namespace {

QString operationTag(const char *operation, int line)
{
    return QStringLiteral("<%1>[%2]").arg(QLatin1String(operation)).arg(line);
}

qint64 nowSeconds()
{
    return QDateTime::currentSecsSinceEpoch();
}

const char *errorName(QNetworkReply::NetworkError code)
{
    const char *name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code);
    return name ? name : "UnknownNetworkError";
}

int initialWatchdogSeconds()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("QUORVEL_WATCHDOG_SECONDS", &ok);
    return ok && seconds > 0 ? seconds : 601;
}

// JSON numbers are doubles; anything beyond 2^53 is not a byte count the
// service can mean, and casting an out-of-range double is undefined.
qint64 sizeFromJson(const QJsonValue &value)
{
    const double d = value.toDouble();
    constexpr double limit = 9007199254740992.0;
    if (!std::isfinite(d))
        return 0;
    return qint64(qBound(-limit, d, limit));
}

// Start of "bytes a-b/c"; -1 when the header says something else.
qint64 contentRangeStart(const QByteArray &header)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*bytes\\s+(\\d+)-(\\d+)/(\\d+|\\*)\\s*$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(header));
    if (!match.hasMatch())
        return -1;
    bool ok = false;
    const qint64 start = match.captured(1).toLongLong(&ok);
    return ok ? start : -1;
}

} // namespace

int Download::watchdogSeconds = initialWatchdogSeconds();

void Download::setWatchdogLimit(int seconds)
{
    watchdogSeconds = seconds > 0 ? seconds : 601;
}

int Download::watchdogLimit()
{
    return watchdogSeconds;
}

Download::Download(QJsonObject jsonRecord, QObject *parent)
    : QObject(parent)
    , record(std::move(jsonRecord))
    , chunks(std::make_unique<ChunkWriter>())
{
    file = record.value(QStringLiteral("file")).toString();
    target = file;
    dir = record.value(QStringLiteral("dir")).toString();
    size = sizeFromJson(record.value(QStringLiteral("size")));
    mtime = record.value(QStringLiteral("mtime")).toInt();
    data = QByteArray::fromBase64(record.value(QStringLiteral("data")).toString().toLatin1());
    endPoint = record.value(QStringLiteral("end_point")).toString();
    cdnEndPoint = record.value(QStringLiteral("cdn_end_point")).toString();
    etag = record.value(QStringLiteral("etag")).toString();
    sha1 = record.value(QStringLiteral("sha1")).toString().toUtf8();

    // Both are emitted on pool threads; the automatic connection queues them
    // onto this object's thread, where all state changes happen.
    connect(this, &Download::bytesWrittenInternal, this, &Download::handleBytesWritten);
    connect(this, &Download::ioError, this, &Download::handleIoError);
    connect(this, &Download::finishedOnCard, this, &Download::settleEnding);
}

void Download::setCardWriter(std::shared_ptr<const CardWriter> cardWriter)
{
    chunks->setCardWriter(std::move(cardWriter));
}

Download::~Download()
{
    // Waiting may run a write that has not started yet on this very thread;
    // its completion must then not reach this half-destroyed object, which
    // would start the next chunk.
    disconnect(this, &Download::bytesWrittenInternal, this, &Download::handleBytesWritten);
    disconnect(this, &Download::ioError, this, &Download::handleIoError);
    disconnect(this, &Download::finishedOnCard, this, &Download::settleEnding);
    pendingWrite.waitForFinished();
    if (reply)
        reply->deleteLater();
}

QString Download::tracePrefix() const
{
    return QStringLiteral("[%1][%2]").arg(QDateTime::currentDateTime().toString(Qt::TextDate), file);
}

QString Download::downloadPath() const
{
    const QString primary = (cdnEndPoint.isEmpty() ? endPoint : cdnEndPoint) + file;
    if (rewrite || !resuming || size <= 0)
        return primary;
    // The last fifth of a file comes from the origin: a CDN edge that has
    // just broken off is likely to do so again, and the origin has the file.
    if (offset * 100 / size > 80)
        return endPoint + file;
    return primary;
}

QString Download::localFilePath() const
{
    return dir + QLatin1Char('/') + target;
}

void Download::connectResponse()
{
    if (!reply)
        return;
    // Without a limit the network layer reads the whole body into memory as
    // fast as the socket delivers it, whatever the pace of the card.
    reply->setReadBufferSize(replyBufferSize);
    connect(reply, &QNetworkReply::downloadProgress, this, &Download::handleDownloadProgress);
    connect(reply, &QNetworkReply::finished, this, &Download::networkFinished);
    connect(reply, &QNetworkReply::errorOccurred, this, &Download::handleNetworkError);
    connect(reply, &QNetworkReply::readyRead, this, &Download::handleReadyRead);
    lastActivity = nowSeconds();
    armWatchdog();
}

void Download::disconnectResponse()
{
    if (reply)
        disconnect(reply, nullptr, this, nullptr);
}

qint64 Download::resume(qint64 newOffset)
{
    resuming = true;
    if (newOffset >= 1) {
        offset = newOffset;
    } else {
        QHash<QString, CardWriter::Facts> facts;
        if (chunks->cardWriter())
            chunks->cardWriter()->survey({target}, &facts);
        offset = facts.value(target).size;
    }
    return offset;
}

bool Download::pause()
{
    resuming = true;
    if (!reply)
        return false;
    if (state == DOWNLOADING)
        state = PAUSING;
    dropReply(true);
    // A write in flight reports the pause itself when it completes and finds
    // the reply gone; every other transfer that was waiting on its reply
    // has now stopped.
    if (state == PAUSING || state == READY)
        emitCancelled(PAUSED);
    return true;
}

void Download::reset()
{
    if (reply) {
        resuming = true;
        if (state == DOWNLOADING)
            state = PAUSING;
        dropReply(true);
    }
    state = READY;
}

void Download::restart()
{
    rewrite = true;
    resuming = false;
    emit bytesWritten(-offset);
    offset = 0;
}

void Download::clearResponse()
{
    dropReply(false);
}

void Download::emitCancelled(Download::State newState)
{
    state = newState;
    emit cancelled(file);
}

QString Download::getStateStr() const
{
    switch (state) {
    case READY: return QStringLiteral("READY");
    case DOWNLOADING: return QStringLiteral("DOWNLOADING");
    case WRITING: return QStringLiteral("WRITING");
    case PAUSING: return QStringLiteral("PAUSING");
    case PAUSED: return QStringLiteral("PAUSED");
    case ERROR: return QStringLiteral("ERROR");
    case DONE: return QStringLiteral("DONE");
    }
    return QString();
}

// Runs on a pool thread. The event loop leaves target, offset, rewrite and
// the chunk writer alone while the transfer is WRITING, so they are used
// without a lock.
void Download::writeBytesAvailable(QByteArray bytes)
{
    const bool truncate = rewrite;
    if (truncate)
        qDebug() << tracePrefix() << operationTag("writeBytesAvailable", 198) << "ReWritting";
    const ChunkWriter::Result result = chunks->append(cardFile(), offset, bytes, truncate);
    if (result.lost) {
        fileLost = true;
        emit ioError(tr("The partly downloaded file changed on the card; it will be downloaded again."));
        return;
    }
    if (!result.written) {
        qInfo() << tracePrefix() << "IO error:" << result.card.detail();
        emit ioError(result.card.message());
        return;
    }
    // Cleared only once the old content is really gone, so that a failed
    // open cannot turn the next attempt into an append to stale bytes.
    if (truncate)
        rewrite = false;
    ending = result.ending;
    endingProblem = result.card;
    emit bytesWritten(bytes.size());
    emit bytesWrittenInternal(bytes.size());
}

ChunkWriter::File Download::cardFile() const
{
    return {target, size, sha1, data};
}

void Download::finishOnCard()
{
    state = WRITING;
    pendingWrite = QtConcurrent::run(QThreadPool::globalInstance(), [this] {
        const ChunkWriter::Result result = chunks->finish(cardFile());
        ending = result.ending;
        endingProblem = result.card;
        emit finishedOnCard();
    });
}

void Download::settleEnding()
{
    const Ending how = ending;
    ending = Ending::None;
    switch (how) {
    case Ending::None:
        return;
    case Ending::Verified:
        state = DONE;
        emit downloadFinished(file);
        return;
    case Ending::Mismatch:
        // Damaged on the way: once more from the first byte, at once; a
        // second time in one run is reported like any failed file.
        dropReply(false);
        restart();
        if (++verifyFailures == 1) {
            state = READY;
            emit retryFromStart(file);
            return;
        }
        state = ERROR;
        emit error(file, tr("The file arrived damaged (its SHA-1 is not the chart service's). "
                            "It is downloaded again from the start when you resume."));
        return;
    case Ending::Lost:
        dropReply(false);
        restart();
        state = ERROR;
        emit error(file, tr("The partly downloaded file changed on the card; it will be downloaded again."));
        return;
    case Ending::CardProblem:
        dropReply(false);
        state = ERROR;
        resuming = true;
        emit error(file, endingProblem.message());
        return;
    }
}

void Download::startChunkWrite()
{
    // Bytes past the record's size belong to no file the list describes:
    // the list or the server is wrong, and the user must hear of it.
    if (offset + reply->bytesAvailable() > size) {
        qDebug() << tracePrefix() << "Extra bytes:" << offset + reply->bytesAvailable() << size
                 << operationTag("handleBytesWritten", 386);
        state = ERROR;
        dropReply(true);
        restart();
        emit error(file, tr("The chart service sent more bytes than the file list gives for this file."));
        return;
    }
    state = WRITING;
    const QByteArray chunk = reply->read(qMin(reply->bytesAvailable(), maxChunkSize));
    pendingWrite = QtConcurrent::run(QThreadPool::globalInstance(), &Download::writeBytesAvailable, this, chunk);
}

void Download::pullAvailable()
{
    if (state == DOWNLOADING && reply && reply->bytesAvailable() > 0)
        startChunkWrite();
}

void Download::armWatchdog()
{
    if (!watchdogIdle)
        return;
    watchdogIdle = false;
    QTimer::singleShot(1000, this, &Download::emitNoByteWritten);
}

void Download::dropReply(bool abort)
{
    if (!reply)
        return;
    QNetworkReply *old = reply;
    reply = nullptr;
    // Disconnected first: an aborted or abandoned reply must not drive the
    // state of this transfer any more, least of all after a new reply has
    // taken its place.
    disconnect(old, nullptr, this, nullptr);
    if (abort)
        old->abort();
    old->deleteLater();
}

// A reply that ended cleanly but short (a body without a length, a server
// that closed early on purpose): nothing will ever bring the missing bytes,
// so the transfer stops with an error, and the owner's resume asks for the
// rest with a range.
void Download::failIncomplete()
{
    qDebug() << tracePrefix() << operationTag("networkFinished", 265) << "reply ended at" << offset << "of"
             << size;
    state = ERROR;
    resuming = true;
    dropReply(true);
    emit error(file, tr("The connection ended before the whole file arrived."));
}

void Download::handleReadyRead()
{
    lastActivity = nowSeconds();
    qDebug() << tracePrefix() << "ReadyRead";
    if (!reply) {
        qDebug() << tracePrefix() << "canceled ready read" << operationTag("handleReadyRead", 155);
        emitCancelled(PAUSED);
        return;
    }
    if (state == DOWNLOADING) {
        qDebug() << tracePrefix() << operationTag("handleReadyRead", 161) << "already downloading";
        return;
    }

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400) {
        // An error page is not part of the file; the reply's error ends the
        // transfer when it finishes.
        reply->readAll();
        return;
    }

    // Where in the file the body begins: a partial reply says so in its
    // Content-Range; anything else is the whole file.
    const bool partial = status == 206;
    const QByteArray contentRange = reply->rawHeader("Content-Range");
    qint64 bodyStart = 0;
    if (partial) {
        bodyStart = contentRangeStart(contentRange);
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (contentRange.isEmpty() && length.isValid() && length.toLongLong() == size - offset)
            bodyStart = offset; // exactly the length asked for: the range we asked for
    }

    if (rewrite && offset != 0)
        restart(); // old bytes on the card are not to be kept, whatever was asked

    if (resuming) {
        if (contentRange.isEmpty()) {
            if (bodyStart != offset) {
                qDebug() << tracePrefix() << "no Content-Range, start from scratch...";
                if (bodyStart == 0)
                    restart();
            }
        } else {
            qDebug() << tracePrefix() << "Content-Range:" << QString::fromLatin1(contentRange);
        }
    }
    if (bodyStart == 0 && offset != 0)
        restart();

    const QByteArray etagHeader = reply->rawHeader("ETag");
    if (!etagHeader.isEmpty()) {
        const QString received = QString::fromLatin1(etagHeader).simplified().remove(QLatin1Char('"'));
        if (!received.contains(etag)) {
            qDebug() << tracePrefix() << "Etag mismatch: " << received << etag;
            if (bodyStart == 0)
                restart();
            else
                bodyStart = -1; // a piece of a different file
        }
    }

    if (bodyStart != offset) {
        // Bytes from an unknown place, or from a changed file: writing them
        // would corrupt the card. The next request fetches from byte 0.
        if (offset != 0)
            restart();
        rewrite = true;
        resuming = false;
        state = ERROR;
        dropReply(true);
        emit error(file, tr("The server did not send the requested part of the file."));
        return;
    }

    if (reply->bytesAvailable() > 0 && state != DOWNLOADING && state != WRITING && state != PAUSING) {
        emit started(file);
        state = DOWNLOADING;
        if (!reply)
            return;
        disconnect(reply, &QNetworkReply::readyRead, this, &Download::handleReadyRead);
        // The network layer throttles its progress signal, so progress alone
        // can leave bytes lying in a full read buffer with nothing to fetch
        // them; readyRead comes with every arrival.
        connect(reply, &QNetworkReply::readyRead, this, &Download::pullAvailable);
        pullAvailable();
    }
}

void Download::handleBytesWritten(qint64 written)
{
    if (written == 0)
        return;
    lastActivity = nowSeconds();
    offset += written;
    if (written < 0)
        return;

    if (offset < size) {
        if (!reply) {
            if (state != ERROR) {
                qDebug() << tracePrefix() << operationTag("handleBytesWritten", 398) << "cancel by user";
                emitCancelled(PAUSED);
            }
            return;
        }
        if (reply->error() != QNetworkReply::NoError) {
            const QNetworkReply::NetworkError code = reply->error();
            state = ERROR;
            resuming = true;
            dropReply(true);
            if (code == QNetworkReply::OperationCanceledError)
                emit cancelled(file);
            else
                handleNetworkError(code);
            return;
        }
        if (reply->bytesAvailable() <= 0) {
            if (reply->isFinished()) {
                failIncomplete();
                return;
            }
            state = DOWNLOADING;
            armWatchdog();
            return;
        }
        startChunkWrite();
        return;
    }

    if (offset == size) {
        settleEnding();
        return;
    }

    qDebug() << tracePrefix() << "Extra bytes:" << offset << size << operationTag("handleBytesWritten", 386);
    state = ERROR;
    dropReply(false);
    restart();
    emit error(file, tr("The chart service sent more bytes than the file list gives for this file."));
}

void Download::emitNoByteWritten()
{
    watchdogIdle = true;
    // The clock runs only while a reply is expected to bring bytes; a write
    // in flight re-arms it when it completes.
    if (!reply || state == WRITING || state == DONE || state == PAUSING)
        return;
    if (nowSeconds() - lastActivity >= watchdogSeconds) {
        handleTimeout();
        return;
    }
    emit bytesWrittenInternal(0);
    armWatchdog();
}

void Download::handleIoError(QString msg)
{
    qDebug() << tracePrefix() << operationTag("handleIoError", 355) << msg;
    state = ERROR;
    resuming = true;
    dropReply(true);
    if (fileLost.exchange(false))
        restart();
    emit error(file, msg);
}

void Download::handleTimeout()
{
    state = ERROR;
    resuming = true;
    dropReply(true);
    emit error(file, QStringLiteral("Network Timeout"));
}

void Download::networkFinished()
{
    switch (state) {
    case WRITING:
        return;
    case PAUSING:
        qDebug() << tracePrefix() << "Already pausing" << operationTag("networkFinished", 245);
        return;
    case ERROR:
        qDebug() << tracePrefix() << "Already errored out" << operationTag("networkFinished", 250);
        return;
    case DONE:
        qDebug() << tracePrefix() << "Already done" << operationTag("networkFinished", 255);
        return;
    case READY:
    case DOWNLOADING:
    case PAUSED:
        break;
    }
    if (!reply) {
        qDebug() << tracePrefix() << int(state);
        return;
    }
    if (offset >= size)
        return;

    const QNetworkReply::NetworkError code = reply->error();
    if (code == QNetworkReply::NoError) {
        if (state == DOWNLOADING && reply->bytesAvailable() > 0)
            startChunkWrite(); // the last bytes; the write's completion judges the end
        else
            failIncomplete();
        return;
    }

    state = ERROR;
    const QString message = reply->errorString();
    qDebug() << tracePrefix() << errorName(code) << message << operationTag("networkFinished", 272);
    qDebug() << tracePrefix() << reply->url();
    resuming = true;
    dropReply(true);
    if (code == QNetworkReply::OperationCanceledError)
        emit cancelled(file);
    else
        emit error(file, message);
}

void Download::handleDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    lastActivity = nowSeconds();
    if (!reply) {
        qDebug() << tracePrefix() << operationTag("handleDownloadProgress", 288) << "cancel by user";
        emitCancelled(PAUSED);
        return;
    }
    if (state != DOWNLOADING)
        return;
    if (reply->bytesAvailable() <= 0) {
        qDebug() << tracePrefix() << operationTag("handleDownloadProgress", 324) << "no bytes?";
        return;
    }
    if (bytesTotal > 0) {
        const int percent = int(double(bytesReceived) * 100.0 / double(bytesTotal));
        if (percent != lastPercent) {
            qInfo() << tracePrefix() << percent << "%" << "done";
            lastPercent = percent;
        }
    }
    startChunkWrite();
}

void Download::handleNetworkError(QNetworkReply::NetworkError code)
{
    qInfo() << tracePrefix() << errorName(code);
    if (state == DOWNLOADING || state == PAUSING) {
        state = code == QNetworkReply::OperationCanceledError ? PAUSED : ERROR;
        resuming = true;
        dropReply(true);
    }
    if (state == ERROR && code != QNetworkReply::OperationCanceledError)
        emit error(file, QStringLiteral("Network Error"));
}
