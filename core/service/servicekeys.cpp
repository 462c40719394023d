#include "service/servicekeys.h"

#include <QCryptographicHash>

#include "service/deploymentdata.h"

namespace ServiceKeys {

QByteArray xorBytes(const QByteArray &data, const QByteArray &key)
{
    QByteArray result(data.size(), Qt::Uninitialized);
    if (data.isEmpty() || key.isEmpty())
        return key.isEmpty() ? data : result;
    for (qsizetype i = 0; i < data.size(); ++i)
        result[i] = char(data.at(i) ^ key.at(i % key.size()));
    return result;
}

QByteArray apiKey()
{
    const QByteArray a(reinterpret_cast<const char *>(DeploymentData::apiKeyA), sizeof DeploymentData::apiKeyA);
    const QByteArray b(reinterpret_cast<const char *>(DeploymentData::apiKeyB), sizeof DeploymentData::apiKeyB);
    return xorBytes(a, b).toHex();
}

QByteArray passwordHash(const QString &password)
{
    const QByteArray a(reinterpret_cast<const char *>(DeploymentData::saltA), sizeof DeploymentData::saltA);
    const QByteArray b(reinterpret_cast<const char *>(DeploymentData::saltB), sizeof DeploymentData::saltB);
    const QString salt = QString::fromLatin1(xorBytes(a, b).toHex());
    return QCryptographicHash::hash((password + salt).toUtf8(), QCryptographicHash::Sha1).toHex();
}

bool isPasswordHash(const QByteArray &text)
{
    if (text.size() != 40)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

} // namespace ServiceKeys
