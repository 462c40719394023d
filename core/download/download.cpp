#include "download/download.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include "base/logclock.h"
#include "base/utilities.h"
#include "card/cardwriter.h"
#include "download/backgroundpriority.h"
#include "download/transferworker.h"

namespace {

QString operationTag(const char *operation, int line)
{
    return QStringLiteral("<%1>[%2]").arg(QLatin1String(operation)).arg(line);
}

const char *errorName(QNetworkReply::NetworkError code)
{
    const char *name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code);
    return name ? name : "UnknownNetworkError";
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

// One piece at a time per thread: the pieces of every transfer on a thread
// pass through the same buffer, so memory does not grow with their number.
char *pieceBuffer()
{
    thread_local QByteArray buffer(int(Download::maxChunkSize), Qt::Uninitialized);
    return buffer.data();
}

} // namespace

int Download::watchdogSeconds = Utilities::watchdogSecondsFromEnvironment();

void Download::setWatchdogLimit(int seconds)
{
    watchdogSeconds = seconds > 0 ? seconds : Utilities::defaultWatchdogSeconds;
}

int Download::watchdogLimit()
{
    return watchdogSeconds;
}

QThreadPool *Download::finishingPool()
{
    // As many threads as ends may wait at once (TransferWorker::
    // maxFinishing): most of an end is waiting for the shared flush of the
    // card, and every end that waits joins the same flush.
    static QThreadPool *pool = [] {
        auto *created = new QThreadPool;
        created->setMaxThreadCount(TransferWorker::maxFinishing);
        return created;
    }();
    return pool;
}

Download::Download(const FileRecord &record, const QString &cardRoot, const QString &origin,
    const QString &cdn, QObject *parent)
    : QObject(parent)
    , file(record.file)
    , dir(cardRoot)
    , size(record.size)
    , data(record.data)
    , endPoint(origin)
    , cdnEndPoint(cdn)
    , etag(record.etag)
    , sha1(record.sha1)
    , target(record.file)
    , chunks(std::make_unique<ChunkWriter>())
{
    // Emitted on the pool; the automatic connection queues it onto this
    // object's thread, where all state changes happen.
    connect(this, &Download::finishedOnCard, this, &Download::settleEnding);
}

void Download::setCardWriter(std::shared_ptr<const CardWriter> cardWriter)
{
    chunks->setCardWriter(std::move(cardWriter));
}

Download::~Download()
{
    // The end in flight must not reach this half-destroyed object.
    disconnect(this, &Download::finishedOnCard, this, &Download::settleEnding);
    pendingFinish.waitForFinished();
    if (reply)
        reply->deleteLater();
}

QString Download::tracePrefix() const
{
    return LogClock::prefix(file);
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
    connect(reply, &QNetworkReply::metaDataChanged, this, &Download::handleMetaData);
    // The window starts with the request: a reply that never begins is a
    // stall like one that stops.
    if (!watchdogClock.isValid())
        watchdogClock.start();
    receivedBytes = 0;
    receivedSamples = {{watchdogClock.elapsed(), 0}};
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
    if (state == WRITING || state == DONE) {
        // Every byte is in: the end on the pool settles the file, finished
        // or failed, and the connection stays good for the next file.
        dropReply(false);
        return true;
    }
    if (state == DOWNLOADING)
        state = PAUSING;
    dropReply(true);
    // Pieces are written as they arrive, so nothing is in flight once the
    // reply is gone: the transfer has stopped.
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

// One piece to the card, on this object's thread; false when the transfer
// stopped on it (the error is reported).
bool Download::writeBytesAvailable(const char *bytes, qint64 length)
{
    const bool truncate = rewrite;
    if (truncate)
        qDebug() << tracePrefix() << operationTag("writeBytesAvailable", 198) << "ReWritting";
    const ChunkWriter::Result result = chunks->append(cardFile(), offset, bytes, length, truncate);
    if (result.lost) {
        // Someone else removed or cut the file: the counted bytes are gone,
        // and the transfer must begin again from byte 0.
        state = ERROR;
        dropReply(true);
        restart();
        emit error(file, changedOnCard());
        return false;
    }
    if (!result.written) {
        qInfo() << tracePrefix() << "IO error:" << result.card.detail();
        handleIoError(result.card);
        return false;
    }
    // Cleared only once the old content is really gone, so that a failed
    // open cannot turn the next attempt into an append to stale bytes.
    if (truncate)
        rewrite = false;
    return true;
}

ChunkWriter::File Download::cardFile() const
{
    return {target, size, sha1, data};
}

void Download::finishOnCard()
{
    startFinish();
}

void Download::startFinish()
{
    state = WRITING;
    pendingFinish = QtConcurrent::run(finishingPool(), [this, card = cardFile()] {
        // An end hashes a large file whole: below the window, like the
        // transfers (the pool runs nothing else).
        BackgroundPriority::lowerCallingThread();
        const ChunkWriter::Result result = chunks->finish(card);
        ending = result.ending;
        endingProblem = result.card;
        endingDigest = result.digest;
        emit finishedOnCard();
    });
    // Last: whoever hears it may start other transfers, or end this one.
    emit bodyReceived(file);
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
        emit downloadFinished(file, endingDigest);
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
        // Left at its full length under its name, the damaged file would
        // pass for complete (and the vmid lists it) until the next run
        // looks at its digest.
        if (const CardWriter *card = chunks->cardWriter()) {
            const CardResult removed = card->remove(target);
            if (!removed.ok())
                qWarning() << tracePrefix() << "damaged file not removed:" << removed.detail();
        }
        emit error(file, JobError{JobError::ServiceReply, file,
                                  tr("The file arrived damaged (its SHA-1 is not the chart service's). "
                                     "It is downloaded again from the start when you resume.")});
        return;
    case Ending::Lost:
        dropReply(false);
        restart();
        state = ERROR;
        emit error(file, changedOnCard());
        return;
    case Ending::CardProblem:
        dropReply(false);
        state = ERROR;
        resuming = true;
        emit error(file, JobError::fromCard(endingProblem, file));
        return;
    }
}

