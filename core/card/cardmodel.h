#pragma once

#include <QFileSystemWatcher>
#include <QFutureWatcher>
#include <QObject>
#include <QTimer>

#include "card/cardstate.h"
#include "card/proofledger.h"

// The chosen card as the window follows it: its state is read again on the
// pool whenever asked (a job ended, the card came back, the catalogue
// changed) and changed() tells the views, which only ever show the latest
// reading. A request while a reading runs is taken up once it ends.
//
// What another program does is read again by itself: the command line (or
// another window) replacing the card's product renames its vmid at the
// root, and proving or beginning a product changes this user's proofs, so
// both folders are watched. While another process writes the card, its
// lock (which no file shows) is looked at again every few seconds, so
// that its product does not stay "in progress" after it ends.
class CardModel : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CardModel)

public:
    // ledgerFolder: where proofs are kept (empty: the data folder's).
    explicit CardModel(QObject *parent = nullptr, const QString &ledgerFolder = QString());
    ~CardModel() override;

    // An invalid identity means no card.
    void setCard(const CardIdentity &card);
    const CardIdentity &card() const { return chosen; }
    bool hasCard() const { return chosen.isValid(); }
    void refresh();
    // A job of this process writes to the card (its product reads "being written").
    void setWriting(bool writing);

    const CardState &state() const { return current; }
    bool isReading() const { return reading.isRunning(); }

signals:
    void changed();

private:
    void handleRead();
    // Watches the chosen card's root and the proofs, whichever is there now.
    void watch();

    CardIdentity chosen;
    CardState current;
    ProofLedger ledger;
    QFutureWatcher<CardState> reading;
    QFileSystemWatcher watcher;
    QTimer settle;
    QTimer lookAgain;
    bool again = false;
    bool writing = false;
};
