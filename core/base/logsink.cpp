#include "base/logsink.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/appglobals.h"

LogSink &LogSink::instance()
{
    static LogSink sink;
    return sink;
}

LogSink::LogSink()
    : writer([this] { run(); })
{
}

LogSink::~LogSink()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    writer.join();
}

void LogSink::write(const QByteArray &line)
{
    std::unique_lock<std::mutex> lock(mutex);
    progress.wait(lock, [this] { return pending.size() <= maxPending || writerDone; });
    if (writerDone) {
        // Past the end of the writing thread (a line from a later static
        // destructor): written here, as nothing else will.
        writeToFile(line);
        return;
    }
    // Only the first line of a burst wakes the writer, and the one that
    // makes the burst large enough to write at once.
    const qsizetype before = pending.size();
    pending += line;
    ++handedOver;
    const bool wakeWriter = before == 0 || (before < gatherUpTo && pending.size() >= gatherUpTo);
    lock.unlock();
    if (wakeWriter)
        wake.notify_one();
}

void LogSink::flush()
{
    std::unique_lock<std::mutex> lock(mutex);
    const quint64 target = handedOver;
    ++flushesWaiting;
    wake.notify_one();
    progress.wait(lock, [this, target] { return written >= target || writerDone; });
    --flushesWaiting;
}

void LogSink::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return !pending.isEmpty() || stopping; });
        wake.wait_for(lock, gatherFor,
            [this] { return stopping || flushesWaiting > 0 || pending.size() >= gatherUpTo; });
        if (pending.isEmpty() && stopping) {
            writerDone = true;
            break;
        }
        QByteArray batch;
        batch.swap(pending);
        const quint64 upTo = handedOver;
        lock.unlock();
        writeToFile(batch);
        lock.lock();
        written = upTo;
        progress.notify_all();
    }
    progress.notify_all();
}

void LogSink::writeToFile(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    // Opened once, on the first line; a file that cannot be opened silences
    // the log for the rest of the run.
    if (reopen.exchange(false)) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        openTried = false;
    }
    if (!openTried) {
        openTried = true;
        fd = openLog();
    }
    if (fd < 0)
        return;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += n;
    }
}

int LogSink::openLog()
{
    // Only a regular file of the data folder takes the lines. A link would
    // append them to any file it points at; a FIFO blocks its opener until
    // someone reads it, and the run's end waits for this thread. O_NONBLOCK
    // lets the open return at once, and the check below refuses the FIFO
    // (or a device) it opened.
    const int opened = ::open(QFile::encodeName(logFilePath).constData(),
                              O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (opened < 0)
        return -1;
    struct stat status {};
    if (::fstat(opened, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(opened);
        return -1;
    }
    return opened;
}
