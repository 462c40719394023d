#include "download/preparation.h"

#include <QDebug>
#include <QFileInfo>

#include "base/logclock.h"
#include "base/freedmemory.h"
#include "download/cardlimits.h"
#include "download/productcard.h"
#include "download/rqupdate.h"
#include "card/cardwriter.h"

namespace {

} // namespace

JobError Preparation::cardProblem(const CardWriter *writer, const QString &cardRoot)
{
    if (!writer)
        return JobError{JobError::CardGone, QString(), QStringLiteral("Please insert SD card.")};
    // A folder whose media file was never usable is not a card that went.
    if (!writer->identity().isValid() && QFileInfo(cardRoot).isDir())
        return JobError{JobError::Other, QString(),
                        QStringLiteral("The card's ENCRYPT.TXT cannot be used (%1). Nothing on the card was changed.")
                            .arg(writer->identity().problem())};
    return JobError::fromCard(writer->verifyCard());
}

JobError Preparation::fitProblem(const CardWriter &writer, const QString &sku, const QList<FileRecord> &records)
{
    CardFilesystem::Kind kind = CardFilesystem::Kind::Unknown;
    const CardResult result = writer.filesystem(&kind);
    if (!result.ok())
        return JobError::fromCard(result);
    const QString problem = CardLimits::problem(records, kind);
    if (problem.isEmpty())
        return JobError();
    qWarning() << LogClock::prefix(sku) << "file list does not fit a" << CardFilesystem::name(kind)
               << "card:" << problem;
    return JobError{JobError::FileSystemLimit, QString(), problem};
}

bool Preparation::readList(const CardWriter *writer, const QString &cardRoot, const QString &sku, QByteArray body,
                           FileList::Kind kind, Result *result)
{
    // What the reply left in pieces goes back to the system before the
    // records are made: trimmed now, while the heap holds little else, it
    // takes a moment and keeps the records from settling around its holes.
    FreedMemory::release();
    QString refusal;
    const bool parsed = result->list.parse(body, kind, &refusal);
    body = QByteArray();
    if (!parsed) {
        qWarning() << LogClock::prefix(sku) << "file list refused:" << refusal;
        result->error = JobError{JobError::ServiceReply, QString(), refusal};
        return false;
    }
    result->error = cardProblem(writer, cardRoot);
    if (result->error.isNone())
        result->error = fitProblem(*writer, sku, result->list.records);
    return result->error.isNone();
}

Preparation::Result Preparation::forProduct(std::shared_ptr<const CardWriter> writer, const QString &cardRoot,
                                            const QString &sku, QByteArray body)
{
    Result result;
    if (!readList(writer.get(), cardRoot, sku, std::move(body), FileList::Kind::Product, &result))
        return result;
    {
        ProductCard::Preparation card;
        const CardResult prepared = ProductCard::prepare(*writer, sku, result.list, &card);
        if (!prepared.ok()) {
            result.error = JobError::fromCard(prepared);
            return result;
        }
        result.vmidWritten = card.vmidWritten;
        const QList<FileRecord> &records = result.list.records;
        result.recordIndex.reserve(records.size());
        for (int i = 0; i < records.size(); ++i)
            apply(i, card.step(records, i), &result);
    }
    // No trim of the allocator here: with one arena, walking a heap of
    // 200,000 records holds every other thread's allocations (the window's
    // among them) for a few hundred milliseconds, and the list's transient
    // pieces are reused by the run anyway.
    finish(&result);
    return result;
}

Preparation::Result Preparation::forSegments(std::shared_ptr<const CardWriter> writer, const QString &cardRoot,
                                             const QString &sku, const QByteArray &body,
                                             const QString &containerName, const QStringList &oldSegments,
                                             const QByteArray &header, const QByteArray &chain,
                                             const QString &chartId)
{
    Result result;
    if (!readList(writer.get(), cardRoot, sku, body, FileList::Kind::Segments, &result))
        return result;
    result.rqUpdate = std::make_shared<RqUpdate>(writer, containerName, oldSegments, header, chain, chartId);
    result.rqUpdate->setSegments(result.list, body);
    QHash<QString, CardWriter::Facts> facts;
    const CardResult surveyed = writer->survey(result.rqUpdate->surveyPaths(), &facts);
    if (!surveyed.ok()) {
        result.error = JobError::fromCard(surveyed);
        return result;
    }
    QList<ActivationPlan::Step> steps;
    result.error = result.rqUpdate->arrange(facts, &steps);
    if (result.error.isNone()) {
        for (int i = 0; i < steps.size(); ++i)
            apply(i, steps.at(i), &result);
        finish(&result);
    }
    return result;
}

void Preparation::apply(int i, const ActivationPlan::Step &step, Result *result)
{
    const FileRecord &record = result->list.records.at(i);
    const QString target = step.target.isEmpty() ? record.file : step.target;
    result->recordIndex.insert(record.file, i);
    if (target != record.file)
        result->targets.insert(record.file, target);
    if (!step.checkPath.isEmpty())
        result->checkPaths.insert(record.file, step.checkPath);
    switch (step.action) {
    case ActivationPlan::Action::Check:
    case ActivationPlan::Action::Inline:
        result->checks.append(record.file);
        if (step.offset > 0)
            result->keptAtTarget.insert(record.file, step.offset);
        break;
    case ActivationPlan::Action::Resume:
        result->resumedBytes += step.offset;
        result->orders.append({i, target, step.offset, false, false});
        break;
    case ActivationPlan::Action::Fetch:
        result->orders.append({i, target, 0, step.replace, false});
        break;
    case ActivationPlan::Action::None:
        // Whole already where it is fetched to (an RQ segment staged by an
        // earlier run).
        result->resumedBytes += step.offset;
        break;
    }
}

void Preparation::finish(Result *result)
{
    const QList<FileRecord> &records = result->list.records;
    result->pathIndex = result->recordIndex;
    for (auto it = result->targets.cbegin(); it != result->targets.cend(); ++it)
        result->pathIndex.insert(it.value(), result->recordIndex.value(it.key()));
    for (auto it = result->checkPaths.cbegin(); it != result->checkPaths.cend(); ++it)
        result->pathIndex.insert(it.value(), result->recordIndex.value(it.key()));
    result->fetching.resize(records.size());
    for (const TransferOrder &order : std::as_const(result->orders))
        result->fetching.setBit(order.record);
    qInfo() << "files to check:" << result->checks.size() << "to fetch:" << result->orders.size()
            << "bytes kept of resumed files:" << result->resumedBytes;
}
