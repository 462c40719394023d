#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

#include "card/blocksampler.h"
#include "card/cardfile.h"
#include "card/cardfilesystem.h"
#include "card/cardidentity.h"
#include "card/cardresult.h"

class CardFolders;

// Every byte the tool puts on a card goes through here. Before anything is
// opened the card is confirmed to be the one chosen (same file system, same
// media id read again through the root folder), so a pulled card, whose
// mount point then lies on the computer's own disk, or a different card in
// its place is never written. A root opened again within confirmInterval of
// the last full confirmation that is still the very same folder (same file
// system, same inode) is taken without reading the media file again: a
// product of small files opens each file three times (written, read back,
// sampled), and the media file was read for every one of them. A folder put
// in the card's place is another inode, and no card is taken out and
// another mounted in a quarter of a second. Paths are walked from the root
// one component at a time without following links; folders are created
// below the root, never the root itself. Nothing is held open between
// operations (but what a caller's CardFolders keeps, and empties when it
// pauses), so a paused download does not keep the card from being ejected.
//
// Immutable after construction: one writer serves the GUI thread and the
// pool threads at once.
class CardWriter
{
public:
    enum class Mode {
        Read,     // an existing regular file
        Append,   // created when missing; writes go to its end
        Extend,   // an existing file (in existing folders); writes go to its end
        Truncate, // created when missing, emptied when present
    };

    struct Facts
    {
        bool exists = false;  // something is there
        bool regular = false; // and it is a regular file of the card's own (no link, no other name)
        qint64 size = 0;
        // When its content and its status last changed (ms since the
        // epoch): a rewrite of the same length shows here.
        qint64 modifiedMs = 0;
        qint64 statusChangedMs = 0;
    };

    // How long a full confirmation of the card stands for the opens that
    // follow it; verifyCard() always confirms in full.
    static constexpr int confirmInterval = 250; // ms

    explicit CardWriter(const CardIdentity &identity);

    const CardIdentity &identity() const { return card; }
    QString root() const { return card.root(); }

    // A relative path with "/" between non-empty components, none of them
    // "." or "..", without back-slashes, colons or NUL characters.
    static bool isSafeRelativePath(const QString &path);

    // The benchmark alone turns these off to measure what they cost; the
    // tool always syncs and verifies.
    static void setBenchmarkShortcuts(bool sync, bool verify);
    static bool syncing();
    static bool verifying();

    // The card is in and is the chosen card.
    CardResult verifyCard() const;
    // What lies at each path, without following links: the root is opened
    // once and each folder once. A path under a missing folder, or under a
    // link, does not exist.
    CardResult survey(const QStringList &paths, QHash<QString, Facts> *facts) const;
    // The same by position: facts->at(i) for paths.at(i).
    CardResult survey(const QStringList &paths, QList<Facts> *facts) const;
    // The first file of the card (not one of passable) that stands where a
    // folder of one of folders belongs, as a NotAFile result naming it; ok
    // when every folder can be made. Missing folders and links are no such
    // file: writing makes or replaces them.
    CardResult fileOnPath(const QStringList &folders, const QSet<QString> &passable) const;
    // Opens a regular file; Append and Truncate create missing folders, and
    // a link where a file or folder of the tool belongs is replaced, never
    // followed. With folders, the folders on the path that are open there
    // already are not walked again, and the file's folder is kept there.
    CardResult open(const QString &path, Mode mode, CardFile *file, CardFolders *folders = nullptr) const;
    // Replaces a whole file so that a crash or a full card leaves either the
    // old content or the new, never a mix: written under a temporary name in
    // the same folder, synced, renamed over the old one, folder synced.
    CardResult writeWholeFile(const QString &path, const QList<QByteArray> &parts) const;
    // At most limit bytes of a regular file; size receives its whole length.
    CardResult readFile(const QString &path, qint64 limit, QByteArray *bytes, qint64 *size = nullptr) const;
    // Whatever was changed on the card by anybody must be on the medium
    // before a read-back can judge it: call this first. One flush of the
    // whole card, because a flush per file costs a device cache flush each
    // (milliseconds apiece on thousands of files), even for a clean file.
    CardResult syncCard() const;

