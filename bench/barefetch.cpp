// A bare program on Qt's network stack: one QNetworkAccessManager fetching
// "url<TAB>file[<TAB>sha1]" lines with N transfers at once into a folder,
// bytes handed straight to the file on the same thread. No checks, no
// syncing, no hashing, no card: what is left between it and curl is the
// stack's own.
//
// With --prove it also proves the files as the tool does, and does nothing
// else: SHA-1 and the written bytes' digest as they arrive, one syncfs for
// every batch of ended files, each file read back past the page cache beside
// the transfers, and after the last write the tool's sampled blocks of every
// file read again. --prove-at-end flushes once after the last transfer and
// only then reads back, on eight readers. What is left between the better of
// the two and the tool is the engine's own cost.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <QCryptographicHash>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include "card/blocksampler.h"
#include "card/contentdigest.h"
#include "service/chartservice.h"
#include "service/extracatrust.h"

namespace {

// Every process's and the kernel's CPU time so far, as scripts/bench.sh
// counts it from /proc/stat (time stolen by the hypervisor left out).
double machineBusySeconds()
{
    QFile stat(QStringLiteral("/proc/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = stat.readLine().simplified().split(' ');
    if (fields.size() < 8 || fields.at(0) != "cpu")
        return 0;
    double ticks = 0;
    for (const int column : {1, 2, 3, 6, 7})
        ticks += fields.at(column).toDouble();
    return ticks / double(sysconf(_SC_CLK_TCK));
}

struct Entry
{
    QUrl url;
    QString path;
    QByteArray sha1;
};

// Ended files go to a flusher, which syncs the file system once for all
// that ended since its last flush, then to readers that read each back
// directly from the medium and compare it with what was written, noting
// the tool's sampled blocks on the way. After the last write eight readers
// look at those blocks again: a card that wraps has written over them.
class Prover
{
public:
    Prover(const QString &folder, bool atEnd)
        : folder(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY))
        , atEnd(atEnd)
        // A flush of a disk with little pending is quick: beside the
        // transfers, a flush waits as the tool's does for a few more files.
        , gatherFiles(atEnd ? 1 : 8)
        , gather(atEnd ? 0 : 2000)
    {
        flusher = std::thread([this] { flushLoop(); });
        readers.resize(atEnd ? 8 : 2);
        for (std::thread &reader : readers)
            reader = std::thread([this] { readLoop(); });
    }
    ~Prover()
    {
        finish();
        ::close(folder);
    }
    Q_DISABLE_COPY_MOVE(Prover)

    void ended(const QString &path, const ContentDigest::Value &written)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        toFlush.push_back({QFile::encodeName(path), written, {}});
        wake.notify_all();
    }

    // Waits for every ended file's proof; the number that failed.
    int finish()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            closing = true;
            wake.notify_all();
        }
        if (flusher.joinable())
            flusher.join();
        for (std::thread &reader : readers) {
            if (reader.joinable())
                reader.join();
        }
        if (!sampled) {
            sampled = true;
            const double busyBefore = machineBusySeconds();
            QElapsedTimer clock;
            clock.start();
            checkSamples();
            sampleSeconds = double(clock.nsecsElapsed()) / 1e9;
            sampleBusySeconds = machineBusySeconds() - busyBefore;
        }
        return failed;
    }

    // The look after the last write: how long it took, and how much of the
    // machine's CPU (no other work can overlap it).
    double sampleSeconds = 0;
    double sampleBusySeconds = 0;

