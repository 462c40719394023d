#pragma once

#include <QByteArray>
#include <QFuture>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

#include "card/blocksampler.h"
#include "service/filelist.h"
#include "card/cardresult.h"

class CardWriter;

// The last step before a product or an RQ update is reported complete: every
// file written in the run is read back from the card itself (CardWriter::
// readBack, past the page cache) and compared with what was written. The
// digest computed while writing proves what the tool handed to the card; only
// this proves what the card kept. Runs on a pool thread with a second reader
// beside it, each file read in bounded pieces.
class ReadbackVerifier : public QObject
{
    Q_OBJECT

public:
    struct Item
    {
        QString path;       // on the card
        qint64 size = 0;    // bytes whose digest is known
        QByteArray sha1;    // their SHA-1, hexadecimal (any case); empty when size is 0
        QByteArray trailer; // what follows them, to the file's end
        // false: the bytes were proven by a check in this run and not
        // written; only the file's length and its trailer are read.
        bool wholeFile = true;
    };

    // What a product's run wrote: every file not proven by a check, and the
    // trailers of those that were.
    static QList<Item> productItems(const QList<FileRecord> &records, const QSet<QString> &proven);

    explicit ReadbackVerifier(QObject *parent = nullptr);
    // Stops the reading at its next piece and waits for it.
    ~ReadbackVerifier() override;
    Q_DISABLE_COPY_MOVE(ReadbackVerifier)

    void start(std::shared_ptr<const CardWriter> writer, const QList<Item> &items);
    bool isRunning() const { return running; }
    // Stops the reading at its next piece; finished() follows, with no
    // failures (nothing was judged).
    void stop() { abandon = true; }
    bool wasStopped() const { return abandon; }

    // After finished: the files the card did not keep (NotKept), or the one
    // problem that stopped the reading (a card pulled out); empty when every
    // file read back as written.
    QList<CardResult> failures() const { return found; }

    // The items of the last start, and for each one read whole and found as
    // written, its sampled blocks (empty for the others).
    const QList<Item> &items() const { return started; }
    const QList<QList<BlockSampler::Sample>> &samples() const { return sampled; }

    // One file, on the calling thread; progress gets the bytes read so far;
    // samples (when given) the sampled blocks of a file read whole.
    static CardResult verify(const CardWriter &writer, const Item &item, const std::atomic_bool *abandon,
                             const std::function<void(qint64)> &progress,
                             QList<BlockSampler::Sample> *samples = nullptr);

signals:
    void progress(qint64 done, qint64 total);
    void finished();

private:
    void run(std::shared_ptr<const CardWriter> writer, const QList<Item> &items);

    QFuture<void> future;
    std::atomic_bool abandon{false};
    bool running = false;
    QList<CardResult> found;
    QList<Item> started;
    QList<QList<BlockSampler::Sample>> sampled;
};