void Download::failExtraBytes()
{
    // Bytes past the record's size belong to no file the list describes:
    // the list or the server is wrong, and the user must hear of it.
    qDebug() << tracePrefix() << "Extra bytes:" << offset + (reply ? reply->bytesAvailable() : 0) << size
             << operationTag("handleBytesWritten", 386);
    state = ERROR;
    dropReply(true);
    restart();
    emit error(file, JobError{JobError::ServiceReply, file,
                              tr("The chart service sent, or announced, more bytes than the file list gives for "
                                 "this file.")});
}

void Download::pullAvailable()
{
    while (state == DOWNLOADING && reply) {
        const qint64 available = reply->bytesAvailable();
        if (available <= 0)
            return;
        if (offset + available > size) {
            failExtraBytes();
            return;
        }
        char *piece = pieceBuffer();
        const qint64 got = reply->read(piece, qMin(available, maxChunkSize));
        if (got <= 0)
            return;
        if (!writeBytesAvailable(piece, got))
            return;
        // Whoever hears of the bytes, or of the body's end, may delete this
        // transfer on the spot.
        const QPointer<Download> alive(this);
        handleBytesWritten(got);
        if (!alive)
            return;
    }
}

void Download::handleMetaData()
{
    // A body in a coding (gzip, br...) is let go before the network layer
    // decodes a byte of it: its decoders bring the process down on some
    // bodies that are not what they claim (Brotli), and a chart file is
    // not for coding anyway. A request with a range asks for the bytes as
    // they are; a server that codes them even then is at fault.
    if (!reply || state != READY)
        return;
    const QByteArray coding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (coding.isEmpty() || coding == "identity")
        return;
    qInfo() << tracePrefix() << "coded body:" << coding;
    const bool askedPlain = resuming;
    resuming = true;
    dropReply(true);
    if (!askedPlain && ++codedReplies == 1) {
        emit retryFromStart(file);
        return;
    }
    state = ERROR;
    emit error(file, JobError{JobError::ServiceReply, file,
                              tr("The server sent the file in a coding that could not be undone (Content-Encoding: %1).")
                                  .arg(QString::fromLatin1(coding.left(64)))});
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
    // The file stays open only while a reply feeds it; while the end runs
    // the pool has it.
    if (state != WRITING)
        chunks->release();
    if (!reply)
        return;
    QNetworkReply *old = reply;
    reply = nullptr;
    // Disconnected first: an aborted or abandoned reply must not drive the
    // state of this transfer any more, least of all after a new reply has
    // taken its place.
    disconnect(old, nullptr, this, nullptr);
    if (abort) {
        old->abort();
        old->deleteLater();
    } else if (old->isFinished()) {
        old->deleteLater();
    } else {
        // Every byte is in, but the reply has not said it is done: deleted
        // now, it would close a connection the next file can use.
        connect(old, &QNetworkReply::finished, old, &QObject::deleteLater);
    }
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
    emit error(file, JobError{JobError::Network, file, tr("The connection ended before the whole file arrived.")});
}

