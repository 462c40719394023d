#include "download/verifyjob.h"

#include <algorithm>

#include <QCryptographicHash>
#include <QLoggingCategory>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <QtEndian>

#include "card/cardwriter.h"
#include "card/mikfile.h"
#include "card/proofledger.h"
#include "card/sha1stream.h"
#include "card/vmidfile.h"
#include "download/preparation.h"
#include "service/chartservice.h"

Q_DECLARE_LOGGING_CATEGORY(lcJob)

namespace {
constexpr qint64 maxVmidSize = 64 * 1024 * 1024;
} // namespace

VerifyJob::VerifyJob(ChartService *chartService, const Product &product, const QString &sessionId,
                     const CardIdentity &card, QObject *parent)
    : Job(parent)
    , service(chartService)
    , item(product)
    , session(sessionId)
    , identity(card)
    , writer(std::make_shared<const CardWriter>(card))
{
    // Reads only: other verifications may read the card at the same time,
    // no writer may change it meanwhile.
    claimCard(card, CardLock::Mode::Shared, QStringLiteral("verifying %1").arg(product.sku.simplified()));
    connect(&surveying, &QFutureWatcher<Survey>::finished, this, &VerifyJob::handleSurvey);
    connect(&readback, &ReadbackVerifier::finished, this, &VerifyJob::handleReadback);
    connect(&readback, &ReadbackVerifier::progress, this, [this](qint64 done, qint64 total) {
        setProgress(done, total, 0, int(found.items.size()));
    });
}

VerifyJob::~VerifyJob()
{
    surveying.waitForFinished();
}

bool VerifyJob::workIdle() const
{
    return !call && !surveying.isRunning() && !readback.isRunning();
}

void VerifyJob::stopWork()
{
    if (call) {
        call->abort();
        call = nullptr;
    }
    readback.stop();
}

void VerifyJob::begin()
{
    if (!moveTo(Stage::Activating))
        return;
    // A product's list comes only with an activation, and activating a
    // product no subscription of which is bound to this card would bind one
    // for good: a check must not use up what the user paid for. Such a card
    // cannot hold the product anyway.
    if (item.line != RqSd && !item.subscriptionFor(identity.rawMediaId())) {
        fail(JobError{JobError::Mismatch, QString(),
                      QStringLiteral("%1 is not on this card: none of its subscriptions is bound to the "
                                     "card. Nothing was checked, and no subscription was used.")
                          .arg(item.name.simplified())});
        return;
    }
    // The list of an RQ chart is its newest build's segments; a product's
    // comes with its activation for this card.
    ServiceCall<QByteArray> *reply = item.line == RqSd ? service->segments(item.sku)
                                                       : service->activate(identity.mediaText(), item.sku, session);
    call = reply;
    connect(reply, &ServiceReply::finished, this, [this, reply] { handleList(reply); });
}

void VerifyJob::handleList(ServiceCall<QByteArray> *reply)
{
    call = nullptr;
    if (stage() == Stage::Cancelling) {
        moveTo(Stage::Cancelled);
        return;
    }
    if (!reply->ok()) {
        fail(JobError::fromService(reply->error()));
        return;
    }
    if (!moveTo(Stage::Preparing))
        return;
    surveying.setFuture(QtConcurrent::run(QThreadPool::globalInstance(),
                                          [card = writer, body = reply->value(), rq = item.line == RqSd,
                                           chart = item.sku] { return survey(card, body, rq, chart); }));
}

VerifyJob::Survey VerifyJob::survey(std::shared_ptr<const CardWriter> writer, const QByteArray &body, bool segments,
                                    const QString &chartName)
{
    Survey result;
    QString refusal;
    if (!result.list.parse(body, segments ? FileList::Kind::Segments : FileList::Kind::Product, &refusal)) {
        result.error = JobError{JobError::ServiceReply, QString(), refusal};
        return result;
    }
    result.error = Preparation::cardProblem(writer.get(), writer->root());
    if (!result.error.isNone())
        return result;
    QStringList paths;
    for (const FileRecord &record : std::as_const(result.list.records))
        paths.append(record.file);
    if (segments) {
        QStringList rootFiles;
        writer->listFiles(QString(), 10000, &rootFiles);
        for (const QString &name : std::as_const(rootFiles)) {
            QByteArray header;
            if (!name.endsWith(QStringLiteral(".kim"), Qt::CaseInsensitive)
                || !writer->readFile(name, Mik::MikFile::headerImageSize, &header).ok())
                continue;
            Mik::MikFile container;
            container.setHeaderImage(header);
            if (container.chartName() == chartName)
                result.container = name;
        }
        if (result.container.isEmpty()) {
            result.differences.append(JobError{JobError::Mismatch, chartName,
                                               QStringLiteral("The card holds no container of this chart.")});
            return result;
        }
    }
    QHash<QString, CardWriter::Facts> facts;
    const CardResult surveyed = writer->survey(paths, &facts);
    if (!surveyed.ok()) {
        result.error = JobError::fromCard(surveyed);
        return result;
    }
    for (const FileRecord &record : std::as_const(result.list.records)) {
        const CardWriter::Facts found = facts.value(record.file);
        const qint64 length = record.size + record.data.size();
        // An RQ segment of size 0 lives in the container, not beside it.
        if (segments && record.size == 0)
            continue;
        if (!found.regular) {
            result.differences.append(
                JobError{JobError::Mismatch, record.file, QStringLiteral("\"%1\" is not on the card.").arg(record.file)});
        } else if (found.size != length) {
            result.differences.append(JobError{JobError::Mismatch, record.file,
                                               QStringLiteral("\"%1\" is %2 bytes on the card instead of %3.")
                                                   .arg(record.file)
                                                   .arg(found.size)
                                                   .arg(length)});
        } else {
            result.items.append({record.file, record.size, record.sha1, record.data, true});
        }
    }
    return result;
}

