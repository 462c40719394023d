#pragma once

#include <QFutureWatcher>
#include <QObject>

#include "card/cardstate.h"
#include "card/proofledger.h"

// The chosen card as the window follows it: its state is read again on the
// pool whenever asked (a job ended, the card came back, the catalogue
// changed) and changed() tells the views, which only ever show the latest
// reading. A request while a reading runs is taken up once it ends.
class CardModel : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CardModel)

public:
    explicit CardModel(QObject *parent = nullptr);
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

    CardIdentity chosen;
    CardState current;
    ProofLedger ledger;
    QFutureWatcher<CardState> reading;
    bool again = false;
    bool writing = false;
};