private:
    struct Ended
    {
        QByteArray path;
        ContentDigest::Value written;
        QList<BlockSampler::Sample> samples;
    };

    void flushLoop()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return closing || (!toFlush.empty() && !atEnd); });
            if (toFlush.empty())
                break;
            wake.wait_for(lock, gather, [this] { return closing || int(toFlush.size()) >= gatherFiles; });
            std::deque<Ended> batch;
            batch.swap(toFlush);
            lock.unlock();
            const bool synced = ::syncfs(folder) == 0;
            lock.lock();
            if (!synced)
                failed += int(batch.size());
            else
                toRead.insert(toRead.end(), batch.begin(), batch.end());
            wake.notify_all();
        }
        flushed = true;
        wake.notify_all();
    }

    void readLoop()
    {
        constexpr qint64 block = 4 << 20;
        void *buffer = nullptr;
        if (::posix_memalign(&buffer, 4096, block) != 0)
            return;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return flushed || !toRead.empty(); });
            if (toRead.empty())
                break;
            Ended file = toRead.front();
            toRead.pop_front();
            lock.unlock();
            const bool same = readsBack(&file, static_cast<char *>(buffer), block);
            lock.lock();
            if (!same)
                ++failed;
            else
                proven.push_back(std::move(file));
        }
        std::free(buffer);
    }

    static bool readsBack(Ended *file, char *buffer, qint64 block)
    {
        const int fd = ::open(file->path.constData(), O_RDONLY | O_DIRECT);
        if (fd < 0)
            return false;
        // Asking past the file's end costs the kernel a zero-filled hole
        // for every block beyond it: ask for what the file holds, in whole
        // blocks, as the tool does.
        struct stat facts{};
        if (::fstat(fd, &facts) != 0) {
            ::close(fd);
            return false;
        }
        ContentDigest digest;
        file->samples = BlockSampler::layout(facts.st_size);
        int sample = 0;
        for (qint64 at = 0; at < facts.st_size;) {
            const qint64 ask = qMin(block, (facts.st_size - at + 4095) / 4096 * 4096);
            const ssize_t got = ::read(fd, buffer, size_t(ask));
            if (got <= 0)
                break;
            digest.update(buffer, got);
            // Reads start on a block's edge: no sampled block straddles two.
            for (; sample < file->samples.size() && file->samples.at(sample).offset < at + got; ++sample) {
                BlockSampler::Sample &each = file->samples[sample];
                each.digest = BlockSampler::digest(buffer + (each.offset - at), each.length);
            }
            at += got;
        }
        ::close(fd);
        return digest.value() == file->written;
    }

    void checkSamples()
    {
        std::atomic<size_t> next{0};
        std::atomic<int> changed{0};
        const auto look = [&] {
            void *buffer = nullptr;
            if (::posix_memalign(&buffer, 4096, BlockSampler::blockSize) != 0)
                return;
            for (size_t at; (at = next++) < proven.size();) {
                const Ended &file = proven.at(at);
                const int fd = ::open(file.path.constData(), O_RDONLY | O_DIRECT);
                bool same = fd >= 0;
                for (int b = 0; same && b < file.samples.size(); ++b) {
                    const BlockSampler::Sample &was = file.samples.at(b);
                    const ssize_t got
                        = ::pread(fd, buffer, size_t(BlockSampler::blockSize), off_t(was.offset));
                    same = got >= was.length
                        && BlockSampler::digest(static_cast<char *>(buffer), was.length) == was.digest;
                }
                if (fd >= 0)
                    ::close(fd);
                if (!same)
                    ++changed;
            }
            std::free(buffer);
        };
        std::vector<std::thread> lookers(8);
        for (std::thread &looker : lookers)
            looker = std::thread(look);
        for (std::thread &looker : lookers)
            looker.join();
        failed += changed;
    }

    const int folder;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Ended> toFlush;
    std::deque<Ended> toRead;
    bool closing = false;
    bool flushed = false;
    int failed = 0;
    std::vector<Ended> proven;
    bool sampled = false;
    const bool atEnd;
    const int gatherFiles;
    const std::chrono::microseconds gather;
    std::thread flusher;
    std::vector<std::thread> readers;
};

