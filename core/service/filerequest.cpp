#include "service/filerequest.h"

#include <QDateTime>
#include <QDebug>

QNetworkRequest chartFileRequest(const QString &url, const QString &range)
{
    QNetworkRequest request{QUrl(url)};
    if (!range.isEmpty()) {
        request.setRawHeader("Range", range.toUtf8());
        request.setRawHeader("Accept-Encoding", "identity");
        const QString prefix = QStringLiteral("[%1][%2]").arg(QDateTime::currentDateTime().toString(Qt::TextDate), url);
        const QString tag = QStringLiteral("<downloadRequest>[49]");
        for (const QByteArray &header : request.rawHeaderList())
            qDebug() << prefix << tag << header << request.rawHeader(header);
    }
    return request;
}
