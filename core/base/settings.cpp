#include "base/settings.h"

#include <QFile>
#include <QLoggingCategory>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

Q_LOGGING_CATEGORY(lcSettings, "quorvel.settings")

// QSettings reads its file to the end, which a FIFO never reaches and a
// device never stops giving, and it saves through a temporary renamed over
// the file a link points at, not over the link: a link in the data folder
// would have it rewrite a file anywhere, a device node included. Such an
// entry holds no settings of ours and lies in our own folder: it goes (the
// entry itself, never what it points at), and the settings start afresh.
// The lock QSettings takes beside it is read the same way when it exists.
// A folder in the file's place is left alone: QSettings reads nothing from
// it and saves nothing over it.
void removeOddEntry(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat status {};
    if (::lstat(native.constData(), &status) != 0 || S_ISREG(status.st_mode) || S_ISDIR(status.st_mode))
        return;
    if (::unlink(native.constData()) == 0)
        qCWarning(lcSettings) << path << "was not a regular file (mode" << Qt::oct << status.st_mode
                              << Qt::dec << "): removed, the settings start afresh";
    else
        qCWarning(lcSettings) << path << "is not a regular file and cannot be removed:"
                              << QString::fromLocal8Bit(std::strerror(errno));
}

const QString &checked(const QString &path)
{
    removeOddEntry(path);
    removeOddEntry(path + QStringLiteral(".lock"));
    return path;
}

} // namespace

Settings::Settings(const QString &path)
    : QSettings(checked(path), QSettings::IniFormat)
    , path(path)
{
}

Settings::~Settings() = default;

QString Settings::valueOrInit(const QString &key, const QString &defaultValue)
{
    if (contains(key))
        return value(key).toString();
    setValue(key, defaultValue);
    return defaultValue;
}
