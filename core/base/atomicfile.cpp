#include "base/atomicfile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace AtomicFile {

bool write(const QString &path, const QByteArray &bytes, QString *why)
{
    const auto fail = [why](const QString &what) {
        if (why)
            *why = what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    };
    const QByteArray target = QFile::encodeName(path);
    // The process id keeps two copies of the tool from writing one temporary.
    const QByteArray temporary = target + ".tmp" + QByteArray::number(qint64(::getpid()));
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return fail(QStringLiteral("cannot create %1").arg(QString::fromLocal8Bit(temporary)));
    qint64 written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int saved = errno;
            ::close(fd);
            ::unlink(temporary.constData());
            errno = saved;
            return fail(QStringLiteral("cannot write %1").arg(path));
        }
        written += n;
    }
    if (::fdatasync(fd) != 0 || ::close(fd) != 0) {
        const int saved = errno;
        ::unlink(temporary.constData());
        errno = saved;
        return fail(QStringLiteral("cannot sync %1").arg(path));
    }
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int saved = errno;
        ::unlink(temporary.constData());
        errno = saved;
        return fail(QStringLiteral("cannot rename to %1").arg(path));
    }
    const int folder = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

} // namespace AtomicFile
