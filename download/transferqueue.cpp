#include "download/transferqueue.h"

#include "download/download.h"

void TransferQueue::enqueue(Download *download)
{
    if (activeOrder.contains(download) || waitingOrder.contains(download))
        return;
    if (hasFreeSlot()) {
        admit(download);
        return;
    }
    waitingOrder.append(download);
    waiting.insert(download->file, download);
}

void TransferQueue::admit(Download *download)
{
    activeOrder.append(download);
    active.insert(download->file, download);
}

QList<Download *> TransferQueue::admitWaiting()
{
    QList<Download *> admittedNow;
    while (hasFreeSlot() && !waitingOrder.isEmpty())
        admittedNow.append(admitNext());
    return admittedNow;
}

Download *TransferQueue::admitNext()
{
    if (waitingOrder.isEmpty())
        return nullptr;
    Download *next = waitingOrder.takeFirst();
    waiting.remove(next->file);
    admit(next);
    return next;
}

void TransferQueue::release(Download *download)
{
    activeOrder.removeOne(download);
    active.remove(download->file);
}
