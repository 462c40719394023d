#include "service/extracatrust.h"

#include <QDebug>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A bundle of every public authority is about 200 KiB; anything far beyond
// that is not a certificate file.
constexpr qint64 MaxFileSize = 4 * 1024 * 1024;

} // namespace

int ExtraCaTrust::installFromEnvironment()
{
    const QString path = qEnvironmentVariable(EnvironmentVariable);
    return path.isEmpty() ? 0 : addToDefaultConfiguration(path);
}

int ExtraCaTrust::addToDefaultConfiguration(const QString &path)
{
    // Opened without waiting and looked at before it is read: a FIFO, or a
    // device, named here would hold the tool's start for ever.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        qWarning() << "Extra CA file" << path
                   << (fd < 0 ? "cannot be read: " + qt_error_string(errno) : QStringLiteral("is not a regular file"))
                   << "- ignored";
        if (fd >= 0)
            ::close(fd);
        return 0;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        qWarning() << "Extra CA file" << path << "cannot be read:" << file.errorString() << "- ignored";
        return 0;
    }
    const QByteArray pem = file.read(MaxFileSize + 1);
    const QList<QSslCertificate> extra = pem.size() > MaxFileSize ? QList<QSslCertificate>()
                                                                  : QSslCertificate::fromData(pem, QSsl::Pem);
    if (extra.isEmpty()) {
        qWarning() << "Extra CA file" << path << "holds no certificate - ignored";
        return 0;
    }
    // Setting any list turns off the system store's on-demand loading, so
    // the system's authorities are listed explicitly: the extra one is
    // trusted beside them, never instead of them.
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    QList<QSslCertificate> authorities = configuration.caCertificates();
    if (authorities.isEmpty())
        authorities = QSslConfiguration::systemCaCertificates();
    authorities += extra;
    configuration.setCaCertificates(authorities);
    QSslConfiguration::setDefaultConfiguration(configuration);
    qInfo() << "Trusting" << extra.size() << "extra CA certificate(s) from" << path;
    return int(extra.size());
}
