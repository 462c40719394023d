#include "app/logsink.h"

#include <QCoreApplication>
#include <QThread>

#include "app/appglobals.h"

LogSink &LogSink::instance()
{
    static LogSink sink;
    return sink;
}

LogSink::~LogSink()
{
    const QMutexLocker lock(&mutex);
    writeLocked(pending);
    pending.clear();
}

void LogSink::writeLocked(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    // Opened once, on the first line; a file that cannot be opened silences
    // the log for the rest of the run.
    if (!openTried) {
        openTried = true;
        file.setFileName(logFilePath);
        opened = file.open(QIODevice::Append | QIODevice::Text);
    }
    if (!opened)
        return;
    file.write(bytes);
    file.flush();
}

void LogSink::write(const QByteArray &line)
{
    if (QThread::currentThreadId() == mainThreadId) {
        const QMutexLocker lock(&mutex);
        writeLocked(pending);
        pending.clear();
        writeLocked(line);
        return;
    }
    QCoreApplication *application = QCoreApplication::instance();
    bool post = false;
    {
        const QMutexLocker lock(&mutex);
        pending += line;
        if (!application || pending.size() > maxPending) {
            writeLocked(pending);
            pending.clear();
            return;
        }
        post = !drainPosted;
        drainPosted = true;
    }
    if (post)
        QMetaObject::invokeMethod(application, [] { LogSink::instance().drain(); }, Qt::QueuedConnection);
}

void LogSink::drain()
{
    const QMutexLocker lock(&mutex);
    drainPosted = false;
    writeLocked(pending);
    pending.clear();
}
