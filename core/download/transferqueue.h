#pragma once

#include <QBitArray>
#include <QList>
#include <QSet>

// Which transfers may run: at most a given number at once, the others
// waiting in the order they were queued (the order of the file list), so
// the files come in the order the service lists them. The one place that
// admits a transfer. Files are known by their place in the file list, so
// that a product of 200,000 files waits here in a few bytes each.
//
// Big files have a limit of their own below the total: a big file's pace is
// set by the disk and the cipher, which more connections only share, while a
// small file's is set by round trips, which more connections overlap. The
// head of the line waits for a slot of its kind; nothing overtakes it.
class TransferQueue
{
public:
    void setLimits(int total, int big);
    int limit() const { return totalLimit; }
    int bigLimit() const { return bigFileLimit; }

    // Waits at the end of the line. A transfer already queued or admitted
    // stays where it is.
    void enqueue(int record, bool big);
    // Admits from the head of the line while the head fits; returns the
    // files admitted by this call, in order.
    QList<int> admitWaiting();
    // Takes a slot back for a transfer that left it and must run again (its
    // end failed after its body was in): it was admitted once, in order.
    void readmit(int record, bool big);
    // The transfer has left its slot.
    void release(int record);

    bool isAdmitted(int record) const { return activeSet.contains(record); }
    bool isWaiting(int record) const { return record < waitingSet.size() && waitingSet.testBit(record); }
    // Admitted transfers in the order they were admitted.
    const QList<int> &admitted() const { return activeOrder; }
    qsizetype waitingCount() const { return waitingOrder.size(); }
    // Lets go of the room a long line left behind, once it is empty.
    void squeeze();

private:
    struct Waiting
    {
        int record = -1;
        bool big = false;
    };

    bool fits(bool big) const;
    void admit(int record, bool big);
    void setWaiting(int record, bool waiting);

    int totalLimit = 3;
    int bigFileLimit = 3;
    QList<int> activeOrder;
    QSet<int> activeSet;
    QSet<int> bigActive;
    QList<Waiting> waitingOrder;
    QBitArray waitingSet;
};
