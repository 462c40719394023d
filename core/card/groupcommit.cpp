#include "card/groupcommit.h"

GroupCommit::GroupCommit(std::function<CardResult()> flushCard)
    : flush(std::move(flushCard))
{
}

CardResult GroupCommit::flushCovering()
{
    std::unique_lock<std::mutex> held(lock);
    const quint64 ticket = ++requested;
    if (gathering)
        arrived.notify_one();
    while (completed < ticket) {
        if (flushing) {
            done.wait(held);
            continue;
        }
        flushing = true;
        if (requested - completed < gatherUpTo) {
            gathering = true;
            arrived.wait_for(held, gatherFor, [this] { return requested - completed >= gatherUpTo; });
            gathering = false;
        }
        // This flush begins after every ticket handed out so far was
        // written; it covers all of them.
        const quint64 covers = requested;
        held.unlock();
        const CardResult result = flush();
        held.lock();
        flushing = false;
        completed = covers;
        ++flushCount;
        if (!result.ok()) {
            failedUpTo = covers;
            failure = result;
        }
        done.notify_all();
    }
    return ticket <= failedUpTo ? failure : CardResult();
}

quint64 GroupCommit::flushes() const
{
    const std::lock_guard<std::mutex> held(lock);
    return flushCount;
}
