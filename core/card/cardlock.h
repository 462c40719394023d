#pragma once

#include <QString>

#include <sys/types.h>

// One writer per card, whichever copy of the tool it runs in (the window,
// the command line, another user's): two writers on one card cut each
// other's files short and overwrite each other's vmid. The lock is flock()
// on the card's root folder, so it leaves nothing on the card, is seen by
// every process on the computer, and goes with the process that held it,
// however that process ended. Who holds it is noted in this user's data
// folder, so that a copy that is turned away can say who has the card.
//
// Writers take it exclusive; a verification, which only reads, shares it
// with other readers.
class CardLock
{
public:
    enum class Mode { Shared, Exclusive };
    enum class Outcome {
        Taken,
        Busy,   // another job has the card
        NoCard, // the root folder cannot be opened
    };

    CardLock() = default;
    ~CardLock();
    Q_DISABLE_COPY_MOVE(CardLock)

    // Takes the card whose root is root, never waiting. activity says what
    // this job does with it ("downloading VM-BRE-02") to a job turned away.
    // busy receives the text for the user when another job has the card.
    Outcome acquire(const QString &root, Mode mode, const QString &activity, QString *busy);
    void release();
    bool isHeld() const { return fd >= 0; }
    // The folder at root is the one this lock holds, or there is no folder
    // there at all (a card pulled out keeps its lock until it is back).
    bool coversRoot(const QString &root) const;

    // Where the notes of who holds which card are kept.
    static QString noteFolder();
    // Another process writes to the card at root now (it holds the lock
    // exclusive). Only looks: taking the lock to find out would turn away a
    // writer that starts in that moment.
    static bool writtenByAnother(const QString &root);

private:
    // The text that names whoever holds the lock on this folder now.
    static QString holderText(dev_t device, ino_t inode);

    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    QString notePath;
};
