#include "download/readbackverifier.h"

#include <QSet>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "download/backgroundpriority.h"
#include "card/cardfolders.h"
#include "card/cardwriter.h"
#include "card/sha1stream.h"

namespace {
// Progress is told in steps of 1/200 of the whole: often enough for a bar,
// rarely enough not to flood the GUI thread with events.
constexpr qint64 progressSteps = 200;
// Two readers keep the card busy while the other one hashes: reading and
// hashing take about as long as each other, and more readers only split the
// card's one stream further.
constexpr int readerCount = 2;
} // namespace

QList<ReadbackVerifier::Item> ReadbackVerifier::productItems(const QList<FileRecord> &records,
                                                            const QSet<QString> &proven)
{
    QList<Item> items;
    // Set aside once: grown item by item, a list of 200,000 would be copied
    // on every growth, the old beside the new.
    items.reserve(records.size());
    for (const FileRecord &record : records) {
        const bool whole = !proven.contains(record.file) || record.size == 0;
        if (!whole && record.data.isEmpty())
            continue;
        items.append({record.file, record.size, record.sha1, record.data, whole});
    }
    return items;
}

// The readers' shared state: what was added, what is taken, what was found.
struct ReadbackVerifier::Stream
{
    std::shared_ptr<const CardWriter> writer;
    std::mutex lock;
    std::condition_variable wake;
    // Files waiting for a reader, with their place in the order they came;
    // a reader takes the first. A stream forgets a file once it is read.
    std::deque<std::pair<qsizetype, Item>> waiting;
    qsizetype added = 0;
    bool closed = false;
    bool writesOver = false;
    // start(): every item, and each one's samples, kept for after finished.
    bool keep = false;
    QList<Item> all;
    std::vector<QList<BlockSampler::Sample>> samples;
    // start(): the card is flushed once before the first file is read.
    bool flushPending = false;
    bool flushing = false;
    CardResult flushed;
    // A problem other than a file the card did not keep (a card pulled
    // out): the readers take no more files.
    bool cardFailed = false;
    qint64 total = 0;
    qint64 done = 0;
    qint64 told = 0;
    // What went wrong, by place: few, however long the list.
    std::map<qsizetype, CardResult> failed;
    int readersLeft = readerCount;
    // Files judged and not yet told, and whether a telling is on its way
    // to the verifier's thread: one telling takes every file judged until
    // it runs, so that thread wakes once for a burst of small files rather
    // than once for each of them.
    struct Judged
    {
        Item item;
        CardResult result;
        QList<BlockSampler::Sample> samples;
        bool afterClose = false;
    };
    std::vector<Judged> judged;
    bool telling = false;
};

ReadbackVerifier::ReadbackVerifier(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<ReadbackVerifier::Item>();
    qRegisterMetaType<CardResult>();
    qRegisterMetaType<QList<BlockSampler::Sample>>();
}

ReadbackVerifier::~ReadbackVerifier()
{
    stop();
    joinReaders();
}

void ReadbackVerifier::joinReaders()
{
    for (std::thread &reader : readers)
        reader.join();
    readers.clear();
}

void ReadbackVerifier::stop()
{
    abandon = true;
    if (stream) {
        const std::lock_guard<std::mutex> held(stream->lock);
        stream->wake.notify_all();
    }
}

void ReadbackVerifier::start(std::shared_ptr<const CardWriter> writer, const QList<Item> &items)
{
    begin(std::move(writer));
    stream->flushPending = true;
    stream->keep = true;
    add(items);
    close();
}

void ReadbackVerifier::begin(std::shared_ptr<const CardWriter> writer)
{
    stop();
    joinReaders();
    abandon = false;
    running = true;
    closed = false;
    found.clear();
    started.clear();
    sampled.clear();
    stream = std::make_shared<Stream>();
    stream->writer = std::move(writer);
    for (int reader = 0; reader < readerCount; ++reader) {
        readers.emplace_back([this, shared = stream] {
            // Threads of the read-back's own, so the lower priority ends with it.
            BackgroundPriority::lowerCallingThread();
            read(shared);
        });
    }
}

