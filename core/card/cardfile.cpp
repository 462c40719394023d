#include "card/cardfile.h"

#include <QtGlobal>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "card/cardwriter.h"
#include "card/sha1stream.h"

namespace {
// Reads of a file being checked go in pieces this large: big enough that
// the per-call cost vanishes against the digest, small enough that several
// checks at once hold only a few MiB between them.
constexpr qint64 readPiece = 1 << 20;
} // namespace

CardFile::~CardFile()
{
    release();
}

CardFile::CardFile(CardFile &&other) noexcept
{
    *this = std::move(other);
}

CardFile &CardFile::operator=(CardFile &&other) noexcept
{
    if (this != &other) {
        release();
        fd = other.fd;
        folder = other.folder;
        writebackFrom = other.writebackFrom;
        relative = other.relative;
        owner = other.owner;
        other.fd = -1;
        other.folder = -1;
    }
    return *this;
}

void CardFile::release()
{
    if (fd >= 0)
        ::close(fd);
    if (folder >= 0)
        ::close(folder);
    fd = -1;
    folder = -1;
    writebackFrom = 0;
}

CardResult CardFile::failed(int errorNumber) const
{
    // A card pulled out mid-write shows as an I/O error or a vanished
    // device; the user needs to hear that the card is gone, not the errno.
    if (owner && !owner->verifyCard().ok())
        return CardResult::failure(CardResult::CardGone, relative);
    return CardResult::fromErrno(errorNumber, relative);
}

qint64 CardFile::size() const
{
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0)
        return -1;
    return qint64(status.st_size);
}

qint64 CardFile::linkedSize() const
{
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || status.st_nlink == 0)
        return -1;
    return qint64(status.st_size);
}

CardResult CardFile::write(const char *bytes, qint64 length)
{
    qint64 done = 0;
    while (done < length) {
        const ssize_t written = ::write(fd, bytes + done, size_t(qMin<qint64>(length - done, 1 << 30)));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return failed(errno);
        if (written == 0)
            return failed(ENOSPC); // nothing taken and no reason given: no room
        done += written;
    }
    return CardResult();
}

CardResult CardFile::truncate(qint64 length)
{
    if (::ftruncate(fd, off_t(length)) != 0)
        return failed(errno);
    return CardResult();
}

CardResult CardFile::readAt(qint64 position, char *bytes, qint64 length)
{
    qint64 done = 0;
    while (done < length) {
        const ssize_t got = ::pread(fd, bytes + done, size_t(length - done), off_t(position + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return failed(errno);
        if (got == 0)
            return CardResult::failure(CardResult::Failed, relative, QStringLiteral("shorter than expected"));
        done += got;
    }
    return CardResult();
}

CardResult CardFile::hashPrefix(qint64 length, Sha1Stream *hash, const std::atomic_bool *abandon)
{
    return readPrefix(length, [hash](const char *bytes, qint64 piece) { hash->update(bytes, piece); }, abandon);
}

CardResult CardFile::readPrefix(qint64 length, const std::function<void(const char *, qint64)> &feed,
                                const std::atomic_bool *abandon)
{
    QByteArray buffer(int(qMin(readPiece, qMax<qint64>(length, 1))), Qt::Uninitialized);
    qint64 position = 0;
    while (position < length) {
        if (abandon && *abandon)
            return CardResult::failure(CardResult::Failed, relative, QStringLiteral("abandoned"));
        const qint64 piece = qMin<qint64>(length - position, buffer.size());
        const CardResult read = readAt(position, buffer.data(), piece);
        if (!read.ok())
            return read;
        feed(buffer.constData(), piece);
        position += piece;
    }
    return CardResult();
}

CardResult CardFile::sync()
{
    if (CardWriter::syncing() && ::fdatasync(fd) != 0)
        return failed(errno);
    return CardResult();
}

void CardFile::startWriteback(qint64 position, qint64 length)
{
    const qint64 end = position + length;
    if (!CardWriter::syncing() || end - writebackFrom < writebackRun)
        return;
    // Advisory: a failure here shows again, and is reported, at the sync.
    ::sync_file_range(fd, off_t(writebackFrom), off_t(end - writebackFrom), SYNC_FILE_RANGE_WRITE);
    writebackFrom = end;
}

CardResult CardFile::syncFolder()
{
    if (CardWriter::syncing() && folder >= 0 && ::fsync(folder) != 0 && errno != EINVAL)
        return failed(errno);
    return CardResult();
}

CardResult CardFile::close()
{
    CardResult result;
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR)
        result = failed(errno);
    fd = -1;
    release();
    return result;
}
