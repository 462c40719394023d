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

int CardFolders::find(QStringView path)
{
    for (Entry &entry : entries) {
        if (entry.path.size() == path.size() && entry.path == path) {
            entry.used = ++clock;
            return entry.fd;
        }
    }
    return -1;
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
