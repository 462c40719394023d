#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "card/blocksampler.h"
#include "card/contentdigest.h"

// The bare fetcher's proof, as the tool proves and nothing more. Ended files
// go to a flusher, which syncs the file system once for all that ended since
// its last flush, then to readers that read each back directly from the
// medium and compare it with what was written, noting the tool's sampled
// blocks on the way. After the last write eight readers look at those blocks
// again: a card that wraps has written over them.
//
// Beside the transfers (atEnd false) a flush waits as the tool's does for a
// few more files and two readers follow the flushes; at the end (atEnd true)
// one flush covers everything and eight readers read it back.
class Prover
{
public:
    Prover(const QString &folder, bool atEnd);
    ~Prover();
    Q_DISABLE_COPY_MOVE(Prover)

    // A file whose every byte was written, with the digest of those bytes.
    void ended(const QString &path, const ContentDigest::Value &written);

    // Waits for every ended file's proof; the number that failed.
    int finish();

    // The look after the last write: how long it took, and how much of the
    // machine's CPU (no other work can overlap it).
    double sampleSeconds() const { return sampleTook; }
    double sampleBusySeconds() const { return sampleBusy; }

    // Every process's and the kernel's CPU time so far, as scripts/bench.sh
    // counts it from /proc/stat (time stolen by the hypervisor left out).
    static double machineBusySeconds();

private:
    struct Ended
    {
        QByteArray path;
        ContentDigest::Value written;
        QList<BlockSampler::Sample> samples;
    };

    void flushLoop();
    void readLoop();
    static bool readsBack(Ended *file, char *buffer, qint64 block);
    void checkSamples();

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
    double sampleTook = 0;
    double sampleBusy = 0;
    const bool atEnd;
    const int gatherFiles;
    const std::chrono::microseconds gather;
    std::thread flusher;
    std::vector<std::thread> readers;
};
