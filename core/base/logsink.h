#pragma once

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// The log file behind the message handler. Every thread, the GUI thread
// included, only hands its line over; a thread of the sink's own writes
// them, in the order they were handed over. A write to the log can wait
// on the disk for a long while when a download has filled the page cache
// (the kernel holds writers back until it catches up), and the window must
// never wait on that. Lines come in bursts (a few for every file a transfer
// moves, thousands of files a minute): the writing thread is woken once for
// a burst and gathers it for up to gatherFor before writing it, so a line
// reaches the file at most that late unless a flush asks for it sooner.
class LogSink
{
public:
    static LogSink &instance();
    ~LogSink();
    LogSink(const LogSink &) = delete;
    LogSink &operator=(const LogSink &) = delete;

    // line holds one formatted message and its line feed. Returns at once
    // unless more than maxPending waits for the disk.
    void write(const QByteArray &line);
    // Returns once every line handed over before the call is in the file.
    void flush();
    // The next line opens the log file again (it was renamed away).
    void startNewFile() { reopen = true; }

    // Beyond this much waiting for the disk, writers wait too, so a log that
    // cannot keep up does not grow in memory without bound.
    static constexpr qsizetype maxPending = 4 << 20;
    static constexpr std::chrono::milliseconds gatherFor { 10 };
    static constexpr qsizetype gatherUpTo = 64 << 10;

private:
    LogSink();
    void run();
    void writeToFile(const QByteArray &bytes);
    static int openLog();

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable progress;
    QByteArray pending;
    quint64 handedOver = 0;
    quint64 written = 0;
    int flushesWaiting = 0;
    bool stopping = false;
    std::atomic_bool reopen{false};
    bool writerDone = false;
    // Touched by the writing thread only.
    int fd = -1;
    bool openTried = false;
    std::thread writer;
};
