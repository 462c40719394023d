#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>

#include "card/cardresult.h"

class CardWriter;
class Sha1Stream;

// One file on the card, opened by the card writer without following links,
// together with its folder so that a new name can be made durable. Closed
// when destroyed. Moved, never copied; used by one thread at a time.
class CardFile
{
public:
    // Write-back is started for this much at a time: one request per network
    // piece (16-64 KiB) cost more in system calls and small disk requests than
    // it saved at the final sync.
    static constexpr qint64 writebackRun = 8 << 20;

    CardFile() = default;
    ~CardFile();
    CardFile(CardFile &&other) noexcept;
    CardFile &operator=(CardFile &&other) noexcept;
    CardFile(const CardFile &) = delete;
    CardFile &operator=(const CardFile &) = delete;

    bool isOpen() const { return fd >= 0; }
    QString path() const { return relative; }
    // Current length, or -1 when the system cannot say.
    qint64 size() const;
    // The same while the file still has a name on the card; -1 once it was
    // deleted (alone or with its folder) while open.
    qint64 linkedSize() const;

    // Writes every byte (a partial write goes on from where it stopped) at
    // the end of the file when opened for appending, else at the position.
    CardResult write(const char *bytes, qint64 length);
    CardResult write(const QByteArray &bytes) { return write(bytes.constData(), bytes.size()); }
    CardResult truncate(qint64 length);
    // Reads exactly length bytes at position; fails when the file is shorter.
    CardResult readAt(qint64 position, char *bytes, qint64 length);
    // Feeds the first length bytes to hash, in bounded pieces; stops early
    // when abandon is set (the result then says so).
    CardResult hashPrefix(qint64 length, Sha1Stream *hash, const std::atomic_bool *abandon = nullptr);
    // The same, each piece to feed.
    CardResult readPrefix(qint64 length, const std::function<void(const char *, qint64)> &feed,
                          const std::atomic_bool *abandon = nullptr);
    // The file's data on the medium (skipped only when the benchmark says so).
    CardResult sync();
    // Starts writing what was written up to position + length to the medium
    // without waiting for it, so that the sync at the end of a large file
    // finds little left to do; asked for in runs of a few MiB, not per piece.
    void startWriteback(qint64 position, qint64 length);
    // The folder entry of a new or renamed file on the medium.
    CardResult syncFolder();
    // Closes; a failure reported at close (some file systems report a failed
    // write-back only here) is returned.
    CardResult close();

private:
    friend class CardWriter;
    CardResult failed(int errorNumber) const;
    void release();

    int fd = -1;
    int folder = -1;
    qint64 writebackFrom = 0; // the start of what startWriteback has not asked for yet
    QString relative;
    const CardWriter *owner = nullptr;
};