void ReadbackVerifier::add(const QList<Item> &items)
{
    if (!stream || closed || items.isEmpty())
        return;
    const std::lock_guard<std::mutex> held(stream->lock);
    for (const Item &item : items) {
        stream->waiting.emplace_back(stream->added++, item);
        stream->total += item.wholeFile ? item.size + item.trailer.size() : item.trailer.size();
    }
    if (stream->keep) {
        stream->all.append(items);
        stream->samples.resize(size_t(stream->added));
    }
    stream->wake.notify_all();
}

void ReadbackVerifier::writesOver()
{
    if (!stream || closed)
        return;
    const std::lock_guard<std::mutex> held(stream->lock);
    stream->writesOver = true;
}

void ReadbackVerifier::close()
{
    if (!stream || closed)
        return;
    closed = true;
    const std::lock_guard<std::mutex> held(stream->lock);
    stream->closed = true;
    stream->writesOver = true;
    stream->wake.notify_all();
}

void ReadbackVerifier::read(const std::shared_ptr<Stream> &owned)
{
    Stream *shared = owned.get();
    // A path thousands of folders deep is walked once by each reader, not
    // once for every file below it; let go of when the reader has waited a
    // while, so that an idle stream holds nothing open on the card.
    CardFolders folders;
    std::unique_lock<std::mutex> held(shared->lock);
    const auto ready = [&] {
        return abandon || shared->cardFailed || (!shared->flushing && !shared->waiting.empty())
               || (shared->closed && shared->waiting.empty());
    };
    for (;;) {
        if (!shared->wake.wait_for(held, std::chrono::seconds(1), ready)) {
            folders.clear();
            shared->wake.wait(held, ready);
        }
        if (abandon || shared->cardFailed || shared->waiting.empty())
            break;
        if (shared->flushPending) {
            // Whatever anybody changed must be on the medium before it can
            // be judged from there.
            shared->flushPending = false;
            shared->flushing = true;
            held.unlock();
            const CardResult flushed = shared->writer->syncCard();
            held.lock();
            shared->flushing = false;
            shared->flushed = flushed;
            shared->cardFailed = !flushed.ok();
            shared->wake.notify_all();
            continue;
        }
        // Files are taken in the order they came, so one file's digest is
        // computed while the next one's bytes come off the card.
        const qsizetype index = shared->waiting.front().first;
        const Item item = std::move(shared->waiting.front().second);
        shared->waiting.pop_front();
        const bool afterClose = shared->writesOver;
        held.unlock();
        qint64 counted = 0;
        QList<BlockSampler::Sample> blocks;
        const CardResult result = verify(*shared->writer, item, &abandon, [&](qint64 bytes) {
            // Told under the lock, so the bar never steps back.
            const std::lock_guard<std::mutex> telling(shared->lock);
            shared->done += bytes - counted;
            counted = bytes;
            if ((shared->done - shared->told) * progressSteps >= shared->total) {
                shared->told = shared->done;
                emit progress(shared->done, shared->total);
            }
        }, &blocks, &folders);
        held.lock();
        if (abandon)
            break;
        if (result.ok() && shared->keep)
            shared->samples[size_t(index)] = blocks;
        if (!result.ok())
            shared->failed.emplace(index, result);
        if (!result.ok() && result.problem() != CardResult::NotKept)
            shared->cardFailed = true;
        shared->wake.notify_all();
        shared->judged.push_back({item, result, result.ok() ? blocks : QList<BlockSampler::Sample>(), afterClose});
        if (!shared->telling) {
            shared->telling = true;
            tellJudged(owned);
        }
    }
    if (--shared->readersLeft == 0) {
        held.unlock();
        end(shared);
    }
}

