#pragma once

#include <QByteArray>
#include <QFile>
#include <QMutex>
#include <QString>

// The log file behind the message handler. The GUI thread writes its lines
// at once. Lines from other threads (the transfers' thread, the pool) are
// collected and written by the GUI thread in one go when its event loop
// next turns, so that the file keeps a single writer and a busy worker never
// waits on the disk for a trace line; they come before any later line of
// the GUI thread. Should the GUI thread not turn for a long while (or not
// exist yet), a worker writes what has piled up itself rather than let it
// grow without bound.
class LogSink
{
public:
    static LogSink &instance();
    ~LogSink();
    Q_DISABLE_COPY_MOVE(LogSink)

    // line holds one formatted message and its line feed.
    void write(const QByteArray &line);
    // Writes what other threads handed over; runs on the GUI thread.
    void drain();

    // Beyond this much waiting for the GUI thread, a worker writes it.
    static constexpr qsizetype maxPending = 1 << 20;

private:
    LogSink() = default;
    void writeLocked(const QByteArray &bytes);

    QMutex mutex;
    QFile file;
    bool opened = false;
    bool openTried = false;
    QByteArray pending;
    bool drainPosted = false;
};
