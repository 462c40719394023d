#include "base/ownfolder.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {
Q_LOGGING_CATEGORY(lcOwnFolder, "quorvel.datafolder")
} // namespace

namespace OwnFolder {

bool make(const QString &path, QString *why)
{
    const QByteArray native = QFile::encodeName(path);
    const auto fail = [&](const QString &what) {
        if (why)
            *why = what;
        qCWarning(lcOwnFolder) << what;
        return false;
    };
    struct stat status {};
    if (::lstat(native.constData(), &status) == 0 && !S_ISDIR(status.st_mode)) {
        // A regular file may be the user's own: left for them to move.
        if (S_ISREG(status.st_mode))
            return fail(QStringLiteral("%1 is a file, not a folder").arg(path));
        if (::unlink(native.constData()) != 0)
            return fail(QStringLiteral("%1 is not a folder and cannot be removed: %2")
                            .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        qCWarning(lcOwnFolder) << path << "was not a folder (mode" << Qt::oct << status.st_mode << Qt::dec
                               << "): removed";
    }
    if (!QDir().mkpath(path) || ::lstat(native.constData(), &status) != 0 || !S_ISDIR(status.st_mode))
        return fail(QStringLiteral("cannot make the folder %1").arg(path));
    return true;
}

} // namespace OwnFolder
