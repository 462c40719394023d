#include "base/atomicfile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

AtomicFile::AtomicFile(const QString &path)
    : path(path)
    , target(QFile::encodeName(path))
    // The process id keeps two copies of the tool from writing one temporary.
    , temporary(target + ".tmp" + QByteArray::number(qint64(::getpid())))
{
}

AtomicFile::~AtomicFile()
{
    discard();
}

void AtomicFile::discard()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    if (made)
        ::unlink(temporary.constData());
    made = false;
}

bool AtomicFile::fail(const QString &what, QString *why)
{
    const int saved = errno;
    discard();
    if (why)
        *why = what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(saved));
    return false;
}

bool AtomicFile::open(QString *why)
{
    fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return fail(QStringLiteral("cannot create %1").arg(QString::fromLocal8Bit(temporary)), why);
    made = true;
    return true;
}

bool AtomicFile::append(const char *data, qint64 size, QString *why)
{
    if (fd < 0) {
        errno = EBADF;
        return fail(QStringLiteral("cannot write %1").arg(path), why);
    }
    qint64 written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size_t(size - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return fail(QStringLiteral("cannot write %1").arg(path), why);
        }
        written += n;
    }
    return true;
}

bool AtomicFile::commit(QString *why)
{
    if (fd < 0) {
        errno = EBADF;
        return fail(QStringLiteral("cannot sync %1").arg(path), why);
    }
    if (::fdatasync(fd) != 0)
        return fail(QStringLiteral("cannot sync %1").arg(path), why);
    const int closing = fd;
    fd = -1;
    if (::close(closing) != 0)
        return fail(QStringLiteral("cannot sync %1").arg(path), why);
    if (::rename(temporary.constData(), target.constData()) != 0)
        return fail(QStringLiteral("cannot rename to %1").arg(path), why);
    made = false;
    const int folder = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

bool AtomicFile::write(const QString &path, const QByteArray &bytes, QString *why)
{
    AtomicFile file(path);
    return file.open(why) && file.append(bytes.constData(), bytes.size(), why) && file.commit(why);
}
