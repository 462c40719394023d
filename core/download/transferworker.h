#pragma once

#include <QBitArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>

#include "card/cardfolders.h"
#include "card/contentdigest.h"
#include "card/groupcommit.h"
#include "download/joberror.h"
#include "download/transferorder.h"
#include "download/transferqueue.h"

class CardWriter;
class Download;
class QNetworkAccessManager;

// The transfer thread's side of one product: its own network manager, the
// queue of files, one Download per admitted file, and the reports the
// downloader gets of them. TransferRunner moves it to the thread it starts;
// from then on every call here runs on that thread.
//
// A file leaves its slot as soon as its body is in: its end (sync, digest,
// trailer) runs on the finishing pool while the next file already uses the
// connection. At most maxFinishing ends wait at once, so a card that syncs
// slower than the network delivers holds the transfers back instead of
// piling up open files. Twice the ends a shared flush gathers
// (GroupCommit::gatherUpTo): with as many, the transfers stopped whenever
// a flush ran (about 150 times, 0.06 s, for 2,000 small files).
class TransferWorker : public QObject
{
    Q_OBJECT

public:
    // Files from this size on are "big" for the queue's limits.
    static constexpr qint64 bigFileSize = 1024 * 1024;
    static constexpr int maxFinishing = 2 * int(GroupCommit::gatherUpTo);
    // Progress and the files' starts and ends go to the downloader at most
    // this often, together: it repaints on every report, and each report
    // alone woke its thread (thousands of times for a product of small
    // files). Whatever leaves nothing running goes at once, and so does
    // whatever stops or fails.
    static constexpr int progressInterval = 50;

    TransferWorker(std::shared_ptr<const CardWriter> writer, const QString &cardRoot);
    ~TransferWorker() override;
    Q_DISABLE_COPY_MOVE(TransferWorker)

    // records: the file list the orders name by index; shared, never changed.
    void configure(const QList<FileRecord> &records, const QString &endPoint, const QString &cdnEndPoint, int total,
                   int big);
    void enqueue(const QList<TransferOrder> &orders);
    // Starts (or restarts) a round: every admitted transfer that is not
    // running, and whatever the free slots admit.
    void startRound(quint64 sequence);
    // Stops every admitted transfer and admits no other until the next round.
    void pauseAll();
    // Ends everything on this thread and hands the object back to target,
    // which deletes it.
    void shutdown(QThread *target);

    // The most transfers that ran at once; read from any thread.
    int peakInFlight() const { return peak.load(); }

signals:
    void bytesDone(qint64 bytes);
    void started(QString file, TransferActivity activity);
    void finished(QString file, TransferActivity activity, ContentDigest::Value written);
    void cancelled(QString file, TransferActivity activity);
    void failed(QString file, JobError error, TransferActivity activity);
    // A round start taken in, with what runs after it.
    void acknowledged(TransferActivity activity);

private:
    // The Download of record index, made from its order on admission.
    Download *downloadFor(int index);
    void connectDownload(Download *download);
    void startDownload(Download *download);
    QNetworkAccessManager *managerFor(const Download &download, const QString &url);
    void admitWaiting();
    bool busy() const;
    TransferActivity activity() const;
    void countBytes(qint64 bytes);
    // A start or an end for the next report, behind the bytes counted
    // before it.
    void queueReport(bool finished, const QString &file, const TransferActivity &activity,
        const ContentDigest::Value &written = {});
    // Every queued report, in order, each after the bytes before it.
    void flushReports();

    void handleStarted(const QString &file);
    void handleBodyReceived(const QString &file);
    void handleFileFinished(const QString &file, const ContentDigest::Value &written);
    void handleCancelled(const QString &file);
    void handleError(const QString &file, const JobError &error);
    void handleRetryFromStart(const QString &file);

    // Drops what only running transfers need once none runs: an idle
    // worker holds nothing open on the card.
    void releaseIfIdle(const TransferActivity &now);

    std::shared_ptr<const CardWriter> writer;
    QString root;
    QString endPoint;
    QString cdnEndPoint;
    QNetworkAccessManager *manager = nullptr;
    // Files below bigFileSize over plain HTTP (ReadAheadProxyFactory).
    QNetworkAccessManager *smallFilesManager = nullptr;
    QList<FileRecord> records;
    TransferQueue queue;
    // The orders of files queued but not yet admitted, where they say more
    // than "from byte 0, to the file's own name": their Download is made on
    // admission.
    QHash<int, TransferOrder> orders;
    // Admitted files, and those that stopped before their end; a finished
    // file's Download goes at once, so that memory follows what runs, not
    // the size of the product. What a later requeue needs of it is one bit.
    QHash<QString, Download *> downloads;
    QHash<QString, int> downloadRecords; // the record of each Download
    QBitArray fetchedWhole;
    QSet<QString> finishing;
    CardFolders folders;
    bool halted = false;
    quint64 startsSeen = 0;
    qint64 pendingBytes = 0;
    struct Report
    {
        qint64 bytesBefore = 0;
        bool finished = false;
        QString file;
        TransferActivity activity;
        ContentDigest::Value written;
    };
    QList<Report> reports;
    QTimer progressTimer;
    std::atomic<int> peak{0};
};
