#include "card/cardidentity.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "card/mediaid.h"

namespace {

const QString mediaFileName = QStringLiteral("ENCRYPT.TXT");

// Reads a regular file of at most limit bytes, relative to folder (or
// AT_FDCWD). O_NONBLOCK keeps a FIFO put in the file's place from hanging
// the window; O_NOFOLLOW keeps a link from sending the read to a device or a
// file elsewhere.
bool readSmallRegularFile(int folder, const QString &path, qint64 limit, QByteArray *content, QString *why)
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
        *why = QStringLiteral("%1 is %2 bytes, more than a media file can be").arg(path).arg(qint64(status.st_size));
        return false;
    }
    // One byte more than the file said it holds tells a file that grew.
    const qint64 room = qint64(status.st_size) + 1;
    QByteArray buffer(int(room), Qt::Uninitialized);
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
    buffer.truncate(int(total));
    *content = buffer;
    return true;
}

} // namespace

CardIdentity CardIdentity::fromRoot(const QString &root)
{
    // The control head writes the name in capitals, but a card that passed
    // through another computer may carry it in any case.
    const QStringList names =
        QDir(root).entryList({mediaFileName}, QDir::Files | QDir::System | QDir::Hidden, QDir::Name);
    QString chosen = root + QLatin1Char('/') + mediaFileName;
    for (const QString &name : names) {
        if (name.compare(mediaFileName, Qt::CaseInsensitive) == 0) {
            chosen = root + QLatin1Char('/') + name;
            if (name == mediaFileName)
                break;
        }
    }
    return read(root, chosen);
}

CardIdentity CardIdentity::fromMediaFile(const QString &mediaFilePath)
{
    const QFileInfo info(mediaFilePath);
    return read(info.absolutePath(), info.absoluteFilePath());
}

CardIdentity CardIdentity::ofOwnFolder(const QString &folder)
{
    CardIdentity identity;
    identity.rootPath = folder;
    identity.ownFolder = true;
    struct stat status {};
    if (::stat(QFile::encodeName(folder).constData(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        identity.reason = QStringLiteral("%1 is not a folder").arg(folder);
        return identity;
    }
    identity.rootDevice = status.st_dev;
    identity.valid = true;
    return identity;
}

CardIdentity CardIdentity::read(const QString &root, const QString &file)
{
    CardIdentity identity;
    identity.rootPath = root;
    identity.mediaFile = file;
    if (QFileInfo(file).fileName().compare(mediaFileName, Qt::CaseInsensitive) != 0) {
        identity.reason = QStringLiteral("%1 is not named %2").arg(file, mediaFileName);
        return identity;
    }
    struct stat status {};
    if (::stat(QFile::encodeName(root).constData(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        identity.reason = QStringLiteral("%1 is not a folder").arg(root);
        return identity;
    }
    identity.rootDevice = status.st_dev;

    QByteArray content;
    if (!readSmallRegularFile(AT_FDCWD, file, maxMediaFileSize, &content, &identity.reason))
        return identity;
    identity.text = QString::fromUtf8(content);
    identity.mediaId = mediaIdFromContent(identity.text);
    if (identity.mediaId.isEmpty()) {
        identity.reason = QStringLiteral("%1 holds no media id").arg(file);
        return identity;
    }
    identity.valid = true;
    return identity;
}

bool CardIdentity::sameCard(const CardIdentity &other) const
{
    return valid && other.valid && ownFolder == other.ownFolder && rootDevice == other.rootDevice
           && mediaId == other.mediaId;
}

bool CardIdentity::stillPresent() const
{
    return valid && sameCard(fromMediaFile(mediaFile));
}

bool CardIdentity::matchesRoot(int rootFolder, QString *why, bool *another) const
{
    if (another)
        *another = false;
    QString reason;
    const auto fail = [&](const QString &text) {
        if (why)
            *why = text;
        return false;
    };
    if (!valid)
        return fail(QStringLiteral("no card was chosen"));
    struct stat status {};
    if (::fstat(rootFolder, &status) != 0 || !S_ISDIR(status.st_mode))
        return fail(QStringLiteral("%1 is not a folder").arg(rootPath));
    if (ownFolder)
        return status.st_dev == rootDevice || fail(QStringLiteral("%1 moved to another file system").arg(rootPath));
    QByteArray content;
    const bool readable =
        readSmallRegularFile(rootFolder, QFileInfo(mediaFile).fileName(), maxMediaFileSize, &content, &reason);
    const QString found = readable ? mediaIdFromContent(QString::fromUtf8(content)) : QString();
    if (another)
        *another = !found.isEmpty() && found != mediaId;
    // An empty mount point lies on the computer's own disk: another device.
    if (status.st_dev != rootDevice)
        return fail(QStringLiteral("%1 is no longer on the card's file system").arg(rootPath));
    if (!readable)
        return fail(reason);
    if (found != mediaId)
        return fail(QStringLiteral("%1 holds another media id").arg(mediaFile));
    return true;
}
