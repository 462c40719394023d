#pragma once

#include <QHash>
#include <QList>
#include <QString>

class Download;

// Which transfers may run: at most a given number at once, the others
// waiting in the order they were queued (the order of the file list), so
// the files come in the order the service lists them. The one place that
// admits a transfer.
class TransferQueue
{
public:
    void setConcurrency(int count) { limit = count; }
    int concurrency() const { return limit; }

    // Admitted at once while a slot is free, else waits behind the others.
    // A transfer already queued or admitted stays where it is.
    void enqueue(Download *download);
    // Fills the free slots from the head of the waiting line; returns the
    // transfers admitted by this call.
    QList<Download *> admitWaiting();
    // Admits the transfer at the head of the line even when every slot is
    // taken; null when none waits.
    Download *admitNext();
    // The transfer has left its slot (finished).
    void release(Download *download);
    bool hasFreeSlot() const { return activeOrder.size() < limit; }

    // Admitted transfers in the order they were admitted.
    const QList<Download *> &admitted() const { return activeOrder; }
    const QList<Download *> &waitingLine() const { return waitingOrder; }

    // Views by file name, for the owner's tables.
    QHash<QString, Download *> active;
    QHash<QString, Download *> waiting;

private:
    void admit(Download *download);

    int limit = 3;
    QList<Download *> activeOrder;
    QList<Download *> waitingOrder;
};
