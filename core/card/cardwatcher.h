#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include "card/cardidentity.h"

class RemovableMedia;

// Finds cards without the user browsing: every poll it looks at the root of
// each mounted removable medium (and at each subfolder of the folders named
// in QUORVEL_CARD_WATCH_DIRS, which stand in for mount points in the demo
// and the tests) and reports the ones that hold an ENCRYPT.TXT as they come
// and go. The computer's own disks and network shares are never offered,
// whatever they hold. It also keeps an eye on the card the window has
// chosen, wherever that card's root is (the user may have browsed to any
// folder), so that taking it out is noticed before a write fails.
//
// A poll costs one stat per volume: a root's ENCRYPT.TXT is read again only
// when the root's device or modification time has changed since the last
// poll, which is what inserting, swapping or re-encrypting a card does. The
// system's disk service tells at once when a medium comes or goes; the
// timer's polls are for the chosen card and the watched folders.
class CardWatcher : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CardWatcher)

public:
    static constexpr int defaultInterval = 2000;
    static constexpr const char *watchDirsVariable = "QUORVEL_CARD_WATCH_DIRS";
    // Set to 0, mounted volumes are not looked at: tests running side by
    // side mount cards of their own that no other test must pick up.
    static constexpr const char *watchMountsVariable = "QUORVEL_CARD_WATCH_MOUNTS";

    explicit CardWatcher(QObject *parent = nullptr);

    // Polls at once, then every interval milliseconds on the event loop.
    void start(int interval = defaultInterval);
    void stop();
    // Present cards, ordered by root path.
    QList<CardIdentity> cards() const;

    // The card whose presence to follow; an invalid identity stops following.
    void setChosenCard(const CardIdentity &card);
    CardIdentity chosenCard() const { return chosen; }
    bool chosenCardPresent() const { return chosenPresent; }

public slots:
    void poll();

signals:
    // Also sent again for every card still in right after chosenCardLost(),
    // so that a listener which chooses a card only while none is chosen gets
    // its chance at the cards it passed over.
    void cardAppeared(const CardIdentity &card);
    void cardRemoved(const CardIdentity &card);
    // The chosen card went away (taken out, or another card in its place)
    // and, later, the same card is back.
    void chosenCardLost(const CardIdentity &card);
    void chosenCardBack(const CardIdentity &card);

private:
    struct Seen
    {
        qint64 device = -1;
        qint64 modified = -1;
        CardIdentity card;
    };

    QStringList candidateRoots();

    QTimer timer;
    // Made at the first look at mounted volumes, so that a watcher told not
    // to look never touches the bus.
    RemovableMedia *media = nullptr;
    QHash<QString, Seen> roots;
    CardIdentity chosen;
    bool chosenPresent = false;
};
