#include "card/cardfolders.h"

#include <sys/stat.h>
#include <unistd.h>

CardFolders::~CardFolders()
{
    clear();
}

void CardFolders::clear()
{
    for (const Entry &entry : std::as_const(entries))
        ::close(entry.fd);
    entries.clear();
    rooted = false;
}

void CardFolders::checkRoot(int root)
{
    struct stat status {};
    if (::fstat(root, &status) != 0) {
        clear();
        return;
    }
    if (rooted && status.st_dev == rootDevice && status.st_ino == rootInode)
        return;
    clear();
    rooted = true;
    rootDevice = status.st_dev;
    rootInode = status.st_ino;
}

int CardFolders::deepest(QStringView path, qsizetype *length)
{
    // Each entry is compared once, however deep the path: a walk up from
    // its end would look the cache through at every one of its folders.
    Entry *best = nullptr;
    for (Entry &entry : entries) {
        const qsizetype size = entry.path.size();
        if (size == 0 || size > path.size() || (best && size <= best->path.size()))
            continue;
        if ((size == path.size() || path.at(size) == QLatin1Char('/')) && path.startsWith(entry.path))
            best = &entry;
    }
    *length = best ? best->path.size() : 0;
    if (!best)
        return -1;
    best->used = ++clock;
    return best->fd;
}

void CardFolders::insert(const QString &path, int fd)
{
    if (entries.size() >= capacity) {
        qsizetype oldest = 0;
        for (qsizetype i = 1; i < entries.size(); ++i) {
            if (entries.at(i).used < entries.at(oldest).used)
                oldest = i;
        }
        ::close(entries.at(oldest).fd);
        entries.removeAt(oldest);
    }
    entries.append({path, fd, ++clock});
}