void VerifyJob::handleSurvey()
{
    found = surveying.result();
    if (stage() == Stage::Cancelling) {
        moveTo(Stage::Cancelled);
        return;
    }
    if (!found.error.isNone()) {
        fail(found.error);
        return;
    }
    for (const JobError &difference : std::as_const(found.differences))
        report(difference);
    if (!moveTo(Stage::ReadingBack))
        return;
    readback.start(writer, found.items);
}

JobError VerifyJob::containerProblem(const CardWriter &writer, const QString &name)
{
    QByteArray header;
    const CardResult read = writer.readFile(name, Mik::MikFile::headerImageSize, &header);
    if (!read.ok())
        return JobError::fromCard(read);
    Mik::MikFile container;
    container.setHeaderImage(header);
    const JobError unfinished{JobError::Mismatch, name,
                              QStringLiteral("The chart container \"%1\" is not finished: the update must be run again.")
                                  .arg(name)};
    if ((container.flags() & Mik::MikFile::FlagUpdating) || !(container.flags() & Mik::MikFile::FlagDigest))
        return unfinished;
    Sha1Stream digest;
    qint64 position = 0;
    const qint64 payloadStart = qint64(qMin<quint64>(container.headerSize(), quint64(Mik::MikFile::headerImageSize)));
    const CardResult back = writer.readBack(name, payloadStart, [&](const char *bytes, qint64 length) {
        digest.update(bytes, length);
        position += length;
    });
    if (!back.ok())
        return JobError::fromCard(back);
    const QByteArray expected = container.payloadSha1().toHex();
    if (!Sha1Stream::sameDigest(digest.hexDigest(), expected))
        return JobError{JobError::Mismatch, name,
                        QStringLiteral("The chart container \"%1\" does not match its own digest.").arg(name)};
    return JobError();
}

void VerifyJob::withdrawProof(const QList<JobError> &problems) const
{
    if (item.line == RqSd)
        return; // an RQ card's state is its container's own flags
    const bool differs = std::any_of(problems.cbegin(), problems.cend(), [](const JobError &problem) {
        return problem.kind == JobError::Mismatch;
    });
    if (!differs)
        return; // a card taken out or unreadable proved nothing either way
    const ProofLedger ledger;
    const ProofLedger::Entry entry = ledger.entry(identity.rawMediaId());
    if (entry.state == ProofLedger::State::Proven && entry.sku == item.sku)
        ledger.markWriting(identity.rawMediaId(), item.sku);
}

void VerifyJob::handleReadback()
{
    if (stage() == Stage::Cancelling) {
        moveTo(Stage::Cancelled);
        return;
    }
    QList<JobError> problems = found.differences;
    for (const CardResult &failure : readback.failures()) {
        JobError error = JobError::fromCard(failure);
        // Nothing was written in this run: bytes that read back otherwise
        // differ from the service's, whoever put them there.
        if (failure.problem() == CardResult::NotKept) {
            error.kind = JobError::Mismatch;
            error.message = QStringLiteral("\"%1\" differs from the chart service's file.").arg(failure.path());
        }
        report(error);
        problems.append(error);
    }
    if (problems.isEmpty() && !found.container.isEmpty()) {
        const JobError container = containerProblem(*writer, found.container);
        if (!container.isNone()) {
            report(container);
            problems.append(container);
        }
    }
    if (!problems.isEmpty()) {
        withdrawProof(problems);
        fail(problems, true);
        return;
    }
    if (item.line != RqSd) {
        ProofLedger::Entry entry;
        entry.sku = item.sku;
        QByteArray vmid;
        if (writer->readFile(VmidFile::name, maxVmidSize, &vmid).ok()
            && VmidFile::product(vmid.left(VmidFile::maxLine)) == item.sku) {
            entry.vmidSha1 = QCryptographicHash::hash(vmid, QCryptographicHash::Sha1).toHex();
            for (const FileRecord &record : std::as_const(found.list.records))
                entry.files.append({record.file, record.size + record.data.size()});
            keepProof(identity.rawMediaId(), entry);
        }
    }
    moveTo(Stage::Done);
}
