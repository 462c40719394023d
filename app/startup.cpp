#include "app/startup.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QStandardPaths>

#include <cstdio>

#include "app/appglobals.h"
#include "app/settings.h"

void myMessageOutput(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    // A fatal message ends the process right after this; the user at the
    // terminal must see why, not only the log.
    if (type == QtFatalMsg)
        fprintf(stderr, "quorvel-download-tool: %s\n", qPrintable(msg));

    // Only the GUI thread writes, so the file needs no lock; messages raised
    // on pool threads are dropped rather than queued.
    if (QThread::currentThreadId() != mainThreadId)
        return;

    static QFile logFile(logFilePath);
    static const bool opened = logFile.open(QIODevice::Append | QIODevice::Text);
    if (!opened)
        return;

    QByteArray line = qFormatLogMessage(type, context, msg).toUtf8();
    line.append('\n');
    logFile.write(line);
    logFile.flush();
}

void prepareStartup()
{
    const QStringList locations = QStandardPaths::standardLocations(QStandardPaths::AppDataLocation);
    const QString dataFolder = locations.isEmpty() ? QDir::homePath() : locations.first();

    configFilePath = dataFolder + QStringLiteral("/SMN/config.ini");
    logFilePath = dataFolder + QStringLiteral("/SMN/QuorvelV2.log");

    QDir folder = QFileInfo(configFilePath).dir();
    if (!folder.exists())
        folder.mkpath(QStringLiteral("."));
    appDataFolder = folder.path();

    // Each run starts its own log; an absent file is not created here.
    QFile previousLog(logFilePath);
    if (previousLog.exists())
        previousLog.resize(0);

    mainThreadId = QThread::currentThreadId();
    qInstallMessageHandler(myMessageOutput);

    Settings settings(configFilePath);
    settings.valueOrInit(QStringLiteral("domain"), serviceBaseUrl());
}

void installApplicationFont()
{
    QFontDatabase::addApplicationFont(QStringLiteral(":/resources/fonts/MyriadPro-Bold.ttf"));
    QFontDatabase::addApplicationFont(QStringLiteral(":/resources/fonts/MyriadPro-Regular.ttf"));
    // The bundled faces register as "Carlito"; the forms ask for "Myriad Pro".
    QFont::insertSubstitution(QStringLiteral("Myriad Pro"), QStringLiteral("Carlito"));

    QFont font(QStringLiteral("Myriad Pro"));
    // A font built from a family alone is 12 points, a third larger than the
    // desktop's text; the fixed-width columns (a row's 67-pixel size) are
    // drawn for the desktop's size, so that one is kept.
    const QFont desktop = QApplication::font();
    if (desktop.pointSizeF() > 0)
        font.setPointSizeF(desktop.pointSizeF());
    else if (desktop.pixelSize() > 0)
        font.setPixelSize(desktop.pixelSize());
    font.setStyleHint(QFont::Monospace, QFont::PreferDefault);
    QApplication::setFont(font);
}
