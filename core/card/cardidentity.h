#pragma once

#include <QString>

#include <sys/types.h>

// Which card a folder is: the file system its root lives on and the media id
// its ENCRYPT.TXT holds. Everything that writes to a card checks it first, so
// that a card pulled out (its mount point then lies on the computer's own
// disk) or swapped for another is never written to; the window's card watcher
// uses the same test to tell a returning card from a different one.
class CardIdentity
{
public:
    // A real ENCRYPT.TXT is a few hundred bytes; anything far larger is not one.
    static constexpr qint64 maxMediaFileSize = 1 << 20;

    CardIdentity() = default;

    // The identity of the card whose root is root: its ENCRYPT.TXT is looked
    // up there with the name compared without regard to case.
    static CardIdentity fromRoot(const QString &root);
    // The identity of the card that holds this ENCRYPT.TXT (any letter case).
    static CardIdentity fromMediaFile(const QString &mediaFilePath);
    // A folder of the tool's own (an update's staging in the data folder),
    // written with the same care as a card: it has no media file, and is the
    // same folder for as long as it lies on the same file system.
    static CardIdentity ofOwnFolder(const QString &folder);

    // True when the root was found, the media file was a regular file within
    // the size limit, and it holds a media id.
    bool isValid() const { return valid; }
    // Same file system and same media id. Two invalid identities are never
    // the same card.
    bool sameCard(const CardIdentity &other) const;
    // Reads the card again and compares: the card is in and is this card.
    bool stillPresent() const;
    // The same test for a root folder already open: its file system and the
    // media id read through it, so that what is checked is what is written.
    // another is set when the folder holds a card, but not this one.
    bool matchesRoot(int rootFolder, QString *why = nullptr, bool *another = nullptr) const;

    QString root() const { return rootPath; }
    QString mediaFilePath() const { return mediaFile; }
    dev_t device() const { return rootDevice; }
    // The whole text of ENCRYPT.TXT, as the service wants it for "device_id".
    QString mediaText() const { return text; }
    // The simplified middle field of that text.
    QString rawMediaId() const { return mediaId; }
    // Why the identity is not valid, for the log; empty when it is.
    QString problem() const { return reason; }

private:
    static CardIdentity read(const QString &root, const QString &mediaFile);

    QString rootPath;
    QString mediaFile;
    dev_t rootDevice = 0;
    QString text;
    QString mediaId;
    QString reason;
    bool valid = false;
    bool ownFolder = false;
};