void Download::handleReadyRead()
{
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
    bool otherVersion = false;
    if (!etagHeader.isEmpty()) {
        const QString received = QString::fromLatin1(etagHeader).simplified().remove(QLatin1Char('"'));
        if (!received.contains(etag)) {
            qDebug() << tracePrefix() << "Etag mismatch: " << received << etag;
            if (bodyStart == 0) {
                restart();
            } else {
                bodyStart = -1; // a piece of a different file
                otherVersion = true;
            }
        }
    }

    if (bodyStart != offset) {
        // Bytes from an unknown place, or from a changed file: writing them
        // would corrupt the card. The next request fetches from byte 0.
        if (offset != 0)
            restart();
        rewrite = true;
        resuming = false;
        dropReply(true);
        // The rest of another version cannot complete the part already on
        // the card, but the whole file can come at once: the SHA-1 decides
        // whether it is the one listed. Left to the next run, the same part
        // would be asked for again and refused again.
        if (otherVersion && ++otherVersions == 1) {
            state = READY;
            emit retryFromStart(file);
            return;
        }
        state = ERROR;
        emit error(file, JobError{JobError::ServiceReply, file,
                                  tr("The server did not send the requested part of the file.")});
        return;
    }

    // A body announced longer than the rest of the file is caught before a
    // byte of it lands: the surplus may come in a later read, after the
    // file's own bytes already count as complete.
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    lengthAnnounced = announced.isValid();
    if (announced.isValid() && announced.toLongLong() > size - bodyStart) {
        failExtraBytes();
        return;
    }

    if (reply->bytesAvailable() > 0 && state != DOWNLOADING && state != WRITING && state != PAUSING) {
        emit started(file);
        state = DOWNLOADING;
        if (!reply)
            return;
        disconnect(reply, &QNetworkReply::readyRead, this, &Download::handleReadyRead);
        // From here on every arrival goes to the card as it comes; the
        // reply's buffer never fills while the card keeps up.
        connect(reply, &QNetworkReply::readyRead, this, &Download::pullAvailable);
        pullAvailable();
    }
}

void Download::handleBytesWritten(qint64 written)
{
    if (written <= 0)
        return;
    offset += written;
    const QPointer<Download> alive(this);
    emit bytesWritten(written);
    if (alive && bodyComplete())
        startFinish();
}

bool Download::bodyComplete() const
{
    return offset == size && (lengthAnnounced || !reply || reply->isFinished());
}

void Download::emitNoByteWritten()
{
    watchdogIdle = true;
    // The clock runs only while a reply is expected to bring bytes.
    if (!reply || state == WRITING || state == DONE || state == PAUSING)
        return;
    const qint64 now = watchdogClock.elapsed();
    const qint64 window = qint64(watchdogSeconds) * 1000;
    receivedSamples.append({now, receivedBytes});
    while (receivedSamples.size() > 1 && receivedSamples.at(1).first <= now - window)
        receivedSamples.removeFirst();
    const QPair<qint64, qint64> &windowStart = receivedSamples.constFirst();
    if (now - windowStart.first >= window && receivedBytes - windowStart.second < stallBytes) {
        qInfo() << tracePrefix() << receivedBytes - windowStart.second << "bytes in" << watchdogSeconds
                << "seconds: stalled";
        handleTimeout();
        return;
    }
    armWatchdog();
}

void Download::handleIoError(const CardResult &problem)
{
    qDebug() << tracePrefix() << "card write failed:" << problem.detail();
    state = ERROR;
    resuming = true;
    dropReply(true);
    emit error(file, JobError::fromCard(problem, file));
}

JobError Download::changedOnCard() const
{
    // A file gone with the whole card did not change: the card is out, and
    // the job waits for it instead of reporting the file.
    if (const CardWriter *card = chunks->cardWriter()) {
        const CardResult present = card->verifyCard();
        if (present.problem() == CardResult::CardGone || present.problem() == CardResult::AnotherCard)
            return JobError::fromCard(present, file);
    }
    return JobError{JobError::ChangedOnCard, file,
                    tr("The partly downloaded file changed on the card; it will be downloaded again.")};
}

