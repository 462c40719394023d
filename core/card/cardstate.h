#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

#include "card/cardidentity.h"
#include "card/proofledger.h"

// What a card holds, read from the card itself (and from what this computer
// proved about it): the one source of the product statuses the window and
// the command line show. A value; reading it blocks on the card, so the
// window reads it on the pool (CardModel).
class CardState
{
public:
    enum class Product {
        None,         // no vmid names a product
        Complete,     // proven by this computer, and still what was proven
        Incomplete,   // files missing or short, or the last run here ended without proof
        BeingWritten, // a job is writing it now
        Unverified,   // all its files are there, but nothing here proved them
    };

    // An RQ chart container at the card's root.
    struct Container
    {
        QString fileName;
        QString chartName;
        quint32 buildNumber = 0;
        quint32 buildCode = 0;
        quint32 chartVersion = 0;
        quint64 flags = 0;
        bool updating = false;
    };

    CardState() = default;

    // ledger: where proofs are kept; writing: a job of this process writes
    // to this card now (one of another process is seen by its lock).
    static CardState read(const CardIdentity &card, const ProofLedger &ledger, bool writing = false);

    bool isValid() const { return card.isValid() && readable; }
    const CardIdentity &identity() const { return card; }
    QString root() const { return card.root(); }
    QString mediaId() const { return card.rawMediaId(); }
    // Why the card could not be read, for the user; empty when it could.
    QString problem() const { return trouble; }

    qint64 freeBytes() const { return available; }
    qint64 totalBytes() const { return total; }

    // The SKU the card's vmid names; empty when none.
    QString productSku() const { return sku; }
    Product productState() const { return state; }
    int filesListed() const { return listed; }
    int filesMissing() const { return missing; }

    const QList<Container> &containers() const { return kims; }
    bool isRqCard() const { return !kims.isEmpty(); }

    static QString productStateName(Product state);

private:
    CardIdentity card;
    bool readable = false;
    QString trouble;
    qint64 available = 0;
    qint64 total = 0;
    QString sku;
    Product state = Product::None;
    int listed = 0;
    int missing = 0;
    QList<Container> kims;
};

Q_DECLARE_METATYPE(CardState)
