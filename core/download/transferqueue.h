#pragma once

#include <QList>
#include <QSet>
#include <QString>

// Which transfers may run: at most a given number at once, the others
// waiting in the order they were queued (the order of the file list), so
// the files come in the order the service lists them. The one place that
// admits a transfer.
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
    void enqueue(const QString &file, bool big);
    // Admits from the head of the line while the head fits; returns the
    // files admitted by this call, in order.
    QStringList admitWaiting();
    // Takes a slot back for a transfer that left it and must run again (its
    // end failed after its body was in): it was admitted once, in order.
    void readmit(const QString &file, bool big);
    // The transfer has left its slot.
    void release(const QString &file);

    bool isAdmitted(const QString &file) const { return activeSet.contains(file); }
    bool isWaiting(const QString &file) const { return waitingSet.contains(file); }
    // Admitted transfers in the order they were admitted.
    const QStringList &admitted() const { return activeOrder; }
    qsizetype waitingCount() const { return waitingOrder.size(); }

private:
    struct Waiting
    {
        QString file;
        bool big = false;
    };

    bool fits(bool big) const;
    void admit(const QString &file, bool big);

    int totalLimit = 3;
    int bigFileLimit = 3;
    QStringList activeOrder;
    QSet<QString> activeSet;
    QSet<QString> bigActive;
    QList<Waiting> waitingOrder;
    QSet<QString> waitingSet;
};
