#include "download/checkrunner.h"

#include <QDebug>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include "base/logclock.h"
#include "download/backgroundpriority.h"
#include "download/filecheck.h"
#include "card/cardwriter.h"

namespace {

// A check waits for the card about as long as it hashes what came: with a
// thread per core, the card stood idle whenever every thread was hashing.
// Twice as many keep it reading (a complete 1 GiB card on two cores: 0.86 s
// with two threads, 0.64-0.75 s with four, no faster with six).
QThreadPool *checkPool()
{
    static QThreadPool *pool = [] {
        auto *created = new QThreadPool;
        created->setMaxThreadCount(2 * qMax(1, QThread::idealThreadCount()));
        return created;
    }();
    return pool;
}

// Two per pool thread: one reading, one waiting to, so the pool never idles
// for want of the next file.
int maxRunning()
{
    return 2 * checkPool()->maxThreadCount();
}

} // namespace

CheckRunner::CheckRunner(QObject *parent)
    : QObject(parent)
{
}

CheckRunner::~CheckRunner()
{
    abandon = true;
    for (QFuture<void> &future : running)
        future.waitForFinished();
}

void CheckRunner::check(const FileRecord &record, const QString &path)
{
    line.append({record, path});
    startNext();
}

void CheckRunner::startNext()
{
    running.erase(std::remove_if(running.begin(), running.end(),
                                 [](const QFuture<void> &future) { return future.isFinished(); }),
                  running.end());
    while (inFlight < maxRunning() && !line.isEmpty()) {
        const Pending next = line.takeFirst();
        ++inFlight;
        const std::shared_ptr<const CardWriter> card = writer;
        running.append(QtConcurrent::run(checkPool(), [this, next, card] {
            // A check hashes a whole file: below the window (the pool runs
            // nothing else).
            BackgroundPriority::lowerCallingThread();
            const FileRecord &record = next.record;
            const FileCheck::Result result = record.size == 0 ? FileCheck::writeInline(*card, record)
                                                              : FileCheck::run(*card, next.path, record, &abandon);
            if (abandon)
                return;
            Outcome outcome = Outcome::Passed;
            JobError error;
            switch (result.outcome) {
            case FileCheck::Outcome::Passed:
                qInfo() << LogClock::prefix(record.file) << "skipped";
                break;
            case FileCheck::Outcome::Mismatch:
                qInfo() << LogClock::prefix(record.file) << "Sha1 not matching:" << record.sha1
                        << "-> redownload...";
                outcome = Outcome::Mismatched;
                break;
            case FileCheck::Outcome::CardProblem:
                qWarning() << LogClock::prefix(record.file) << "check failed:" << result.card.detail();
                outcome = Outcome::Failed;
                error = JobError::fromCard(result.card, record.file);
                if (result.card.problem() == CardResult::Failed)
                    error.message = QStringLiteral("Cannot Open Chart Folder.");
                break;
            }
            // Handed to this object's thread, which starts the next check.
            QMetaObject::invokeMethod(
                this,
                [this, file = record.file, outcome, error, samples = result.samples] {
                    finishOne(file, outcome, error, samples);
                },
                Qt::QueuedConnection);
        }));
    }
}

void CheckRunner::finishOne(const QString &file, Outcome outcome, const JobError &error,
                            const QList<BlockSampler::Sample> &samples)
{
    --inFlight;
    startNext();
    switch (outcome) {
    case Outcome::Passed:
        emit passed(file, samples);
        break;
    case Outcome::Mismatched:
        emit mismatched(file);
        break;
    case Outcome::Failed:
        emit failed(file, error);
        break;
    }
}
