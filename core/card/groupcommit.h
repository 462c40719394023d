#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "card/cardresult.h"

// Files that end close together share one flush of the card. A writer asks
// for a flush that covers what it has written so far; the first to ask while
// no flush runs starts one for everyone who asked before it, and those who
// ask meanwhile are covered by the next. On a card of many small files that
// is one flush per batch where each file and its folder used to have their
// own, and nothing counts as on the medium before a flush that began after
// it was written has completed.
//
// A flush about to begin waits a moment (gatherFor) for more writers while
// fewer than gatherUpTo wait: a card's flush returns in a fraction of a
// millisecond when little is pending, and 2,000 small files ending half a
// millisecond apart took 1,916 flushes, each one a flush of the medium's
// cache too.
//
// A failed flush is reported to every writer still waiting whose bytes it
// or an earlier flush covered, even one an earlier flush already wrote: the
// failure says nothing of which files reached the medium.
class GroupCommit
{
public:
    static constexpr std::chrono::microseconds gatherFor{2000};
    static constexpr quint64 gatherUpTo = 8;

    explicit GroupCommit(std::function<CardResult()> flush);

    // Blocks until a flush that began after this call has completed, and
    // returns how it ended. Safe from any thread.
    CardResult flushCovering();

    // Flushes run so far: the tests count batches with it.
    quint64 flushes() const;

private:
    const std::function<CardResult()> flush;
    mutable std::mutex lock;
    std::condition_variable done;
    std::condition_variable arrived; // a writer asked while a flush gathers
    bool flushing = false;
    bool gathering = false;
    quint64 requested = 0; // tickets handed out
    quint64 completed = 0; // tickets covered by a completed flush
    quint64 failedUpTo = 0; // tickets covered by a failed flush
    CardResult failure;
    quint64 flushCount = 0;
};
