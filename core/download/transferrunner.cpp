#include "download/transferrunner.h"

#include <QThread>
#include <QUrl>

#include "download/backgroundpriority.h"
#include "download/transferworker.h"

TransferRunner::TransferRunner(QObject *parent)
    : QObject(parent)
{
}

TransferRunner::~TransferRunner()
{
    if (!thread)
        return;
    QThread *home = QThread::currentThread();
    TransferWorker *ending = worker;
    QMetaObject::invokeMethod(
        worker, [ending, home] { ending->shutdown(home); }, Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
    delete worker;
    delete thread;
}

int TransferRunner::bigFileLimit(int ceiling, bool encrypted)
{
    return qMin(ceiling, encrypted ? 4 : 2);
}

void TransferRunner::configure(std::shared_ptr<const CardWriter> writer, const QString &cardRoot,
                               const QList<FileRecord> &records, const QString &endPoint, const QString &cdnEndPoint,
                               int ceiling)
{
    const QString used = cdnEndPoint.isEmpty() ? endPoint : cdnEndPoint;
    const bool encrypted = QUrl(used).scheme() == QLatin1String("https");
    const int total = qBound(1, ceiling, maxConnections);
    const int big = bigFileLimit(total, encrypted);
    if (!thread) {
        thread = new QThread;
        thread->setObjectName(QStringLiteral("transfers"));
        worker = new TransferWorker(std::move(writer), cardRoot);
        worker->moveToThread(thread);
        connect(worker, &TransferWorker::bytesDone, this, &TransferRunner::bytesDone);
        connect(worker, &TransferWorker::started, this, [this](const QString &file, TransferActivity activity) {
            note(activity);
            emit started(file);
        });
        connect(worker, &TransferWorker::finished, this,
                [this](const QString &file, TransferActivity activity, const ContentDigest::Value &written) {
                    note(activity);
                    emit finished(file, written);
                });
        connect(worker, &TransferWorker::cancelled, this, [this](const QString &file, TransferActivity activity) {
            note(activity);
            emit cancelled(file);
        });
        connect(worker, &TransferWorker::failed, this,
                [this](const QString &file, const JobError &error, TransferActivity activity) {
                    note(activity);
                    emit failed(file, error);
                });
        connect(worker, &TransferWorker::acknowledged, this, [this](TransferActivity activity) {
            note(activity);
            if (!running())
                emit idle();
        });
        thread->start();
        QMetaObject::invokeMethod(worker, &BackgroundPriority::lowerCallingThread, Qt::QueuedConnection);
    }
    TransferWorker *target = worker;
    QMetaObject::invokeMethod(
        worker,
        [target, records, endPoint, cdnEndPoint, total, big] {
            target->configure(records, endPoint, cdnEndPoint, total, big);
        },
        Qt::QueuedConnection);
}

void TransferRunner::enqueue(const QList<TransferOrder> &orders)
{
    if (!worker || orders.isEmpty())
        return;
    TransferWorker *target = worker;
    QMetaObject::invokeMethod(worker, [target, orders] { target->enqueue(orders); }, Qt::QueuedConnection);
}

void TransferRunner::startRound()
{
    if (!worker)
        return;
    const quint64 sequence = ++startsSent;
    TransferWorker *target = worker;
    QMetaObject::invokeMethod(worker, [target, sequence] { target->startRound(sequence); }, Qt::QueuedConnection);
}

void TransferRunner::pauseAll()
{
    if (!worker)
        return;
    TransferWorker *target = worker;
    QMetaObject::invokeMethod(worker, [target] { target->pauseAll(); }, Qt::QueuedConnection);
}

void TransferRunner::note(const TransferActivity &activity)
{
    last = activity;
}

bool TransferRunner::busy() const
{
    return last.startsSeen != startsSent || last.busy > 0;
}

bool TransferRunner::running() const
{
    return last.startsSeen != startsSent || last.running > 0;
}

int TransferRunner::peakInFlight() const
{
    return worker ? worker->peakInFlight() : 0;
}
