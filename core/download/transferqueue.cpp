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

void TransferQueue::admit(const QString &file, bool big)
{
    activeOrder.append(file);
    activeSet.insert(file);
    if (big)
        bigActive.insert(file);
}

void TransferQueue::enqueue(const QString &file, bool big)
{
    if (activeSet.contains(file) || waitingSet.contains(file))
        return;
    waitingOrder.append({file, big});
    waitingSet.insert(file);
}

QStringList TransferQueue::admitWaiting()
{
    QStringList admittedNow;
    while (!waitingOrder.isEmpty() && fits(waitingOrder.first().big)) {
        const Waiting next = waitingOrder.takeFirst();
        waitingSet.remove(next.file);
        admit(next.file, next.big);
        admittedNow.append(next.file);
    }
    return admittedNow;
}

void TransferQueue::readmit(const QString &file, bool big)
{
    if (activeSet.contains(file))
        return;
    if (waitingSet.remove(file)) {
        for (qsizetype i = 0; i < waitingOrder.size(); ++i) {
            if (waitingOrder.at(i).file == file) {
                waitingOrder.removeAt(i);
                break;
            }
        }
    }
    admit(file, big);
}

void TransferQueue::release(const QString &file)
{
    if (activeSet.remove(file))
        activeOrder.removeOne(file);
    bigActive.remove(file);
}
