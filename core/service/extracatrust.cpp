#include "service/extracatrust.h"

#include <QDebug>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>

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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
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
