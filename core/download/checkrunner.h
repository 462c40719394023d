#pragma once

#include <QFuture>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

#include "card/blocksampler.h"
#include "download/joberror.h"
#include "service/filelist.h"

class CardWriter;

// The SHA-1 checks of files already on the card, on the global thread pool.
// Only a few run or wait in the pool at once and the next starts as one
// ends, so that a card of thousands of complete files costs the window one
// short turn per result instead of one long turn that queues them all.
class CheckRunner : public QObject
{
    Q_OBJECT

public:
    explicit CheckRunner(QObject *parent = nullptr);
    // Running checks stop at their next piece and are waited for, so none
    // outlives the card writer and records it reads.
    ~CheckRunner() override;
    Q_DISABLE_COPY_MOVE(CheckRunner)

    void setCardWriter(std::shared_ptr<const CardWriter> cardWriter) { writer = std::move(cardWriter); }
    // Checks record where it lies at path (its target, or a temporary).
    void check(const FileRecord &record, const QString &path);
    // Drops the checks that have not begun; those running report as usual.
    void stop() { line.clear(); }
    bool idle() const { return inFlight == 0 && line.isEmpty(); }

signals:
    void passed(QString file, QList<BlockSampler::Sample> samples);
    void mismatched(QString file);
    void failed(QString file, JobError error);

private:
    struct Pending
    {
        FileRecord record;
        QString path;
    };
    enum class Outcome { Passed, Mismatched, Failed };

    void startNext();
    void finishOne(const QString &file, Outcome outcome, const JobError &error,
                   const QList<BlockSampler::Sample> &samples);

    std::shared_ptr<const CardWriter> writer;
    QList<Pending> line;
    int inFlight = 0;
    // Kept only so that destruction can wait for them.
    QList<QFuture<void>> running;
    std::atomic_bool abandon{false};
};