void Download::failFromReply(QNetworkReply::NetworkError code)
{
    state = ERROR;
    resuming = true;
    const QString message = failureText(reply);
    qDebug() << tracePrefix() << errorName(code) << message << operationTag("networkFinished", 272);
    qDebug() << tracePrefix() << reply->url();
    dropReply(true);
    if (code == QNetworkReply::OperationCanceledError)
        emit cancelled(file);
    else
        emit error(file, networkFailure(code, message));
}

QString Download::failureText(QNetworkReply *failed)
{
    // Qt's text for a coded body it could not undo ends in an empty reason.
    const QByteArray coding = failed->rawHeader("Content-Encoding");
    if (failed->error() == QNetworkReply::UnknownContentError && !coding.isEmpty())
        return tr("The server sent the file in a coding that could not be undone (Content-Encoding: %1).")
            .arg(QString::fromLatin1(coding.left(64)));
    switch (failed->error()) {
    case QNetworkReply::TooManyRedirectsError:
        return tr("The server sent the request for this file from one address to another too many times.");
    case QNetworkReply::ProtocolUnknownError:
    case QNetworkReply::InsecureRedirectError: {
        const QByteArray target = failed->rawHeader("Location").trimmed().left(200);
        return tr("The server sent the request for this file to %1, which is no address the tool fetches from.")
            .arg(target.isEmpty() ? tr("an address it did not give") : QString::fromLatin1(target));
    }
    default:
        return failed->errorString();
    }
}

JobError Download::networkFailure(QNetworkReply::NetworkError code, const QString &message) const
{
    // Below 200 the request got no answer (connection, TLS, proxy); from
    // there on the end point answered, and said no. Redirects that lead
    // nowhere are answers too, and no wait for the network mends them.
    const bool answered = int(code) >= 200 || code == QNetworkReply::TooManyRedirectsError
                          || code == QNetworkReply::InsecureRedirectError;
    const JobError::Kind kind = answered ? JobError::ServiceReply : JobError::Network;
    return JobError{kind, file, message};
}

void Download::handleTimeout()
{
    state = ERROR;
    resuming = true;
    dropReply(true);
    emit error(file, JobError{JobError::Network, file, QStringLiteral("Network Timeout")});
}

void Download::networkFinished()
{
    switch (state) {
    case WRITING:
    case DONE:
        // Every byte was in before the reply said it was done.
        dropReply(false);
        return;
    case PAUSING:
        qDebug() << tracePrefix() << "Already pausing" << operationTag("networkFinished", 245);
        return;
    case ERROR:
        qDebug() << tracePrefix() << "Already errored out" << operationTag("networkFinished", 250);
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
    // The last bytes may have come with the end of the reply.
    pullAvailable();
    // A reply of no announced length whose bytes were all in before its end.
    if (reply && state == DOWNLOADING && bodyComplete()) {
        startFinish();
        return;
    }
    if (!reply || state == WRITING || state == ERROR || offset >= size)
        return;

    const QNetworkReply::NetworkError code = reply->error();
    if (code == QNetworkReply::NoError) {
        failIncomplete();
        return;
    }

    failFromReply(code);
}

void Download::handleDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    receivedBytes = qMax(receivedBytes, bytesReceived);
    if (state != DOWNLOADING || bytesTotal <= 0)
        return;
    const int percent = int(double(bytesReceived) * 100.0 / double(bytesTotal));
    if (percent != lastPercent) {
        qInfo() << tracePrefix() << percent << "%" << "done";
        lastPercent = percent;
    }
}

void Download::handleNetworkError(QNetworkReply::NetworkError code)
{
    qInfo() << tracePrefix() << errorName(code);
    if (state == READY && reply && code != QNetworkReply::OperationCanceledError && offset < size) {
        // Before any byte the reply's own text says best what went wrong.
        // It is taken now and the reply let go at once: Qt does not say
        // that every failed reply finished (a body it cannot decode stays
        // open), and one it goes on feeding after such a failure can bring
        // the process down (a body labelled as Brotli).
        failFromReply(code);
        return;
    }
    if (state == DOWNLOADING || state == PAUSING) {
        state = code == QNetworkReply::OperationCanceledError ? PAUSED : ERROR;
        resuming = true;
        dropReply(true);
    }
    if (state == ERROR && code != QNetworkReply::OperationCanceledError)
        emit error(file, networkFailure(code, QStringLiteral("Network Error")));
}
