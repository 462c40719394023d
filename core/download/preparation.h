#pragma once

#include <QBitArray>
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

#include "download/activationplan.h"
#include "download/joberror.h"
#include "service/filelist.h"
#include "download/transferorder.h"

class CardWriter;
class RqUpdate;

// Everything between the service's file list and the first transfer, on the
// thread pool, so that the window never waits on it whatever the number of
// files: the list read strictly, the card confirmed, the card's side made
// ready (vmid, another product's folder) and every file given its step. The
// downloader takes the result over whole, in one turn that does not grow
// with the number of files.
class Preparation
{
public:
    struct Result
    {
        JobError error; // nothing else is set when there is one
        FileList list;
        bool vmidWritten = false;
        std::shared_ptr<RqUpdate> rqUpdate; // segments of an RQ chart only
        // As the downloader keeps them: every file's place in the list, and
        // only for the files that go or lie elsewhere than their own name,
        // where (a product of 200,000 files has none).
        QHash<QString, int> recordIndex;
        QHash<QString, QString> targets;    // where a fetched file goes, when not its own name
        QHash<QString, QString> checkPaths; // where a checked file lies, when not its target
        // A checked file whose target already holds the start of a fetch:
        // should the check fail, the fetch goes on from there.
        QHash<QString, qint64> keptAtTarget;
        QStringList checks;                 // complete in length: checked first, in list order
        QList<TransferOrder> orders;        // fetched or resumed, in list order
        qint64 resumedBytes = 0;            // already on the card of the resumed files
        // Built here rather than on the job's thread, where 200,000 files
        // would hold the window for a noticeable moment: every place a file
        // lies under (its name, its target, where it was checked) to its
        // record, and the files handed to the transfers.
        QHash<QString, int> pathIndex;
        QBitArray fetching; // by place in the list
    };

    // The body is let go of as soon as it is read: a list of 200,000 files
    // is tens of MiB of text.
    static Result forProduct(std::shared_ptr<const CardWriter> writer, const QString &cardRoot, const QString &sku,
                             QByteArray body);
    static Result forSegments(std::shared_ptr<const CardWriter> writer, const QString &cardRoot, const QString &sku,
                              const QByteArray &body, const QString &containerName, const QStringList &oldSegments,
                              const QByteArray &header, const QByteArray &chain, const QString &chartId);

    // Why the chosen card cannot be written now; none when it can.
    static JobError cardProblem(const CardWriter *writer, const QString &cardRoot);

private:
    // The list read strictly, the card confirmed and able to hold every file
    // of it; false with result->error set otherwise.
    static bool readList(const CardWriter *writer, const QString &cardRoot, const QString &sku, QByteArray body,
                         FileList::Kind kind, Result *result);
    // What the card's file system cannot hold of the list (names, sizes).
    static JobError fitProblem(const CardWriter &writer, const QString &sku, const QList<FileRecord> &records);
    // Gives record i of the list its step.
    static void apply(int i, const ActivationPlan::Step &step, Result *result);
    // One line for the list, not one per file: a product may have 200,000.
    // Fills the result's pathIndex and fetching, and logs the plan.
    static void finish(Result *result);
};
