#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMessageBox>
#include <QString>

#include "base/settings.h"

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// Byte-wise XOR with a key repeated to the length of data.
QByteArray xorBytes(const QByteArray &data, const QByteArray &key);

// The API key text (40 lower-case hex characters), assembled at run time.
QByteArray serviceApiKey();

// One object's connection to the chart service. Every object that talks to
// the service embeds its own, so each reply reaches only the object that asked.
struct ServiceClient
{
    ServiceClient();
    ~ServiceClient();
    Q_DISABLE_COPY_MOVE(ServiceClient)

    QNetworkReply *post(const QString &name, const QString &group, QJsonObject body,
                        const QString &id = QString());
    QNetworkReply *get(const QString &path);
    QNetworkReply *downloadRequest(const QString &url, const QString &id = QString(),
                                   const QString &range = QString());
    // The request downloadRequest sends, for a manager on another thread
    // (the transfers have their own): one place builds what the service sees.
    static QNetworkRequest fileRequest(const QString &url, const QString &range);

    QNetworkAccessManager *manager;
    const QString baseUrl;
    Settings settings;
    QMessageBox messageBox;
};
