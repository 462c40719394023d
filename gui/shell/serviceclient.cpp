#include "shell/serviceclient.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include "base/appglobals.h"
#include "service/deploymentdata.h"
#include "service/filerequest.h"

QByteArray xorBytes(const QByteArray &data, const QByteArray &key)
{
    QByteArray result(data.size(), Qt::Uninitialized);
    if (data.isEmpty() || key.isEmpty())
        return key.isEmpty() ? data : result;
    for (qsizetype i = 0; i < data.size(); ++i)
        result[i] = char(data.at(i) ^ key.at(i % key.size()));
    return result;
}

QByteArray serviceApiKey()
{
    const QByteArray a(reinterpret_cast<const char *>(DeploymentData::apiKeyA), 20);
    const QByteArray b(reinterpret_cast<const char *>(DeploymentData::apiKeyB), 20);
    return xorBytes(a, b).toHex();
}

ServiceClient::ServiceClient()
    : manager(new QNetworkAccessManager)
    , baseUrl(serviceBaseUrl())
    , settings(configFilePath)
{
    messageBox.setTextFormat(Qt::RichText);
    // Without a title of its own a box is named after the executable.
    messageBox.setWindowTitle(QStringLiteral("Quorvel Download Tool"));
    messageBox.setStandardButtons(QMessageBox::Ok);
}

ServiceClient::~ServiceClient()
{
    // Replies still running are deleted with their manager.
    manager->deleteLater();
}

QNetworkReply *ServiceClient::post(const QString &name, const QString &group, QJsonObject body,
                                   const QString &id)
{
    body.insert(QStringLiteral("api_key"), QString::fromLatin1(serviceApiKey()));
    const QByteArray bytes = QJsonDocument(body).toJson(QJsonDocument::Indented);

    // Joined as texts: a name that starts with "/" yields a doubled slash,
    // which the service's routes expect.
    QNetworkRequest request(QUrl(baseUrl + QStringLiteral("/api/") + group + QLatin1Char('/') + name));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setHeader(QNetworkRequest::ContentLengthHeader, QString::number(bytes.size()));

    QNetworkReply *reply = manager->post(request, bytes);
    if (!id.isEmpty())
        reply->setProperty("id", id);
    return reply;
}

QNetworkReply *ServiceClient::get(const QString &path)
{
    return manager->get(QNetworkRequest(QUrl(baseUrl + path)));
}

QNetworkRequest ServiceClient::fileRequest(const QString &url, const QString &range)
{
    return chartFileRequest(url, range);
}

QNetworkReply *ServiceClient::downloadRequest(const QString &url, const QString &id, const QString &range)
{
    QNetworkReply *reply = manager->get(fileRequest(url, range));
    if (!id.isEmpty())
        reply->setProperty("id", id);
    return reply;
}
