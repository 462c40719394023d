#include "base/startup.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/appglobals.h"
#include "base/freedmemory.h"
#include "base/logclock.h"
#include "base/logsink.h"
#include "base/settings.h"

namespace {

Q_LOGGING_CATEGORY(lcStartup, "quorvel.startup")

struct Narrowing
{
    int narrowed = 0;
    QStringList failed;
};

// Takes every permission of the group and of others off path and what lies
// under it. Symbolic links are neither followed nor changed: a link in the
// data folder may point at anything, and chmod would change its target. The
// iterator does not descend through links to folders, and AT_SYMLINK_NOFOLLOW
// covers an entry that turns into a link between the look and the change. A
// data folder that is itself a link was put there by its user: left alone.
Narrowing narrowToOwner(const QString &path)
{
    Narrowing result;
    const auto narrow = [&result](const QString &entry) {
        const QByteArray name = QFile::encodeName(entry);
        struct stat status;
        if (::lstat(name.constData(), &status) != 0 || S_ISLNK(status.st_mode) || !(status.st_mode & 07077))
            return;
        if (::fchmodat(AT_FDCWD, name.constData(), status.st_mode & S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0)
            ++result.narrowed;
        else
            result.failed.append(entry + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno)));
    };
    if (QFileInfo(path).isSymLink())
        return result;
    narrow(path);
    QDirIterator entries(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext())
        narrow(entries.next());
    return result;
}

// Every running copy of the tool (the window, each command line) holds
// this lock shared for as long as it runs, whatever log it writes. A run
// moves the logs along only when it can take the lock alone: moving them
// while another copy runs would leave that copy writing a file deleted
// from under it, and its lines lost to the user.
int logLock = -1;

// Whether no other copy runs now; either way this process holds the lock
// shared on return (or cannot hold it at all, and then runs as before).
bool takeLogLock(const QString &folder)
{
    // Never through a link: a dangling one would create its target,
    // wherever it points. A link in its place is ours to remove, so that
    // the copies of the tool still see each other through the lock.
    const QByteArray path = QFile::encodeName(folder + QStringLiteral("/QuorvelV2.lock"));
    for (int attempt = 0; logLock < 0 && attempt < 2; ++attempt) {
        logLock = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (logLock >= 0 || errno != ELOOP || ::unlink(path.constData()) != 0)
            break;
    }
    if (logLock < 0)
        return true;
    const bool alone = ::flock(logLock, LOCK_EX | LOCK_NB) == 0;
    // Another copy may be moving the logs right now: waits for that much.
    while (::flock(logLock, LOCK_SH) != 0 && errno == EINTR) {
    }
    return alone;
}

} // namespace

void myMessageOutput(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    // A fatal message ends the process right after this; the user at the
    // terminal must see why, not only the log.
    if (type == QtFatalMsg)
        fprintf(stderr, "quorvel-download-tool: %s\n", qPrintable(msg));

    // Every thread's lines reach the file: the transfers run on a thread of
    // their own, and what they say is what a support request needs.
    QByteArray line = LogClock::stamp();
    line.append(' ').append(qFormatLogMessage(type, context, msg).toUtf8()).append('\n');
    LogSink::instance().write(line);
    if (type == QtFatalMsg)
        LogSink::instance().flush();
}

void rotateLogs(const QString &current, int kept)
{
    if (!QFileInfo::exists(current))
        return;
    const auto numbered = [&current](int n) { return current + QLatin1Char('.') + QString::number(n); };
    QFile::remove(numbered(kept));
    for (int n = kept - 1; n >= 1; --n) {
        if (QFileInfo::exists(numbered(n)))
            QFile::rename(numbered(n), numbered(n + 1));
    }
    QFile::rename(current, numbered(1));
}

void prepareStartup(LogStart log)
{
    FreedMemory::configure();
    const QStringList locations = QStandardPaths::standardLocations(QStandardPaths::AppDataLocation);
    const QString dataFolder = locations.isEmpty() ? QDir::homePath() : locations.first();

    configFilePath = dataFolder + QStringLiteral("/SMN/config.ini");
    logFilePath = dataFolder + QStringLiteral("/SMN/QuorvelV2.log");

    // The data folder holds the account's address, the remembered sign-in of
    // older versions, the log and copies of the user's chart containers: none
    // of it is for other accounts on the computer. Through the mask every
    // writer gets that for free, the settings' temporary file, the log and
    // the download engine's backups included; what an older version left
    // readable is narrowed below. Set first: the mask is the process's, and
    // nothing created before it is narrowed until the next start. Programs
    // started from the tool (a browser opened on an account page) inherit
    // it: what they create is private too.
    ::umask(077);

    QDir folder = QFileInfo(configFilePath).dir();
    if (!folder.exists())
        folder.mkpath(QStringLiteral("."));
    appDataFolder = folder.path();
    const Narrowing narrowing = narrowToOwner(appDataFolder);

    // Each run starts its own log; the last few runs' logs stay beside it
    // (QuorvelV2.log.1 the run before, up to keptLogs), so that a problem
    // the user noticed only after starting again can still be read.
    const bool alone = takeLogLock(appDataFolder);
    const bool sharesLog = log == LogStart::NewFile && !alone;
    if (log == LogStart::NewFile && alone) {
        LogSink::instance().flush();
        rotateLogs(logFilePath, keptLogs);
        LogSink::instance().startNewFile();
    }

    // Every line says when (the handler stamps it) and how serious, Qt's own
    // warnings included; debug output is for developers (QT_LOGGING_RULES
    // brings it back).
    qSetMessagePattern(
        QStringLiteral("%{if-debug}debug%{endif}%{if-info}info%{endif}%{if-warning}warning%{endif}"
                       "%{if-critical}critical%{endif}%{if-fatal}fatal%{endif} "
                       "%{if-category}%{category}: %{endif}%{message}"));
    if (!qEnvironmentVariableIsSet("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    qInstallMessageHandler(myMessageOutput);

    if (sharesLog)
        qCInfo(lcStartup) << "Another copy of the tool is running and writes this log too: this run's lines"
                          << "follow in it, process" << ::getpid();
    if (narrowing.narrowed > 0)
        qCInfo(lcStartup) << "Data folder: made" << narrowing.narrowed << "entries private to this user";
    for (const QString &failure : narrowing.failed)
        qCWarning(lcStartup) << "Data folder: could not make private:" << failure;

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