void ReadbackVerifier::tellJudged(const std::shared_ptr<Stream> &shared)
{
    // Queued before end() queues finished(): every file is told before it.
    QMetaObject::invokeMethod(this, [this, shared] {
        std::vector<Stream::Judged> told;
        {
            const std::lock_guard<std::mutex> held(shared->lock);
            told.swap(shared->judged);
            shared->telling = false;
        }
        for (const Stream::Judged &each : told)
            emit itemRead(each.item, each.result, each.samples, each.afterClose);
    }, Qt::QueuedConnection);
}

void ReadbackVerifier::end(Stream *shared)
{
    // Reported in list order; a card that is gone or unreadable says
    // nothing of the files after it.
    QList<CardResult> failures;
    if (!shared->flushed.ok())
        failures.append(shared->flushed);
    for (const auto &[index, result] : shared->failed) {
        if (!failures.isEmpty() && failures.constLast().problem() != CardResult::NotKept)
            break;
        failures.append(result);
    }
    // A stop abandons the judgement; so does a card that failed while
    // files it never took were waiting.
    if (abandon)
        failures.clear();
    else
        emit progress(shared->total, shared->total);
    QList<QList<BlockSampler::Sample>> kept;
    for (auto &blocks : shared->samples)
        kept.append(std::move(blocks));
    const QList<Item> items = shared->all;
    // Read on the GUI thread once finished arrives there.
    QMetaObject::invokeMethod(this, [this, failures, kept, items, shared] {
        // A stream stopped and begun again: the old one's end is nobody's.
        if (stream.get() != shared)
            return;
        found = failures;
        sampled = kept;
        started = items;
        running = false;
        emit finished();
    }, Qt::QueuedConnection);
}

CardResult ReadbackVerifier::verify(const CardWriter &writer, const Item &item, const std::atomic_bool *abandon,
                                    const std::function<void(qint64)> &progress,
                                    QList<BlockSampler::Sample> *samples, CardFolders *folders)
{
    BlockSampler sampler(item.size + item.trailer.size());
    const qint64 from = item.wholeFile ? 0 : item.size;
    // One of the two digests is computed: the one the item can be judged by.
    const bool byWritten = item.wholeFile && item.written.known;
    Sha1Stream hash;
    ContentDigest content;
    QByteArray tail;
    qint64 position = from;
    const qint64 expected = item.size + item.trailer.size();
    const CardResult result = writer.readBack(item.path, from, [&](const char *bytes, qint64 length) {
        const qint64 hashed = qBound<qint64>(0, item.size - position, length);
        if (byWritten)
            content.update(bytes, hashed);
        else if (item.wholeFile && hashed > 0)
            hash.update(bytes, hashed);
        // More than the trailer is kept only up to one byte past it: enough
        // to tell a longer file, and bounded whatever lies on the card.
        const qint64 room = qMax<qint64>(0, item.trailer.size() + 1 - tail.size());
        tail.append(bytes + hashed, qMin(length - hashed, room));
        if (item.wholeFile)
            sampler.feed(position, bytes, length);
        position += length;
        progress(position - from);
    }, abandon, folders);
    if (!result.ok())
        return result;
    QString why;
    if (position != expected)
        why = QStringLiteral("%1 bytes instead of %2").arg(position).arg(expected);
    else if (byWritten && content.value() != item.written)
        why = QStringLiteral("its bytes differ from those written");
    else if (!byWritten && item.wholeFile && item.size > 0 && !Sha1Stream::sameDigest(hash.hexDigest(), item.sha1))
        why = QStringLiteral("SHA-1 %1 instead of %2").arg(QString::fromLatin1(hash.hexDigest()),
                                                          QString::fromLatin1(item.sha1.toLower()));
    else if (tail != item.trailer)
        why = QStringLiteral("its last %1 bytes differ").arg(item.trailer.size());
    if (why.isEmpty() && samples && item.wholeFile)
        *samples = sampler.samples();
    return why.isEmpty() ? CardResult() : CardResult::failure(CardResult::NotKept, item.path, why);
}
