#include "download/readbackverifier.h"

#include <QSet>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <mutex>
#include <vector>

#include "download/backgroundpriority.h"
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
    for (const FileRecord &record : records) {
        const bool whole = !proven.contains(record.file) || record.size == 0;
        if (!whole && record.data.isEmpty())
            continue;
        items.append({record.file, record.size, record.sha1, record.data, whole});
    }
    return items;
}

ReadbackVerifier::ReadbackVerifier(QObject *parent)
    : QObject(parent)
{
}

ReadbackVerifier::~ReadbackVerifier()
{
    abandon = true;
    future.waitForFinished();
}

void ReadbackVerifier::start(std::shared_ptr<const CardWriter> writer, const QList<Item> &items)
{
    future.waitForFinished();
    abandon = false;
    running = true;
    found.clear();
    started = items;
    sampled = QList<QList<BlockSampler::Sample>>(items.size());
    future = QtConcurrent::run(QThreadPool::globalInstance(),
                               [this, writer = std::move(writer), items] { run(writer, items); });
}

void ReadbackVerifier::run(std::shared_ptr<const CardWriter> writer, const QList<Item> &items)
{
    qint64 total = 0;
    for (const Item &item : items)
        total += item.wholeFile ? item.size + item.trailer.size() : item.trailer.size();
    emit progress(0, total);
    const CardResult synced = writer->syncCard();
    QList<CardResult> failures;
    std::vector<QList<BlockSampler::Sample>> blockSets(size_t(items.size()));
    if (!synced.ok()) {
        failures.append(synced);
    } else {
        // Files are taken in list order by readers of their own, so one
        // file's digest is computed while the next one's bytes come off the
        // card; a reader stops taking files once the card itself failed.
        std::atomic<qsizetype> next{0};
        std::atomic<qint64> done{0};
        std::mutex toldLock;
        qint64 told = 0;
        std::atomic_bool stop{false};
        std::vector<CardResult> results(size_t(items.size()));
        const auto read = [&] {
            for (qsizetype index = next++; index < items.size() && !stop && !abandon; index = next++) {
                qint64 counted = 0;
                QList<BlockSampler::Sample> pending;
                const CardResult result = verify(*writer, items.at(index), &abandon, [&](qint64 read) {
                    const qint64 now = done += read - counted;
                    counted = read;
                    // Told under the lock, so the bar never steps back.
                    const std::lock_guard<std::mutex> telling(toldLock);
                    if ((now - told) * progressSteps >= total) {
                        told = now;
                        emit progress(now, total);
                    }
                }, &pending);
                results[size_t(index)] = result;
                if (result.ok())
                    blockSets[size_t(index)] = pending;
                if (!result.ok() && result.problem() != CardResult::NotKept)
                    stop = true;
            }
        };
        // Threads of the read-back's own, so the lower priority ends with it.
        QThreadPool readers;
        readers.setMaxThreadCount(readerCount);
        for (int reader = 0; reader < readerCount; ++reader) {
            readers.start([&read] {
                BackgroundPriority::lowerCallingThread();
                read();
            });
        }
        readers.waitForDone();
        // Reported in list order; a card that is gone or unreadable says
        // nothing of the files after it.
        for (const CardResult &result : results) {
            if (result.ok())
                continue;
            failures.append(result);
            if (result.problem() != CardResult::NotKept)
                break;
        }
    }
    if (abandon)
        failures.clear();
    else
        emit progress(total, total);
    QList<QList<BlockSampler::Sample>> kept;
    for (auto &blocks : blockSets)
        kept.append(std::move(blocks));
    // Read on the GUI thread once finished arrives there.
    QMetaObject::invokeMethod(this, [this, failures, kept] {
        found = failures;
        sampled = kept;
        running = false;
        emit finished();
    }, Qt::QueuedConnection);
}

CardResult ReadbackVerifier::verify(const CardWriter &writer, const Item &item, const std::atomic_bool *abandon,
                                    const std::function<void(qint64)> &progress,
                                    QList<BlockSampler::Sample> *samples)
{
    BlockSampler sampler(item.size + item.trailer.size());
    const qint64 from = item.wholeFile ? 0 : item.size;
    Sha1Stream hash;
    QByteArray tail;
    qint64 position = from;
    const qint64 expected = item.size + item.trailer.size();
    const CardResult result = writer.readBack(item.path, from, [&](const char *bytes, qint64 length) {
        const qint64 hashed = qBound<qint64>(0, item.size - position, length);
        if (item.wholeFile && hashed > 0)
            hash.update(bytes, hashed);
        // More than the trailer is kept only up to one byte past it: enough
        // to tell a longer file, and bounded whatever lies on the card.
        const qint64 room = qMax<qint64>(0, item.trailer.size() + 1 - tail.size());
        tail.append(bytes + hashed, qMin(length - hashed, room));
        if (item.wholeFile)
            sampler.feed(position, bytes, length);
        position += length;
        progress(position - from);
    }, abandon);
    if (!result.ok())
        return result;
    QString why;
    if (position != expected)
        why = QStringLiteral("%1 bytes instead of %2").arg(position).arg(expected);
    else if (item.wholeFile && item.size > 0 && !Sha1Stream::sameDigest(hash.hexDigest(), item.sha1))
        why = QStringLiteral("SHA-1 %1 instead of %2").arg(QString::fromLatin1(hash.hexDigest()),
                                                          QString::fromLatin1(item.sha1.toLower()));
    else if (tail != item.trailer)
        why = QStringLiteral("its last %1 bytes differ").arg(item.trailer.size());
    if (why.isEmpty() && samples && item.wholeFile)
        *samples = sampler.samples();
    return why.isEmpty() ? CardResult() : CardResult::failure(CardResult::NotKept, item.path, why);
}
