#include "download/transferqueue.h"

void TransferQueue::setLimits(int total, int big)
{
    totalLimit = qMax(1, total);
    bigFileLimit = qBound(1, big, totalLimit);
}

bool TransferQueue::fits(bool big) const
{
    return activeOrder.size() < totalLimit && (!big || bigActive.size() < bigFileLimit);
}

void TransferQueue::admit(int record, bool big)
{
    activeOrder.append(record);
    activeSet.insert(record);
    if (big)
        bigActive.insert(record);
}

void TransferQueue::setWaiting(int record, bool waiting)
{
    if (record >= waitingSet.size())
        waitingSet.resize(record + 1);
    waitingSet.setBit(record, waiting);
}

void TransferQueue::enqueue(int record, bool big)
{
    if (activeSet.contains(record) || isWaiting(record))
        return;
    waitingOrder.append({record, big});
    setWaiting(record, true);
}

QList<int> TransferQueue::admitWaiting()
{
    QList<int> admittedNow;
    while (!waitingOrder.isEmpty() && fits(waitingOrder.first().big)) {
        const Waiting next = waitingOrder.takeFirst();
        setWaiting(next.record, false);
        admit(next.record, next.big);
        admittedNow.append(next.record);
    }
    return admittedNow;
}

void TransferQueue::readmit(int record, bool big)
{
    if (activeSet.contains(record))
        return;
    if (isWaiting(record)) {
        setWaiting(record, false);
        for (qsizetype i = 0; i < waitingOrder.size(); ++i) {
            if (waitingOrder.at(i).record == record) {
                waitingOrder.removeAt(i);
                break;
            }
        }
    }
    admit(record, big);
}

void TransferQueue::release(int record)
{
    if (activeSet.remove(record))
        activeOrder.removeOne(record);
    bigActive.remove(record);
}

void TransferQueue::squeeze()
{
    if (waitingOrder.isEmpty())
        waitingOrder = {};
}
