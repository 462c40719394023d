#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFuture>
#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QPair>
#include <QString>

#include <memory>

#include "download/chunkwriter.h"
#include "card/cardresult.h"
#include "download/joberror.h"
#include "service/filelist.h"

class CardWriter;
class QThreadPool;

// One chart file on its way from the service to the card. The owner issues
// each HTTP request and hands the reply over; this object pulls the reply's
// bytes as they arrive and writes them to the card through the card writer
// at once, on its own thread, in pieces of at most maxChunkSize, hashing them
// as they go. Once every byte is there, the file's end (sync, digest,
// trailer) runs on a small pool of its own, so that a slow sync never holds
// up the next file's bytes. A file is DONE only when it is synced, its SHA-1
// is the record's and its inline trailer follows it. The same object is
// re-armed with a new, ranged reply after a pause or a failure.
class Download : public QObject
{
    Q_OBJECT

public:
    enum State : int {
        READY = 0,
        DOWNLOADING = 1,
        WRITING = 2, // every byte is in; the file's end runs on the pool
        PAUSING = 3,
        PAUSED = 4,
        ERROR = 5,
        DONE = 6,
    };
    Q_ENUM(State)

    // Largest piece read from the reply and written to the card at once. The
    // reply buffers at most replyBufferSize, so one arrival is one or two
    // pieces, and the piece stays in the processor's cache between the
    // network layer, the digest and the write.
    static constexpr qint64 maxChunkSize = 256 * 1024;
    // How much the network layer may buffer for one reply before it stops
    // reading the socket; keeps memory flat whatever the file size. Measured:
    // 512 KiB to 1 MiB moves a 1 GiB product fastest; from 2 MiB on the
    // transfer gets several times slower.
    static constexpr qint64 replyBufferSize = 512 * 1024;

    // record: the file as the list gives it; dir: the card's root; the
    // end points its bytes come from.
    Download(const FileRecord &record, const QString &dir, const QString &endPoint,
        const QString &cdnEndPoint, QObject *parent = nullptr);
    ~Download() override;
    Q_DISABLE_COPY_MOVE(Download)

    // A transfer that brings fewer than stallBytes in this many seconds has
    // stalled and gives up (its owner asks for the rest again): a trickle of
    // a byte now and then is as good as nothing, and would hold a transfer
    // slot for ever. 60 unless the environment variable
    // QUORVEL_WATCHDOG_SECONDS or a call here says otherwise (tests and the
    // benchmark shorten it).
    static constexpr qint64 stallBytes = 1024;
    static void setWatchdogLimit(int seconds);
    static int watchdogLimit();
    // Where files are ended: two threads, because the ends are syncs that
    // wait on the medium, and more of them at once only queue in the device.
    static QThreadPool *finishingPool();

    // Every write goes through writer; without one nothing is written.
    void setCardWriter(std::shared_ptr<const CardWriter> cardWriter);
    // Folders the owner's thread keeps open between files (ChunkWriter).
    void setCardFolders(CardFolders *folders) { chunks->setFolders(folders); }

    QString downloadPath() const;
    QString localFilePath() const;
    void connectResponse();
    void disconnectResponse();
    qint64 resume(qint64 offset);
    bool pause();
    void reset();
    void restart();
    void clearResponse();
    void emitCancelled(Download::State state);
    QString getStateStr() const;
    // For a transfer whose bytes are all on the card but whose end (sync,
    // digest, trailer) failed: runs that end again without the network.
    void finishOnCard();

    State state = READY;
    QString file;
    QString dir;
    qint64 size = 0;
    QByteArray data;
    qint64 offset = 0;
    QString endPoint;
    QString cdnEndPoint;
    QString etag;
    QByteArray sha1;
    bool resuming = false;
    int lastPercent = 0;
    bool watchdogIdle = true;
    bool rewrite = false;
    bool connected = false;
    // Without a Content-Length only the reply's end shows a surplus byte, so
    // the file is not settled before it.
    bool lengthAnnounced = false;
    QNetworkReply *reply = nullptr;
    // Where the bytes go on the card, relative to its root: the record's
    // file, or a temporary name while an RQ segment is under way.
    QString target;
    // Transfers of this file that ended with the wrong SHA-1 in this run.
    int verifyFailures = 0;
    // Ranged replies that turned out to be of another version of the file
    // (their ETag) in this run.
    int otherVersions = 0;
    // Replies in a coding met in this run: the first is asked for again
    // with a range, which asks for no coding.
    int codedReplies = 0;

signals:
    void bytesWritten(qint64 written);
    // Every byte is on the card and the reply is done with; the file's end
    // runs from now on, and the owner may give the connection to another.
    void bodyReceived(QString filePath);
    // written: the digest of the file's bytes as they went to the card.
    void downloadFinished(QString filePath, ContentDigest::Value written);
    void error(QString filePath, JobError error);
    void cancelled(QString filePath);
    void started(QString filePath);
    // The file is set to be fetched again from byte 0 at once, and the owner
    // issues that request: it arrived with the wrong SHA-1, or the rest of
    // a part already on the card came from another version of it (its
    // ETag), each the first time in this run.
    void retryFromStart(QString filePath);
    void finishedOnCard();

public slots:
    void handleReadyRead();
    void handleBytesWritten(qint64 written);
    void emitNoByteWritten();
    void handleIoError(const CardResult &problem);
    void handleTimeout();
    void networkFinished();
    void handleDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void handleNetworkError(QNetworkReply::NetworkError code);

private:
    using Ending = ChunkWriter::Ending;

    bool writeBytesAvailable(const char *bytes, qint64 length);
    ChunkWriter::File cardFile() const;
    void startFinish();
    // Every byte of the file is on the card, and nothing more can follow:
    // the length was announced, or the reply has ended.
    bool bodyComplete() const;
    void settleEnding();
    void pullAvailable();
    void armWatchdog();
    void dropReply(bool abort);
    void failIncomplete();
    void failExtraBytes();
    QString tracePrefix() const;
    JobError changedOnCard() const;
    JobError networkFailure(QNetworkReply::NetworkError code, const QString &message) const;
    // What the user reads of a reply that failed.
    void handleMetaData();
    // The reply failed with code: its words are taken, the reply let go,
    // and the transfer ends in an error (or cancelled).
    void failFromReply(QNetworkReply::NetworkError code);
    static QString failureText(QNetworkReply *failed);

    // The file's end in flight on the pool, kept so that destruction waits
    // for it instead of leaving a pool thread with a dangling object.
    QFuture<void> pendingFinish;
    // Used by this object's thread for the pieces and by the pool for the
    // end, never both at once: the pieces stop before the end begins.
    std::unique_ptr<ChunkWriter> chunks;
    // What the reply has brought, and once a second what it had brought by
    // then, for as far back as the watchdog looks (the oldest sample lies
    // a whole window back once the reply is that old).
    qint64 receivedBytes = 0;
    QList<QPair<qint64, qint64>> receivedSamples;
    QElapsedTimer watchdogClock;

    // How the end went; written on the pool before the queued signal that
    // makes this object's thread read it.
    Ending ending = Ending::None;
    CardResult endingProblem;
    ContentDigest::Value endingDigest;

    static int watchdogSeconds;
};
