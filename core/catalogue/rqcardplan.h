#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "card/cardstate.h"
#include "catalogue/product.h"

// What an RQ card needs before it can be updated, from the owned RQ
// products and what the card holds: the product of the card's container
// (and whether the service knows the card yet), or, for a card that lost
// its container, the product whose subscription is bound to it and the
// chart data the service keeps for it.
struct RqCardPlan
{
    enum Step {
        NotRq,    // no container of an owned RQ product, and none to restore
        Ready,    // the container's product, bound to this card
        Register, // the container's product, but no subscription bound to this card
        Restore,  // no container, but a subscription bound to this card
    };

    Step step = NotRq;
    Product product;
    QString containerFile;   // Ready and Register
    CardState::Container container;
    QByteArray chain;        // Restore: the subscription's chart data

    static RqCardPlan decide(const QList<Product> &rqProducts, const CardState &card);
};