QList<Entry> readList(const QString &listPath, const QString &folder)
{
    QList<Entry> entries;
    QFile list(listPath);
    if (!list.open(QIODevice::ReadOnly))
        return entries;
    while (!list.atEnd()) {
        const QList<QByteArray> fields = list.readLine().trimmed().split('\t');
        if (fields.size() >= 2) {
            entries.append({QUrl(QString::fromUtf8(fields.at(0))),
                            folder + QLatin1Char('/') + QString::fromUtf8(fields.at(1)),
                            fields.size() >= 3 ? fields.at(2) : QByteArray()});
        }
    }
    return entries;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.size() == 5 ? args.at(4) : QString();
    const bool prove = mode == QLatin1String("--prove") || mode == QLatin1String("--prove-at-end");
    if (args.size() != 4 && !prove) {
        std::fputs("usage: quorvel-bare-fetch LIST FOLDER CONCURRENCY [--prove | --prove-at-end]\n", stderr);
        return 2;
    }
    ExtraCaTrust::installFromEnvironment();
    const QList<Entry> entries = readList(args.at(1), args.at(2));
    const int concurrency = qMax(1, args.at(3).toInt());
    if (entries.isEmpty()) {
        std::fputs("error=empty or unreadable list\n", stderr);
        return 2;
    }

    QDir().mkpath(args.at(2));
    std::unique_ptr<Prover> prover;
    if (prove)
        prover = std::make_unique<Prover>(args.at(2), mode == QLatin1String("--prove-at-end"));

    QNetworkAccessManager manager;
    qsizetype next = 0;
    int running = 0;
    int failed = 0;
    QElapsedTimer clock;
    clock.start();
    std::function<void()> startMore = [&] {
        while (running < concurrency && next < entries.size()) {
            const Entry entry = entries.at(next++);
            QDir().mkpath(QFileInfo(entry.path).path());
            auto file = std::make_shared<QFile>(entry.path);
            if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
                ++failed;
                continue;
            }
            ++running;
            // The request the tool sends, HTTP/2 allowed or not alike.
            QNetworkReply *reply = manager.get(ChartService::fileRequest(entry.url.toString()));
            reply->setReadBufferSize(1 << 20);
            std::shared_ptr<QCryptographicHash> sha1;
            std::shared_ptr<ContentDigest> digest;
            if (prover) {
                sha1 = std::make_shared<QCryptographicHash>(QCryptographicHash::Sha1);
                digest = std::make_shared<ContentDigest>();
            }
            const auto drain = [reply, file, sha1, digest] {
                char piece[64 * 1024];
                for (qint64 got; (got = reply->read(piece, sizeof piece)) > 0;) {
                    file->write(piece, got);
                    if (sha1) {
                        sha1->addData(QByteArrayView(piece, got));
                        digest->update(piece, got);
                    }
                }
            };
            QObject::connect(reply, &QNetworkReply::readyRead, drain);
            QObject::connect(reply, &QNetworkReply::finished, [&, reply, file, drain, sha1, digest, entry] {
                drain();
                if (reply->error() != QNetworkReply::NoError)
                    ++failed;
                file->close();
                if (prover) {
                    if (sha1->result().toHex() != entry.sha1)
                        ++failed;
                    else
                        prover->ended(entry.path, digest->value());
                }
                reply->deleteLater();
                --running;
                if (running == 0 && next == entries.size())
                    app.quit();
                else
                    startMore();
            });
        }
    };
    startMore();
    if (running > 0)
        app.exec();
    if (prover) {
        failed += prover->finish();
        std::printf("sample_s=%.3f\nsample_machine_cpu_s=%.3f\n", prover->sampleSeconds,
                    prover->sampleBusySeconds);
    }
    std::printf("wall_s=%.3f\nfiles=%lld\nfailed=%d\n", double(clock.nsecsElapsed()) / 1e9,
                static_cast<long long>(entries.size()), failed);
    return failed == 0 ? 0 : 1;
}
