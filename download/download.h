#pragma once

#include <QByteArray>
#include <QFuture>
#include <QJsonObject>
#include <QNetworkReply>
#include <QObject>
#include <QString>

#include <atomic>

// One chart file on its way from the service to the card. The owner issues
// each HTTP request and hands the reply over; this object pulls the reply's
// bytes in bounded chunks, appends them to the local file on the global thread
// pool, and reports progress and the outcome by signals. The same object is
// re-armed with a new, ranged reply after a pause or a failure.
class Download : public QObject
{
    Q_OBJECT

public:
    enum State : int {
        READY = 0,
        DOWNLOADING = 1,
        WRITING = 2,
        PAUSING = 3,
        PAUSED = 4,
        ERROR = 5,
        DONE = 6,
    };
    Q_ENUM(State)

    // Upper bound of one pull from the reply and one write to the card.
    static constexpr qint64 maxChunkSize = 20480000;
    // How much the network layer may buffer for one reply before it stops
    // reading the socket; keeps memory flat whatever the file size.
    static constexpr qint64 replyBufferSize = 4 * 1024 * 1024;

    Download(QJsonObject record, QObject *parent = nullptr);
    ~Download() override;
    Q_DISABLE_COPY_MOVE(Download)

    // Seconds without a byte before a transfer gives up. 601 unless the
    // environment variable QUORVEL_WATCHDOG_SECONDS or a call here says
    // otherwise (tests and the benchmark shorten it).
    static void setWatchdogLimit(int seconds);
    static int watchdogLimit();

    QString downloadPath() const;
    QString localFilePath() const;
    void connectResponse();
    void disconnectResponse();
    qint64 resume(int offset);
    bool pause();
    void reset();
    void restart();
    void clearResponse();
    void emitCancelled(Download::State state);
    QString getStateStr() const;
    void writeBytesAvailable(QByteArray bytes);

    State state = READY;
    QString file;
    QString dir;
    qint64 size = 0;
    int mtime = 0;
    QByteArray data;
    QJsonObject record;
    qint64 offset = 0;
    QString endPoint;
    QString cdnEndPoint;
    QString etag;
    QByteArray sha1;
    bool resuming = false;
    int lastPercent = 0;
    qint64 lastActivity = 0;
    bool watchdogIdle = true;
    bool rewrite = false;
    bool connected = false;
    QNetworkReply *reply = nullptr;

signals:
    void bytesWrittenInternal(qint64 written);
    void bytesWritten(qint64 written);
    void downloadFinished(QString filePath);
    void error(QString filePath, QString msg = QString());
    void ioError(QString msg = QString());
    void cancelled(QString filePath);
    void started(QString filePath);

public slots:
    void handleReadyRead();
    void handleBytesWritten(qint64 written);
    void emitNoByteWritten();
    void handleIoError(QString msg = QString());
    void handleTimeout();
    void networkFinished();
    void handleDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void handleNetworkError(QNetworkReply::NetworkError code);

private:
    void startChunkWrite();
    void pullAvailable();
    void armWatchdog();
    void dropReply(bool abort);
    void failIncomplete();
    QString tracePrefix() const;

    // The chunk write in flight, kept so that destruction waits for it
    // instead of leaving a pool thread with a dangling object.
    QFuture<void> pendingWrite;
    // Set by a chunk write that found the local file shorter than the
    // bytes counted as on disk: someone else removed or cut the file, so
    // the transfer must begin again from byte 0.
    std::atomic<bool> fileLost{false};

    static int watchdogSeconds;
};
