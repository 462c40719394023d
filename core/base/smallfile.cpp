#include "base/smallfile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SmallFile {

bool read(int folder, const QString &path, qint64 limit, QByteArray *content, QString *why)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::openat(folder, native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        *why = QStringLiteral("%1 is not a regular file").arg(path);
        return false;
    }
    if (status.st_size > limit) {
        ::close(fd);
        *why = QStringLiteral("%1 is %2 bytes, larger than the %3 bytes such a file may hold")
                   .arg(path)
                   .arg(qint64(status.st_size))
                   .arg(limit);
        return false;
    }
    // One byte more than the file said it holds tells a file that grew.
    const qint64 room = qint64(status.st_size) + 1;
    QByteArray buffer(room, Qt::Uninitialized);
    qint64 total = 0;
    while (total < room) {
        const ssize_t got = ::read(fd, buffer.data() + total, size_t(room - total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *why = QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            ::close(fd);
            return false;
        }
        if (got == 0)
            break;
        total += got;
    }
    ::close(fd);
    if (total >= room) {
        *why = QStringLiteral("%1 grew while it was read").arg(path);
        return false;
    }
    buffer.truncate(total);
    *content = buffer;
    return true;
}

bool read(const QString &path, qint64 limit, QByteArray *content, QString *why)
{
    return read(AT_FDCWD, path, limit, content, why);
}

bool readIfThere(const QString &path, qint64 limit, QByteArray *content, QString *why)
{
    why->clear();
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 && errno == ENOENT)
        return false;
    return read(path, limit, content, why);
}

} // namespace SmallFile
