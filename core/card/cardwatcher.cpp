#include "card/cardwatcher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <sys/stat.h>

#include "card/removablemedia.h"

CardWatcher::CardWatcher(QObject *parent)
    : QObject(parent)
{
    connect(&timer, &QTimer::timeout, this, &CardWatcher::poll);
}

void CardWatcher::start(int interval)
{
    timer.start(interval);
    poll();
}

void CardWatcher::stop()
{
    timer.stop();
}

QList<CardIdentity> CardWatcher::cards() const
{
    QList<CardIdentity> present;
    for (const Seen &seen : roots) {
        if (seen.card.isValid())
            present << seen.card;
    }
    std::sort(present.begin(), present.end(),
              [](const CardIdentity &a, const CardIdentity &b) { return a.root() < b.root(); });
    return present;
}

void CardWatcher::setChosenCard(const CardIdentity &card)
{
    chosen = card;
    chosenPresent = card.isValid();
}

QStringList CardWatcher::candidateRoots()
{
    QStringList candidates;
    if (qEnvironmentVariable(watchMountsVariable) != QLatin1String("0")) {
        if (!media) {
            media = new RemovableMedia(this);
            connect(media, &RemovableMedia::changed, this, &CardWatcher::poll);
            media->start();
        }
        candidates << media->mountPoints();
    }
    const QString extra = qEnvironmentVariable(watchDirsVariable);
    for (const QString &folder : extra.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QDir dir(folder);
        for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            candidates << dir.absoluteFilePath(name);
    }
    // One card reached by several paths (a link, a bind mount) is one card:
    // listed twice it would be two to choose from, and none chosen by
    // itself. The path that is no link stands for it.
    std::stable_sort(candidates.begin(), candidates.end(), [](const QString &a, const QString &b) {
        return !QFileInfo(a).isSymLink() && QFileInfo(b).isSymLink();
    });
    QStringList unique;
    QSet<QPair<quint64, quint64>> folders;
    for (const QString &candidate : std::as_const(candidates)) {
        struct stat status {};
        if (::stat(QFile::encodeName(candidate).constData(), &status) == 0) {
            const QPair<quint64, quint64> folder{quint64(status.st_dev), quint64(status.st_ino)};
            if (folders.contains(folder))
                continue;
            folders.insert(folder);
        }
        unique << candidate;
    }
    return unique;
}

void CardWatcher::poll()
{
    const QStringList candidates = candidateRoots();
    QHash<QString, Seen> now;
    for (const QString &root : candidates) {
        struct stat status {};
        if (::stat(QFile::encodeName(root).constData(), &status) != 0 || !S_ISDIR(status.st_mode))
            continue;
        Seen seen;
        seen.device = qint64(status.st_dev);
        seen.modified = qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
        const auto known = roots.constFind(root);
        if (known != roots.cend() && known->device == seen.device && known->modified == seen.modified)
            seen.card = known->card;
        else
            seen.card = CardIdentity::fromRoot(root);
        now.insert(root, seen);
    }

    // Removals first, so that a card swapped for another at the same mount
    // point is reported gone before the new one is reported.
    const QHash<QString, Seen> before = std::exchange(roots, now);
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        const CardIdentity &old = it->card;
        if (old.isValid() && !old.sameCard(now.value(it.key()).card))
            emit cardRemoved(old);
    }
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        if (it->card.isValid() && !it->card.sameCard(before.value(it.key()).card))
            emit cardAppeared(it->card);
    }

    if (chosen.isValid()) {
        const bool present = chosen.stillPresent();
        if (present != chosenPresent) {
            chosenPresent = present;
            if (present) {
                emit chosenCardBack(chosen);
            } else {
                // The listener may forget its choice while it hears this.
                const CardIdentity lost = chosen;
                emit chosenCardLost(lost);
                for (const CardIdentity &card : cards()) {
                    if (!card.sameCard(lost))
                        emit cardAppeared(card);
                }
            }
        }
    }
}
