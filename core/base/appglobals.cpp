#include "base/appglobals.h"

#include <QDate>

QString configFilePath;
QString logFilePath;
QString appDataFolder;

const QString copyrightNotice =
    QStringLiteral("© %1 Quorvel Charts. All rights reserved.").arg(QDate::currentDate().year());

QString serviceBaseUrl()
{
    const QByteArray fromEnv = qgetenv("QUORVEL_SERVICE_URL");
    if (!fromEnv.isEmpty())
        return QString::fromUtf8(fromEnv);
    return QStringLiteral(QUORVEL_DEFAULT_SERVICE_URL);
}
