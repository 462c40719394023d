#include "download/joboptions.h"

#include <QThread>

#include "base/appglobals.h"
#include "base/settings.h"
#include "download/transferrunner.h"

JobOptions JobOptions::fromSettings()
{
    JobOptions options;
    Settings settings(configFilePath);
    bool ok = false;
    const int stored = settings.valueOrInit(SettingsKeys::downloadConcurrency, QStringLiteral("3")).toInt(&ok);
    // The setting is the user's ceiling; the core count does not cap it,
    // since the transfers' cost is on their own thread and small files gain
    // from more connections (TransferRunner decides per file size).
    options.concurrency = (!ok || stored < 1) ? QThread::idealThreadCount()
                                              : qMin(stored, TransferRunner::maxConnections);
    const QString readBack =
        settings.valueOrInit(SettingsKeys::readBackAfterWriting, QStringLiteral("1")).trimmed().toLower();
    options.readBack = readBack != QLatin1String("0") && readBack != QLatin1String("false")
                       && readBack != QLatin1String("off");
    const QByteArray overlap = qgetenv("QUORVEL_READBACK_OVERLAP").trimmed();
    if (overlap == "0" || overlap == "1")
        options.overlapReadback = overlap == "1";
    return options;
}
