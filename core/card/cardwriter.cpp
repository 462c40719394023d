#include "card/cardwriter.h"

#include <QDebug>
#include <QFile>
#include <QSet>
#include <QStringTokenizer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <mutex>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "card/cardfolders.h"
#include "card/groupcommit.h"

namespace {

// A file read from the medium, not from the computer's memory of it:
// directly where the file system allows it, else through the page cache
// after the file's pages were dropped from it. A direct read passes the
// cache by itself: dropping the pages of every file read back cost the
// readers an eighth of their time on a product of small files.
struct MediumReads
{
    explicit MediumReads(int file)
        : fd(file)
        , flags(::fcntl(file, F_GETFL))
        , direct(::fcntl(file, F_SETFL, flags | O_DIRECT) == 0)
    {
        if (!direct)
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    // From here through the cache (a file system that wants another
    // alignment, or a read that ended unaligned).
    void buffered()
    {
        direct = false;
        ::fcntl(fd, F_SETFL, flags);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }

    const int fd;
    const int flags;
    bool direct;
};

std::atomic_bool syncOn{true};

const QString temporarySuffix = QStringLiteral(".qdtmp");

// Direct reads need buffers, offsets and lengths aligned to the device's
// blocks; 4 KiB covers the cards and disks there are. A read-back asks for
// 4 MiB at a time: a card (and this disk) delivers a direct read of that size
// about a sixth faster than one of 1 MiB.
constexpr qint64 directAlignment = 4096;
constexpr qint64 readBackPiece = 4 << 20;
// The root of a card the tool made holds a few hundred files; more is not
// such a card, and its temporaries are left alone.
constexpr int maxTemporaryListing = 100000;
std::atomic_bool verifyOn{true};

QByteArray native(const QString &name)
{
    return QFile::encodeName(name);
}

void closeFd(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

QString folderOf(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : path.left(slash);
}

QString nameOf(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// A buffer for direct reads, one per thread and size for every file: a
// fresh one per file is mapped, faulted in page by page and unmapped again,
// thousands of times on a product of small files. Null when there is no
// memory for it.
template<qint64 Size>
char *directReadBuffer()
{
    thread_local const std::unique_ptr<char, decltype(&std::free)> buffer(
        static_cast<char *>(std::aligned_alloc(directAlignment, Size)), &std::free);
    return buffer.get();
}

bool isLink(int folder, const QByteArray &name)
{
    struct stat status {};
    return ::fstatat(folder, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

} // namespace

struct CardWriter::Durability
{
    // The flush opens the root like any other writer of the card, and takes
    // a confirmation that still stands instead of reading the card's media
    // file again: once per batch of small files, that was most of the
    // flushing threads' own work.
    Durability(const CardIdentity &identity, const std::shared_ptr<Confirmation> &confirmed)
        : group([identity, confirmed] { return syncRootOf(identity, *confirmed); })
    {
    }
    GroupCommit group;
    // Whether a flush of the card's file system reaches its medium:
    // -1 not known yet, then 0 or 1.
    std::atomic_int shared{-1};
};

// The root folder as last confirmed in full, shared by copies of a writer
// and the threads that use them.
struct CardWriter::Confirmation
{
    // Whether root (as fstat saw it) is the folder confirmed in full within
    // confirmInterval of now.
    bool stands(const struct stat &root, std::chrono::steady_clock::time_point now)
    {
        const std::lock_guard<std::mutex> held(lock);
        return valid && device == root.st_dev && inode == root.st_ino
               && now - at < std::chrono::milliseconds(confirmInterval);
    }
    // A full confirmation of root at now; without root, none stands.
    void record(const struct stat *root, std::chrono::steady_clock::time_point now)
    {
        const std::lock_guard<std::mutex> held(lock);
        valid = root != nullptr;
        if (root) {
            device = root->st_dev;
            inode = root->st_ino;
            at = now;
        }
    }

private:
    std::mutex lock;
    bool valid = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::chrono::steady_clock::time_point at;
};

CardWriter::CardWriter(const CardIdentity &identity)
    : card(identity)
    , confirmation(std::make_shared<Confirmation>())
{
    durability = std::make_shared<Durability>(identity, confirmation);
}

bool CardWriter::isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || path.contains(QLatin1Char('\\')) || path.contains(QLatin1Char(':'))
        || path.contains(QChar(0)))
        return false;
    // Every record of a list passes here: no list of parts is made.
    for (const QStringView part : QStringTokenizer(path, u'/')) {
        if (part.isEmpty() || part == u"." || part == u"..")
            return false;
    }
    return true;
}

void CardWriter::setBenchmarkShortcuts(bool sync, bool verify)
{
    syncOn = sync;
    verifyOn = verify;
}

bool CardWriter::syncing()
{
    return syncOn;
}

bool CardWriter::verifying()
{
    return verifyOn;
}

QString CardWriter::temporaryName(const QString &name)
{
    // A process id has at most seven digits (pid_max is 2^22).
    return name + QLatin1Char('.') + QString::number(qint64(::getpid())) + temporarySuffix;
}

CardResult CardWriter::openRoot(int *root, bool fully) const
{
    return openRootOf(card, *confirmation, root, fully);
}

CardResult CardWriter::openRootOf(const CardIdentity &card, Confirmation &confirmation, int *root, bool fully)
{
    *root = -1;
    const int fd = ::open(native(card.root()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return CardResult::failure(CardResult::CardGone, QString(), QStringLiteral("root cannot be opened"));
    struct stat status {};
    const bool known = ::fstat(fd, &status) == 0;
    const auto now = std::chrono::steady_clock::now();
    if (known && !fully && confirmation.stands(status, now)) {
        *root = fd;
        return CardResult();
    }
    QString why;
    bool another = false;
    if (!card.matchesRoot(fd, &why, &another)) {
        ::close(fd);
        confirmation.record(nullptr, now);
        return CardResult::failure(another ? CardResult::AnotherCard : CardResult::CardGone, QString(), why);
    }
    confirmation.record(known ? &status : nullptr, now);
    *root = fd;
    return CardResult();
}

CardResult CardWriter::verifyCard() const
{
    int root = -1;
    const CardResult result = openRoot(&root, true);
    closeFd(root);
    return result;
}

CardResult CardWriter::openFolder(int root, const QString &folderPath, bool create, int *folder,
                                  CardFolders *cache) const
{
    *folder = -1;
    // The walk starts at the deepest folder of the path that is open
    // already, else at the root.
    int start = root;
    qsizetype walkedTo = 0;
    if (cache && !folderPath.isEmpty()) {
        const int open = cache->deepest(folderPath, &walkedTo);
        if (open >= 0)
            start = open;
    }
    int current = ::fcntl(start, F_DUPFD_CLOEXEC, 0);
    if (current < 0)
        return CardResult::fromErrno(errno, QString());
    qsizetype position = walkedTo == 0 ? 0 : walkedTo + 1;
    while (!folderPath.isEmpty() && position <= folderPath.size()) {
        qsizetype slash = folderPath.indexOf(QLatin1Char('/'), position);
        if (slash < 0)
            slash = folderPath.size();
        const QByteArray name = native(folderPath.mid(position, slash - position));
        // Only named when something goes wrong: building it at every step
        // costs a deep path as much as the walk itself.
        const auto walked = [&] { return folderPath.left(slash); };
        int next = ::openat(current, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && create && (errno == ELOOP || errno == ENOTDIR) && isLink(current, name)) {
            // A link where the tool's folder belongs leads off the card; the
            // link goes, a real folder takes its place.
            qWarning() << "Replacing a link on the card with a folder:" << walked();
            if (::unlinkat(current, name.constData(), 0) != 0) {
                const int error = errno;
                ::close(current);
                return CardResult::fromErrno(error, walked());
            }
            errno = ENOENT;
        }
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(current, name.constData(), 0777) != 0 && errno != EEXIST) {
                const int error = errno;
                ::close(current);
                return CardResult::fromErrno(error, walked());
            }
            if (syncOn)
                ::fsync(current);
            next = ::openat(current, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) {
            const int error = errno;
            ::close(current);
            return CardResult::fromErrno(error, walked());
        }
        ::close(current);
        current = next;
        position = slash + 1;
    }
    if (cache && walkedTo < folderPath.size()) {
        const int kept = ::fcntl(current, F_DUPFD_CLOEXEC, 0);
        if (kept >= 0)
            cache->insert(folderPath, kept);
    }
    *folder = current;
    return CardResult();
}

CardResult CardWriter::openIn(int folder, const QString &relative, const QString &name, int flags, int *fd) const
{
    const QByteArray bytes = native(name);
    const bool creating = flags & O_CREAT;
    const bool writing = (flags & O_ACCMODE) != O_RDONLY;
    // Truncated only once the file is known to be the card's alone.
    const int openFlags = (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int opened = ::openat(folder, bytes.constData(), openFlags, 0666);
    if (opened < 0 && creating && errno == ELOOP && isLink(folder, bytes)) {
        qWarning() << "Replacing a link on the card with a file:" << relative;
        if (::unlinkat(folder, bytes.constData(), 0) != 0)
            return CardResult::fromErrno(errno, relative);
        opened = ::openat(folder, bytes.constData(), openFlags, 0666);
    }
    if (opened < 0)
        return CardResult::fromErrno(errno, relative);
    struct stat status {};
    if (::fstat(opened, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(opened);
        return CardResult::failure(CardResult::NotAFile, relative);
    }
    if (writing && status.st_nlink > 1) {
        // A hard link: the same bytes may also be a file outside the card,
        // and writing them in place would change that file too. Bytes
        // counted there are not the card's own; a fresh file takes the name.
        ::close(opened);
        if (!creating)
            return CardResult::failure(CardResult::NotAFile, relative);
        qWarning() << "Replacing a file that has other names with a file of its own:" << relative;
        if (::unlinkat(folder, bytes.constData(), 0) != 0)
            return CardResult::fromErrno(errno, relative);
        opened = ::openat(folder, bytes.constData(), openFlags | O_EXCL, 0666);
        if (opened < 0)
            return CardResult::fromErrno(errno, relative);
        status.st_size = 0;
    }
    if ((flags & O_TRUNC) && status.st_size > 0 && ::ftruncate(opened, 0) != 0) {
        const int error = errno;
        ::close(opened);
        return CardResult::fromErrno(error, relative);
    }
    *fd = opened;
    return CardResult();
}

CardResult CardWriter::open(const QString &path, Mode mode, CardFile *file, CardFolders *folders) const
{
    if (!isSafeRelativePath(path))
        return CardResult::failure(CardResult::BadPath, path);
    int root = -1;
    CardResult result = openRoot(&root);
    if (!result.ok())
        return result;
    if (folders)
        folders->checkRoot(root);
    const QString name = nameOf(path);
    const bool create = mode == Mode::Append || mode == Mode::Truncate;
    int flags = O_RDONLY;
    if (mode == Mode::Append)
        flags = O_RDWR | O_CREAT | O_APPEND;
    else if (mode == Mode::Extend)
        flags = O_RDWR | O_APPEND;
    else if (mode == Mode::Truncate)
        flags = O_RDWR | O_CREAT | O_TRUNC;
    int folder = -1;
    int fd = -1;
    result = openFolder(root, folderOf(path), create, &folder, folders);
    if (result.ok())
        result = openIn(folder, path, name, flags, &fd);
    if (!result.ok() && folders && folders->size() > 0 && result.errorNumber() == ENOENT) {
        // A folder kept open was removed since: walked again from the root,
        // as every open did before folders were kept.
        closeFd(folder);
        folder = -1;
        folders->clear();
        result = openFolder(root, folderOf(path), create, &folder);
        if (result.ok())
            result = openIn(folder, path, name, flags, &fd);
    }
    ::close(root);
    if (!result.ok()) {
        closeFd(folder);
        return result;
    }
    CardFile opened;
    opened.fd = fd;
    opened.folder = folder;
    opened.relative = path;
    opened.owner = this;
    *file = std::move(opened);
    return CardResult();
}

CardResult CardWriter::writeWholeFile(const QString &path, const QList<QByteArray> &parts) const
{
    if (!isSafeRelativePath(path))
        return CardResult::failure(CardResult::BadPath, path);
    const QString temporary = temporaryName(path);
    CardFile file;
    CardResult result = open(temporary, Mode::Truncate, &file);
    if (!result.ok())
        return result.at(path);
    const QByteArray name = native(nameOf(path));
    const QByteArray temporaryBytes = native(nameOf(temporary));
    const int folder = file.folder;
    for (const QByteArray &part : parts) {
        if (result.ok())
            result = file.write(part);
    }
    if (result.ok())
        result = file.sync();
    // The folder stays open for the rename; only the file is closed here.
    const int fd = file.fd;
    file.fd = -1;
    if (::close(fd) != 0 && result.ok() && errno != EINTR)
        result = file.failed(errno);
    if (result.ok() && ::renameat(folder, temporaryBytes.constData(), folder, name.constData()) != 0)
        result = file.failed(errno);
    if (!result.ok()) {
        // The old file was never touched; only the attempt goes.
        ::unlinkat(folder, temporaryBytes.constData(), 0);
        return result.at(path);
    }
    return file.syncFolder();
}

CardResult CardWriter::readFile(const QString &path, qint64 limit, QByteArray *bytes, qint64 *size) const
{
    CardFile file;
    CardResult result = open(path, Mode::Read, &file);
    if (!result.ok())
        return result;
    const qint64 length = file.size();
    if (size)
        *size = length;
    const qint64 wanted = qBound<qint64>(0, length, limit);
    QByteArray buffer(int(wanted), Qt::Uninitialized);
    result = file.readAt(0, buffer.data(), wanted);
    if (result.ok())
        *bytes = buffer;
    return result;
}

CardResult CardWriter::readBack(const QString &path, qint64 from,
                                const std::function<void(const char *, qint64)> &consume,
                                const std::atomic_bool *abandon, CardFolders *folders) const
{
    CardFile file;
    CardResult result = open(path, Mode::Read, &file, folders);
    if (!result.ok())
        return result;
    const int fd = file.fd;
    MediumReads medium(fd);

    char *const buffer = directReadBuffer<readBackPiece>();
    if (!buffer)
        return CardResult::failure(CardResult::Failed, path, QStringLiteral("no memory to read back"));
    struct stat status {};
    const qint64 length = ::fstat(fd, &status) == 0 ? qint64(status.st_size) : readBackPiece;
    // Reads start on a block boundary; what lies before from is skipped.
    qint64 position = from - from % directAlignment;
    for (;;) {
        if (abandon && *abandon)
            return CardResult::failure(CardResult::Failed, path, QStringLiteral("abandoned"));
        // A direct read asked past the end has the kernel fill the rest of
        // the request with zeros: ask for what the file holds, in whole
        // blocks (a file grown since still reads to its new end).
        const qint64 left = length - position;
        const qint64 blocks = (left + directAlignment - 1) / directAlignment;
        const qint64 piece = left > 0 ? qMin(readBackPiece, blocks * directAlignment) : readBackPiece;
        const ssize_t got = ::pread(fd, buffer, size_t(piece), off_t(position));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EINVAL && medium.direct) {
            // The file system took the flag but wants another alignment: read
            // through the cache, emptied of this file above.
            medium.buffered();
            continue;
        }
        if (got < 0)
            return file.failed(errno);
        if (got == 0)
            break;
        const qint64 skip = qBound<qint64>(0, from - position, qint64(got));
        if (got > skip)
            consume(buffer + skip, got - skip);
        position += got;
        // A direct read comes back short only at the file's end: once it
        // has reached the length the file had, the end is where it stopped
        // (one more read past it would go through the cache, its pages to be
        // dropped, for no byte). Short before that length, the next offset
        // is unaligned, and the rest comes through the cache.
        if (medium.direct && got < piece) {
            if (position >= length)
                break;
            medium.buffered();
        }
    }
    return CardResult();
}

CardResult CardWriter::readBlocks(const QString &path, QList<BlockSampler::Sample> *blocks,
                                  CardFolders *folders) const
{
    CardFile file;
    CardResult result = open(path, Mode::Read, &file, folders);
    if (!result.ok())
        return result;
    const int fd = file.fd;
    MediumReads medium(fd);
    char *const buffer = directReadBuffer<BlockSampler::blockSize>();
    if (!buffer)
        return CardResult::failure(CardResult::Failed, path, QStringLiteral("no memory to read back"));
    for (BlockSampler::Sample &block : *blocks) {
        ssize_t got;
        do {
            got = ::pread(fd, buffer, size_t(BlockSampler::blockSize), off_t(block.offset));
        } while (got < 0 && errno == EINTR);
        if (got < 0 && errno == EINVAL && medium.direct) {
            medium.buffered();
            got = ::pread(fd, buffer, size_t(BlockSampler::blockSize), off_t(block.offset));
        }
        if (got < 0)
            return file.failed(errno);
        block.digest = BlockSampler::digest(buffer, qMin<qint64>(got, block.length));
    }
    return CardResult();
}

CardResult CardWriter::openFolderForWatching(const QString &folder, int *fd, CardFolders *folders) const
{
    *fd = -1;
    if (!folder.isEmpty() && !isSafeRelativePath(folder))
        return CardResult::failure(CardResult::BadPath, folder);
    int root = -1;
    CardResult result = openRoot(&root);
    if (!result.ok())
        return result;
    if (folders)
        folders->checkRoot(root);
    result = openFolder(root, folder, false, fd, folders);
    // A folder kept open may have been moved since: the walk from the root
    // says where the path leads now.
    if (!result.ok() && folders && folders->size() > 0 && result.errorNumber() == ENOENT) {
        folders->clear();
        result = openFolder(root, folder, false, fd, folders);
    }
    ::close(root);
    return result;
}

CardResult CardWriter::syncCard() const
{
    return syncRootOf(card, *confirmation);
}

CardResult CardWriter::syncRootOf(const CardIdentity &card, Confirmation &confirmation)
{
    int root = -1;
    const CardResult result = openRootOf(card, confirmation, &root, false);
    if (!result.ok())
        return result;
    const int failed = syncOn && ::syncfs(root) != 0 ? errno : 0;
    ::close(root);
    return failed ? CardResult::fromErrno(failed, QString()) : result;
}

CardResult CardWriter::makeDurable(CardFile &file) const
{
    if (!syncOn)
        return CardResult();
    if (durability->shared < 0) {
        int root = -1;
        const CardResult opened = openRoot(&root);
        if (!opened.ok())
            return opened;
        durability->shared = CardFilesystem::flushReachesMedium(root) ? 1 : 0;
        ::close(root);
    }
    if (durability->shared)
        return durability->group.flushCovering();
    const CardResult synced = file.sync();
    return synced.ok() ? file.syncFolder() : synced;
}

quint64 CardWriter::sharedFlushes() const
{
    return durability->group.flushes();
}

CardResult CardWriter::filesystem(CardFilesystem::Kind *kind) const
{
    int root = -1;
    const CardResult result = openRoot(&root);
    if (!result.ok())
        return result;
    *kind = CardFilesystem::detect(root);
    ::close(root);
    return result;
}

CardResult CardWriter::rename(const QString &from, const QString &to) const
{
    if (!isSafeRelativePath(from))
        return CardResult::failure(CardResult::BadPath, from);
    if (!isSafeRelativePath(to))
        return CardResult::failure(CardResult::BadPath, to);
    int root = -1;
    CardResult result = openRoot(&root);
    if (!result.ok())
        return result;
    const QString fromParts = folderOf(from);
    const QString toParts = folderOf(to);
    const QByteArray fromName = native(nameOf(from));
    const QByteArray toName = native(nameOf(to));
    int fromFolder = -1;
    int toFolder = -1;
    result = openFolder(root, fromParts, false, &fromFolder);
    if (result.ok())
        result = openFolder(root, toParts, true, &toFolder);
    ::close(root);
    if (result.ok() && ::renameat(fromFolder, fromName.constData(), toFolder, toName.constData()) != 0)
        result = CardResult::fromErrno(errno, to);
    if (result.ok() && syncOn) {
        if (::fsync(toFolder) != 0 && errno != EINVAL)
            result = CardResult::fromErrno(errno, to);
        else if (fromParts != toParts && ::fsync(fromFolder) != 0 && errno != EINVAL)
            result = CardResult::fromErrno(errno, from);
    }
    closeFd(fromFolder);
    closeFd(toFolder);
    if (!result.ok() && !verifyCard().ok())
        return CardResult::failure(CardResult::CardGone, to);
    return result;
}

CardResult CardWriter::remove(const QString &path) const
{
    if (!isSafeRelativePath(path))
        return CardResult::failure(CardResult::BadPath, path);
    int root = -1;
    CardResult result = openRoot(&root);
    if (!result.ok())
        return result;
    const QByteArray name = native(nameOf(path));
    int folder = -1;
    result = openFolder(root, folderOf(path), false, &folder);
    ::close(root);
    if (!result.ok())
        return result.errorNumber() == ENOENT ? CardResult() : result;
    if (::unlinkat(folder, name.constData(), 0) != 0 && errno != ENOENT)
        result = CardResult::fromErrno(errno, path);
    if (result.ok() && syncOn)
        ::fsync(folder);
    ::close(folder);
    return result;
}

CardResult CardWriter::removeProductFiles(const QStringList &paths) const
{
    int root = -1;
    CardResult result = openRoot(&root);
    if (!result.ok())
        return result;
    QStringList sorted = paths;
    sorted.sort();
    QSet<QString> left;
    int folder = -1;
    QString openPath;
    const auto closeOpen = [&] {
        if (folder >= 0 && syncOn)
            ::fsync(folder);
        closeFd(folder);
        folder = -1;
    };
    for (const QString &path : std::as_const(sorted)) {
        const QString folderPath = folderOf(path);
        if (folderPath.isEmpty() || !isSafeRelativePath(path))
            continue;
        if (folder < 0 || folderPath != openPath) {
            closeOpen();
            openPath = folderPath;
            const CardResult opened = openFolder(root, folderPath, false, &folder);
            if (!opened.ok()) {
                folder = -1;
                // Gone already, or a link where a folder was: nothing of the
                // card's to remove there.
                if (opened.problem() == CardResult::CardGone || opened.problem() == CardResult::AnotherCard) {
                    result = opened;
                    break;
                }
                continue;
            }
        }
        if (::unlinkat(folder, native(nameOf(path)).constData(), 0) != 0 && errno != ENOENT && errno != EISDIR
            && errno != EPERM) {
            result = CardResult::fromErrno(errno, path);
            break;
        }
        for (QString up = folderPath; !up.isEmpty(); up = folderOf(up))
            left.insert(up);
    }
    closeOpen();
    // Deepest first, so that a folder emptied of folders goes too.
    QStringList folders(left.cbegin(), left.cend());
    std::sort(folders.begin(), folders.end(), [](const QString &a, const QString &b) {
        return a.count(QLatin1Char('/')) > b.count(QLatin1Char('/'));
    });
    for (const QString &path : std::as_const(folders)) {
        if (!result.ok())
            break;
        int parent = -1;
        if (!openFolder(root, folderOf(path), false, &parent).ok())
            continue;
        // One that still holds anything (ENOTEMPTY), or is a link, stays.
        if (::unlinkat(parent, native(nameOf(path)).constData(), AT_REMOVEDIR) == 0 && syncOn)
            ::fsync(parent);
        closeFd(parent);
    }
    ::close(root);
    return result;
}

CardResult CardWriter::listFiles(const QString &folderPath, int limit, QStringList *names) const
{
    names->clear();
    if (!folderPath.isEmpty() && !isSafeRelativePath(folderPath))
        return CardResult::failure(CardResult::BadPath, folderPath);
    int root = -1;
    CardResult result = openRoot(&root);
    if (!result.ok())
        return result;
    int folder = -1;
    result = openFolder(root, folderPath, false, &folder);
    ::close(root);
    if (!result.ok())
        return result.errorNumber() == ENOENT ? CardResult() : result;
    DIR *listing = ::fdopendir(folder);
    if (!listing) {
        const int error = errno;
        ::close(folder);
        return CardResult::fromErrno(error, folderPath);
    }
    while (const dirent *entry = ::readdir(listing)) {
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat status {};
            regular = ::fstatat(::dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0
                      && S_ISREG(status.st_mode);
        }
        if (!regular)
            continue;
        if (names->size() >= limit) {
            result = CardResult::failure(CardResult::Failed, folderPath, QStringLiteral("too many files"));
            break;
        }
        names->append(QFile::decodeName(entry->d_name));
    }
    ::closedir(listing);
    return result;
}

CardResult CardWriter::survey(const QStringList &paths, QList<Facts> *facts) const
{
    facts->clear();
    facts->reserve(paths.size());
    return survey(paths, [facts](qsizetype, const Facts &found) { facts->append(found); });
}

CardResult CardWriter::survey(const QStringList &paths, QHash<QString, Facts> *facts) const
{
    facts->reserve(facts->size() + paths.size());
    return survey(paths, [&](qsizetype i, const Facts &found) { facts->insert(paths.at(i), found); });
}

CardResult CardWriter::survey(const QStringList &paths, const std::function<void(qsizetype, const Facts &)> &take) const
{
    int root = -1;
    CardResult result = openRoot(&root);
    if (!result.ok())
        return result;
    // Each folder once, each from its parent where that is open: a product
    // of thousands of files lives in a few folders, or in a deep chain.
    CardFolders folders;
    folders.checkRoot(root);
    QString openPath;
    int open = -1;
    bool tried = false;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const QString &path = paths.at(i);
        Facts found;
        if (isSafeRelativePath(path)) {
            const QString folderPath = folderOf(path);
            if (!tried || folderPath != openPath) {
                closeFd(open);
                openPath = folderPath;
                openFolder(root, openPath, false, &open, &folders);
                tried = true;
            }
            struct stat status {};
            if (open >= 0 && ::fstatat(open, native(nameOf(path)).constData(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
                found.exists = true;
                // A file with other names may be one outside the card: it
                // is neither kept nor resumed, but fetched into a file of
                // the card's own.
                found.regular = S_ISREG(status.st_mode) && status.st_nlink == 1;
                found.size = found.regular ? qint64(status.st_size) : 0;
                const auto ms = [](const timespec &t) { return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000; };
                found.modifiedMs = ms(status.st_mtim);
                found.statusChangedMs = ms(status.st_ctim);
            }
        }
        take(i, found);
    }
    closeFd(open);
    ::close(root);
    return result;
}

CardResult CardWriter::fileOnPath(const QStringList &folders, const QSet<QString> &passable) const
{
    int root = -1;
    CardResult result = openRoot(&root);
    if (!result.ok())
        return result;
    CardFolders kept;
    kept.checkRoot(root);
    for (const QString &folder : folders) {
        int open = -1;
        const CardResult walked = isSafeRelativePath(folder) ? openFolder(root, folder, false, &open, &kept)
                                                             : CardResult();
        closeFd(open);
        // The walk stops at the first name that is not a folder, and names
        // it; a link there is the tool's to replace.
        struct stat status {};
        if (walked.errorNumber() == ENOTDIR && !passable.contains(walked.path())
            && ::fstatat(root, native(walked.path()).constData(), &status, AT_SYMLINK_NOFOLLOW) == 0
            && !S_ISLNK(status.st_mode)) {
            result = walked;
            break;
        }
    }
    ::close(root);
    return result;
}

CardResult CardWriter::removeTemporaries(const QString &folderPath) const
{
    QStringList names;
    CardResult result = listFiles(folderPath, maxTemporaryListing, &names);
    if (!result.ok())
        return result;
    for (const QString &name : std::as_const(names)) {
        if (!name.endsWith(temporarySuffix))
            continue;
        qInfo() << "Removing a temporary left on the card:" << name;
        const CardResult removed = remove(folderPath.isEmpty() ? name : folderPath + QLatin1Char('/') + name);
        if (result.ok())
            result = removed;
    }
    return result;
}