    // Makes what was written to file durable on the medium, its name with
    // it: by a flush of the whole card shared with every file that ends
    // close to it (GroupCommit), where the kernel's flush of a file system
    // reaches the medium; else (a card through FUSE) by the file's own sync
    // and its folder's. Blocks until then.
    CardResult makeDurable(CardFile &file) const;
    // Shared flushes of the card run for makeDurable so far.
    quint64 sharedFlushes() const;
    // Reads a whole file again from the medium, not from what the system
    // keeps of it in memory: bypassing the page cache where the file system
    // allows (O_DIRECT), else after the file's pages were dropped (written
    // out by syncCard before). A card that accepts writes and hands back
    // other bytes (a faulty or counterfeit one) shows only this way. consume
    // gets the bytes from position from to the end, in order and in bounded
    // pieces; abandon stops early (and says so). folders: those the calling
    // thread keeps open from one file to the next.
    CardResult readBack(const QString &path, qint64 from, const std::function<void(const char *, qint64)> &consume,
                        const std::atomic_bool *abandon = nullptr, CardFolders *folders = nullptr) const;
    // The kind of file system the card's root lies on.
    CardResult filesystem(CardFilesystem::Kind *kind) const;
    // Renames within the card (over an existing file) and syncs the folders.
    CardResult rename(const QString &from, const QString &to) const;
    // Removes a file (a link is removed, not its target); a missing one is fine.
    CardResult remove(const QString &path) const;
    // Removes the files of a product the card held before, each folder
    // flushed once, then the folders they leave empty. Only files within a
    // folder of the card: nothing at its root, nothing through a link, no
    // folder that still holds anything. Missing ones are fine.
    CardResult removeProductFiles(const QStringList &paths) const;
    // Names of at most limit regular files of a folder, unsorted; a missing
    // folder has none. More than limit is reported as a failure.
    CardResult listFiles(const QString &folder, int limit, QStringList *names) const;

    // The blocks of a file read again from the medium, as readBack reads,
    // each into its digest; at points where the file has become shorter,
    // the missing part reads as nothing.
    CardResult readBlocks(const QString &path, QList<BlockSampler::Sample> *blocks,
                          CardFolders *folders = nullptr) const;

    // An existing folder (relative to the root, "" for the root itself),
    // reached without following links, for a watch on its changes; the
    // caller closes *fd. With folders, walked from the deepest of them.
    CardResult openFolderForWatching(const QString &folder, int *fd, CardFolders *folders = nullptr) const;

    // Removes what whole-file writes left in a folder (the root when empty)
    // under their temporary names. Only for a writer that holds the card
    // alone: the temporaries of another writer at work would go too.
    CardResult removeTemporaries(const QString &folder) const;

    // The name a whole-file write uses while it is in progress: of this
    // process's own, so that two copies of the tool never write one file.
    static QString temporaryName(const QString &name);
    // The longest suffix temporaryName() adds.
    static constexpr int temporarySuffixLength = 14;

private:
    // fully: read the media file again whatever was confirmed before.
    CardResult openRoot(int *root, bool fully = false) const;
    // What lies at each path, handed to take with its place in paths.
    CardResult survey(const QStringList &paths, const std::function<void(qsizetype, const Facts &)> &take) const;
    // The folder at folderPath ("" for the root), walked from the deepest
    // folder of it open in cache, else from root; the caller closes it.
    CardResult openFolder(int root, const QString &folderPath, bool create, int *folder,
                          CardFolders *cache = nullptr) const;
    CardResult openIn(int folder, const QString &relative, const QString &name, int flags, int *fd) const;

    CardIdentity card;
    // Shared by copies of this writer: one batch of flushes per card.
    struct Durability;
    std::shared_ptr<Durability> durability;
    struct Confirmation;
    std::shared_ptr<Confirmation> confirmation;

    // openRoot() and syncCard() for the card's shared flush, which outlives
    // any one writer and keeps only what these need.
    static CardResult openRootOf(const CardIdentity &card, Confirmation &confirmation, int *root, bool fully);
    static CardResult syncRootOf(const CardIdentity &card, Confirmation &confirmation);
};
