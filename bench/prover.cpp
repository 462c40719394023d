#include "prover.h"

#include <QElapsedTimer>
#include <QFile>

#include <atomic>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "card/groupcommit.h"

Prover::Prover(const QString &folder, bool atEnd)
    : folder(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY))
    , atEnd(atEnd)
    , gatherFiles(atEnd ? 1 : int(GroupCommit::gatherUpTo))
    , gather(atEnd ? std::chrono::microseconds(0) : GroupCommit::gatherFor)
{
    flusher = std::thread([this] { flushLoop(); });
    readers.resize(atEnd ? 8 : 2);
    for (std::thread &reader : readers)
        reader = std::thread([this] { readLoop(); });
}

Prover::~Prover()
{
    finish();
    ::close(folder);
}

void Prover::ended(const QString &path, const ContentDigest::Value &written)
{
    const std::lock_guard<std::mutex> lock(mutex);
    toFlush.push_back({ QFile::encodeName(path), written, {} });
    wake.notify_all();
}

int Prover::finish()
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
        sampleTook = double(clock.nsecsElapsed()) / 1e9;
        sampleBusy = machineBusySeconds() - busyBefore;
    }
    return failed;
}

double Prover::machineBusySeconds()
{
    QFile stat(QStringLiteral("/proc/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = stat.readLine().simplified().split(' ');
    if (fields.size() < 8 || fields.at(0) != "cpu")
        return 0;
    double ticks = 0;
    for (const int column : { 1, 2, 3, 6, 7 })
        ticks += fields.at(column).toDouble();
    return ticks / double(sysconf(_SC_CLK_TCK));
}

void Prover::flushLoop()
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

void Prover::readLoop()
{
    constexpr qint64 block = 4 << 20;
    void *buffer = nullptr;
    if (::posix_memalign(&buffer, 4096, block) != 0)
        qFatal("no memory to read back");
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

bool Prover::readsBack(Ended *file, char *buffer, qint64 block)
{
    const int fd = ::open(file->path.constData(), O_RDONLY | O_DIRECT);
    if (fd < 0)
        return false;
    // Asking past the file's end costs the kernel a zero-filled hole
    // for every block beyond it: ask for what the file holds, in whole
    // blocks, as the tool does.
    struct stat facts
    {
    };
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

void Prover::checkSamples()
{
    std::atomic<size_t> next { 0 };
    std::atomic<int> changed { 0 };
    const auto look = [&] {
        void *buffer = nullptr;
        if (::posix_memalign(&buffer, 4096, BlockSampler::blockSize) != 0)
            qFatal("no memory to read back");
        for (size_t at; (at = next++) < proven.size();) {
            const Ended &file = proven.at(at);
            const int fd = ::open(file.path.constData(), O_RDONLY | O_DIRECT);
            bool same = fd >= 0;
            for (int b = 0; same && b < file.samples.size(); ++b) {
                const BlockSampler::Sample &was = file.samples.at(b);
                const ssize_t got = ::pread(fd, buffer, size_t(BlockSampler::blockSize), off_t(was.offset));
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
