#include "base/startup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>

#include "base/appglobals.h"
#include "base/logsink.h"
#include "base/settings.h"

void myMessageOutput(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    // A fatal message ends the process right after this; the user at the
    // terminal must see why, not only the log.
    if (type == QtFatalMsg)
        fprintf(stderr, "quorvel-download-tool: %s\n", qPrintable(msg));

    // Every thread's lines reach the file: the transfers run on a thread of
    // their own, and what they say is what a support request needs.
    QByteArray line = qFormatLogMessage(type, context, msg).toUtf8();
    line.append('\n');
    LogSink::instance().write(line);
    if (type == QtFatalMsg)
        LogSink::instance().flush();
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
    LogSink::instance().flush();
    QFile previousLog(logFilePath);
    if (previousLog.exists())
        previousLog.resize(0);

    qInstallMessageHandler(myMessageOutput);

    // Threads started from now on (the transfers' thread, the network
    // managers' own) get Qt's plain event dispatcher; the GUI thread keeps
    // GLib's, which the platform integration needs. GLib's wakes the
    // receiving thread once per posted event: once per 16 KiB TLS record
    // for a download, about half the CPU of a transfer over HTTPS. Set before
    // the application object exists, while no other thread reads the
    // environment; a value the user chose is kept. Programs started from the
    // tool inherit it, which changes only their own worker threads' dispatcher.
    if (!qEnvironmentVariableIsSet("QT_NO_THREADED_GLIB"))
        qputenv("QT_NO_THREADED_GLIB", "1");

    Settings settings(configFilePath);
    settings.valueOrInit(QStringLiteral("domain"), serviceBaseUrl());
}
