#include "card/cardidentity.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/smallfile.h"
#include "card/mediaid.h"

namespace {

const QString mediaFileName = QStringLiteral("ENCRYPT.TXT");

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
    if (!SmallFile::read(file, maxMediaFileSize, &content, &identity.reason))
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
        SmallFile::read(rootFolder, QFileInfo(mediaFile).fileName(), maxMediaFileSize, &content, &reason);
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
