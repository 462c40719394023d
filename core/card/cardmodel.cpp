#include "card/cardmodel.h"

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

CardModel::CardModel(QObject *parent)
    : QObject(parent)
{
    connect(&reading, &QFutureWatcher<CardState>::finished, this, &CardModel::handleRead);
}

CardModel::~CardModel()
{
    reading.waitForFinished();
}

void CardModel::setCard(const CardIdentity &card)
{
    chosen = card;
    if (!chosen.isValid()) {
        current = CardState();
        again = false;
        emit changed();
        return;
    }
    refresh();
}

void CardModel::setWriting(bool on)
{
    if (writing == on)
        return;
    writing = on;
    refresh();
}

void CardModel::refresh()
{
    if (!chosen.isValid())
        return;
    if (reading.isRunning()) {
        again = true;
        return;
    }
    again = false;
    reading.setFuture(QtConcurrent::run(QThreadPool::globalInstance(),
                                        [card = chosen, ledger = ledger, on = writing] {
                                            return CardState::read(card, ledger, on);
                                        }));
}

void CardModel::handleRead()
{
    const CardState read = reading.result();
    // A reading of a card that is no longer the chosen one is thrown away.
    if (!read.identity().sameCard(chosen) && chosen.isValid()) {
        refresh();
        return;
    }
    if (again) {
        refresh();
        return;
    }
    current = read;
    emit changed();
}
