#pragma once

#include <QList>
#include <QString>
#include <QStringView>

#include <sys/types.h>

// Folders of the card kept open from one file to the next, so that a path
// thousands of folders deep is walked once and not again from the root for
// every file below it (each step of a walk is one open without following
// links). Keyed by the folder's path relative to the card root and bounded,
// so that a product of thousands of folders does not run out of file
// descriptors. Tied to the root it was filled under: the card writer
// confirms the card on every open as before, and a root that is another
// folder now (another card at the mount point) empties it.
//
// Belongs to one thread, which empties it whenever its work pauses: an idle
// tool holds nothing open on the card, so the card can be ejected.
class CardFolders
{
public:
    static constexpr int capacity = 16;

    CardFolders() = default;
    ~CardFolders();
    Q_DISABLE_COPY_MOVE(CardFolders)

    // Closes every folder.
    void clear();
    int size() const { return int(entries.size()); }

private:
    friend class CardWriter;

    struct Entry
    {
        QString path;
        int fd = -1;
        quint64 used = 0;
    };

    // Empties the cache when root is not the folder it was filled under.
    void checkRoot(int root);
    // The deepest open folder that is path or holds it, or -1; *length
    // receives the length of its path (0 for none). The cache keeps it.
    int deepest(QStringView path, qsizetype *length);
    // Takes fd over, closing the folder used longest ago when full.
    void insert(const QString &path, int fd);

    QList<Entry> entries;
    quint64 clock = 0;
    bool rooted = false;
    dev_t rootDevice = 0;
    ino_t rootInode = 0;
};
