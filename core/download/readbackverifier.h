#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "card/blocksampler.h"
#include "card/contentdigest.h"
#include "service/filelist.h"
#include "card/cardresult.h"

class CardFolders;
class CardWriter;

// Before a product or an RQ update is reported complete, every file written
// in the run is read back from the card itself (CardWriter::readBack, past
// the page cache) and compared with what was written. The digest computed
// while writing proves what the tool handed to the card; only this proves
// what the card kept. Two readers of its own, below the window's priority,
// each file read in bounded pieces.
//
// Either all at once (start), or as a stream while the transfers still run
// (begin, add as each file is on the medium, close after the last write):
// each file is told once it is judged (itemRead, on this object's thread,
// the files judged meanwhile together), and finished() follows the last one
// after close.
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
        // The caller's own mark, handed back with the judgement.
        quint32 tag = 0;
        // The digest of the size bytes as this run wrote them, when known:
        // what is read back is compared with it instead of with sha1 (which
        // those bytes were proven to have before they were written).
        ContentDigest::Value written = {};
    };

    // What a product's run wrote: every file not proven by a check, and the
    // trailers of those that were.
    static QList<Item> productItems(const QList<FileRecord> &records, const QSet<QString> &proven);

    explicit ReadbackVerifier(QObject *parent = nullptr);
    // Stops the reading at its next piece and waits for it.
    ~ReadbackVerifier() override;
    Q_DISABLE_COPY_MOVE(ReadbackVerifier)

    // The whole list, after one flush of the card.
    void start(std::shared_ptr<const CardWriter> writer, const QList<Item> &items);
    // A stream: readers wait for files from add() until close().
    void begin(std::shared_ptr<const CardWriter> writer);
    void add(const QList<Item> &items);
    // The run's writes are over: a read that begins from now on is told as
    // after the last write, though files may still be added.
    void writesOver();
    void close();
    bool isRunning() const { return running; }
    bool isOpen() const { return running && !closed; }
    // close() was called on the last stream (a stream that ends without it
    // was stopped, or its card failed).
    bool isClosed() const { return closed; }
    // Stops the reading at its next piece; finished() follows, with no
    // failures (nothing was judged).
    void stop();
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
                             QList<BlockSampler::Sample> *samples = nullptr, CardFolders *folders = nullptr);

signals:
    void progress(qint64 done, qint64 total);
    // One file judged; afterClose: its reading began after writesOver() or
    // close(), so after every write of the run.
    void itemRead(const ReadbackVerifier::Item &item, const CardResult &result,
                  const QList<BlockSampler::Sample> &samples, bool afterClose);
    void finished();

private:
    struct Stream;
    void read(const std::shared_ptr<Stream> &stream);
    // Has the files judged so far told on this object's thread.
    void tellJudged(const std::shared_ptr<Stream> &stream);
    void end(Stream *stream);
    void joinReaders();

    std::atomic_bool abandon{false};
    bool running = false;
    bool closed = true;
    std::shared_ptr<Stream> stream;
    std::vector<std::thread> readers;
    QList<CardResult> found;
    QList<Item> started;
    QList<QList<BlockSampler::Sample>> sampled;
};

Q_DECLARE_METATYPE(ReadbackVerifier::Item)
