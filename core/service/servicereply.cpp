#include "service/servicereply.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QVariant>

namespace {
const char *const tooLargeProperty = "quorvelTooLarge";
} // namespace

void ServiceReply::limit(QNetworkReply *reply, qint64 maximum)
{
    const auto stop = [reply] {
        reply->setProperty(tooLargeProperty, true);
        reply->abort();
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, maximum, stop] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > maximum)
            stop();
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [maximum, stop](qint64 received, qint64) {
        if (received > maximum)
            stop();
    });
}

ServiceReply::Outcome ServiceReply::read(QNetworkReply *reply, QByteArray *body, QString *message)
{
    if (reply->property(tooLargeProperty).toBool()) {
        *message = unreadableText();
        return Outcome::Unreadable;
    }
    *body = reply->read(maxBodySize + 1);
    if (reply->error() != QNetworkReply::NoError) {
        const QString text = QJsonDocument::fromJson(*body).object().value(QStringLiteral("message")).toString();
        *message = text.isEmpty() ? reply->errorString() : text;
        return Outcome::Refused;
    }
    if (body->size() > maxBodySize) {
        *message = unreadableText();
        return Outcome::Unreadable;
    }
    return Outcome::Ok;
}

QString ServiceReply::unreadableText()
{
    return QStringLiteral("The chart service sent a reply the tool cannot read. Nothing on the card was changed.");
}
