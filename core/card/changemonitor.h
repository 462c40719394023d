#pragma once

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "card/cardfolders.h"

class CardWriter;
class QSocketNotifier;

// Hears of every change another program makes to the files of a job while
// the job runs, paused included (inotify on the folders that hold them):
// a file the job proved and that is written, cut, moved or removed since
// has lost its proof. The kernel queues an event in the very call that
// makes the change, so reading the queue (drain) before a file counts as
// proven takes every change before the proof with it, the job's own
// writes included; whatever is read after it came later.
//
// Between drains the monitor says at most every gatherFor that events wait:
// the job's own writes raise an event each, and waking the job's thread for
// every one of them cost it more than the transfers themselves. Nothing is
// decided on that signal alone (a proof drains first), and the kernel's
// queue holds hundreds of times what a card takes in that long.
//
// When the kernel cannot say (its queue overflowed, a watched folder went,
// the card was taken out, no more folders can be watched), the monitor is
// broken: from then on no proof from before the break can be trusted.
class ChangeMonitor : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ChangeMonitor)

public:
    static constexpr int gatherFor = 50; // ms

    explicit ChangeMonitor(QObject *parent = nullptr);
    ~ChangeMonitor() override;

    struct Drained
    {
        QStringList changed; // relative to the card root
        bool broken = false; // since the last drain
    };

    // Watches the folder that holds file (relative to the card root),
    // opened through writer without following links; a folder already
    // watched costs nothing. False (and the monitor broken) when it cannot.
    bool watchFolderOf(const CardWriter &writer, const QString &file);
    // Every event the kernel holds now.
    Drained drain();
    // Forget every watch (the card went: its folders are another's now).
    void reset();
    bool usable() const { return fd >= 0; }

signals:
    // Events are waiting: a drain will find them.
    void eventsPending();

private:
    int fd = -1;
    QSocketNotifier *notifier = nullptr;
    QTimer gathering;
    QHash<int, QString> folders;  // watch descriptor -> folder (relative, "" for the root)
    QSet<QString> watched;
    bool brokenSinceDrain = false;
    // The folders last watched, kept open for a moment: a path thousands of
    // folders deep, one file in each, is walked once rather than from the
    // root for every file. Closed once watching pauses, so that the card
    // can be ejected.
    CardFolders openFolders;
    QTimer closeFolders;
};
