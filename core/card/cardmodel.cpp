#include "card/cardmodel.h"

#include <QFileInfo>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace {
// Changes come in bursts (a temporary file, then its rename): one reading
// after the last of them.
constexpr int settleMs = 300;
// How soon a card another process writes is looked at again.
constexpr int writtenElsewhereMs = 2000;
} // namespace

CardModel::CardModel(QObject *parent, const QString &ledgerFolder)
    : QObject(parent)
    , ledger(ledgerFolder)
{
    connect(&reading, &QFutureWatcher<CardState>::finished, this, &CardModel::handleRead);
    settle.setSingleShot(true);
    settle.setInterval(settleMs);
    lookAgain.setSingleShot(true);
    lookAgain.setInterval(writtenElsewhereMs);
    // This process's own job says when the card changes (a stage at a time).
    connect(&settle, &QTimer::timeout, this, [this] {
        if (!writing)
            refresh();
    });
    connect(&lookAgain, &QTimer::timeout, this, &CardModel::refresh);
    connect(&watcher, &QFileSystemWatcher::directoryChanged, &settle, qOverload<>(&QTimer::start));
}

CardModel::~CardModel()
{
    reading.waitForFinished();
}

void CardModel::watch()
{
    const QStringList wanted{chosen.root(), ledger.folder()};
    const QStringList watched = watcher.directories();
    for (const QString &folder : watched) {
        if (!wanted.contains(folder))
            watcher.removePath(folder);
    }
    // A folder not there (a card taken out, no proof made yet) is added
    // when a later reading finds it.
    for (const QString &folder : wanted) {
        if (!folder.isEmpty() && !watched.contains(folder) && QFileInfo(folder).isDir())
            watcher.addPath(folder);
    }
}

void CardModel::setCard(const CardIdentity &card)
{
    chosen = card;
    lookAgain.stop();
    if (!chosen.isValid()) {
        if (!watcher.directories().isEmpty())
            watcher.removePaths(watcher.directories());
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
    watch();
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
    // While this process's job has the card, a card taken out is the job's
    // to tell (it waits for the card); its product stays as it was rather
    // than what a missing card would make of it (bound to another card).
    if (writing && !read.isValid() && current.isValid() && current.identity().sameCard(chosen))
        return;
    current = read;
    if (!writing && current.productState() == CardState::Product::BeingWritten)
        lookAgain.start();
    emit changed();
}
