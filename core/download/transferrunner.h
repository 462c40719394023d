#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

#include "card/contentdigest.h"
#include "download/joberror.h"
#include "download/transferorder.h"

class CardWriter;
class QThread;
class TransferWorker;

// The downloader's side of the transfers. The transfers, their network
// manager and their writes to the card run on a thread of their own, so
// that neither the network nor the card ever holds up the window; this
// object starts that thread with the first file, passes the downloader's
// commands to it, and relays what it reports in the downloader's terms.
// Progress and the files' starts and ends come coalesced (at most every
// TransferWorker::progressInterval ms, at once when nothing runs any more or
// a transfer stops or fails), in the order they happened, and each file's
// report after exactly the bytes counted before it.
//
// busy() and running() are answered from the last report, without reaching
// into the other thread. A round start that the thread has not taken in yet
// counts as running: transfers are about to begin.
class TransferRunner : public QObject
{
    Q_OBJECT

public:
    // One network manager opens at most six connections to a host.
    static constexpr int maxConnections = 6;

    explicit TransferRunner(QObject *parent = nullptr);
    // Stops every transfer and waits until the thread has ended: nothing
    // touches the card once the downloader is gone.
    ~TransferRunner() override;
    Q_DISABLE_COPY_MOVE(TransferRunner)

    // How many files may run at once, from the user's ceiling and the kind
    // of link: big files run at most two at a time over plain HTTP (the disk
    // sets their pace) and four over TLS (where decryption on more
    // connections keeps both cores busy); small files use the whole ceiling.
    static int bigFileLimit(int ceiling, bool encrypted);

    // records: the file list that orders name by index (shared with the
    // thread, never changed).
    void configure(std::shared_ptr<const CardWriter> writer, const QString &cardRoot, const QList<FileRecord> &records,
                   const QString &endPoint, const QString &cdnEndPoint, int ceiling);
    void enqueue(const QList<TransferOrder> &orders);
    void startRound();
    void pauseAll();

    bool busy() const;
    bool running() const;
    int peakInFlight() const;

signals:
    void bytesDone(qint64 bytes);
    void started(QString file);
    // written: the digest of the file's bytes as they went to the card.
    void finished(QString file, ContentDigest::Value written);
    void cancelled(QString file);
    void failed(QString file, JobError error);
    // A round start was taken in and nothing runs after it.
    void idle();

private:
    void note(const TransferActivity &activity);

    QThread *thread = nullptr;
    TransferWorker *worker = nullptr;
    TransferActivity last;
    quint64 startsSent = 0;
};
