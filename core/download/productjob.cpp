#include "download/productjob.h"

#include <QLoggingCategory>
#include <QStorageInfo>

#include "base/freedmemory.h"
#include "card/cardfile.h"
#include "card/cardwriter.h"
#include "card/proofledger.h"
#include "card/sha1stream.h"
#include "card/vmidfile.h"
#include "catalogue/productstatus.h"
#include "download/productcard.h"
#include "service/chartservice.h"

Q_DECLARE_LOGGING_CATEGORY(lcJob)

namespace {
// A vmid lists every file of a product: 200,000 files make about 20 MiB.
constexpr qint64 maxVmidSize = 64 * 1024 * 1024;
} // namespace

ProductJob::ProductJob(ChartService *chartService, const Product &product, const QString &sessionId,
                       const CardIdentity &card, const JobOptions &jobOptions, QObject *parent)
    : DownloadJob(card, jobOptions, parent)
    , service(chartService)
    , item(product)
    , session(sessionId)
{
    claimCard(card, CardLock::Mode::Exclusive, QStringLiteral("downloading %1").arg(product.sku.simplified()));
}

void ProductJob::begin()
{
    // Activation binds a subscription to the card: a product that can never
    // fit on it is refused first, from a script as from the window (which
    // offers no button for it). Its free space is not judged here: what the
    // card holds of the product already, or the user deletes, counts too.
    const QStorageInfo storage(identity.root());
    if (storage.isValid() && storage.bytesTotal() > 0 && !ProductStatus::fitsOn(item, storage.bytesTotal())) {
        qCInfo(lcJob) << item.sku << "larger than the card:" << item.sizeInKb << "KiB," << storage.bytesTotal()
                      << "bytes";
        fail(JobError{JobError::CardFull, QString(), ProductStatus::tooLargeMessage()});
        return;
    }
    const QString onCard = ProductCard::productOn(*writer);
    if (!onCard.isEmpty() && onCard != item.sku.simplified() && !replaceAny && onCard != replaceable) {
        qCInfo(lcJob) << item.sku << "not started: the card holds" << onCard
                      << "and replacing it was not agreed to" << replaceable;
        fail(JobError{JobError::ProductOnCard, QString(),
                      tr("%1 is on this card, and %2 would replace it. Nothing was changed on the card.")
                          .arg(onCard, item.sku.simplified())});
        return;
    }
    if (!moveTo(Stage::Activating))
        return;
    qCInfo(lcJob) << item.sku << "activate product";
    ServiceCall<QByteArray> *call = service->activate(identity.mediaText(), item.sku, session);
    activation = call;
    connect(call, &ServiceReply::finished, this, [this, call] {
        activation = nullptr;
        if (stage() == Stage::Cancelling) {
            moveTo(Stage::Cancelled);
            return;
        }
        if (!call->ok()) {
            fail(JobError::fromService(call->error()));
            return;
        }
        prepare([card = writer, root = identity.root(), sku = item.sku, body = call->value()]() mutable {
            return Preparation::forProduct(card, root, sku, std::move(body));
        });
    });
}

void ProductJob::stopOwnWork()
{
    if (activation) {
        activation->abort();
        activation = nullptr;
    }
}

void ProductJob::prepared(const Preparation::Result &)
{
    // From here the card's product is this one and it is not proven: a
    // stop, a kill or a pulled card leave it "incomplete".
    ProofLedger().markWriting(identity.rawMediaId(), item.sku);
    emit activated(item.productId, list.subscriptionId, identity.mediaText(), list.expiration);
}

void ProductJob::proven()
{
    // Every file had the service's SHA-1 as it went to the card, but the
    // card was not asked what it kept: not proven.
    if (!options.readBack) {
        ProofLedger().forget(identity.rawMediaId());
        return;
    }
    // What the completion and the read-back freed goes back before the
    // ledger's text of every file is made.
    FreedMemory::release();
    ProofLedger::Entry entry;
    entry.sku = item.sku;
    // Hashed in pieces: the vmid of 200,000 files is some 20 MiB.
    CardFile vmid;
    Sha1Stream digest;
    if (writer->open(VmidFile::name, CardWriter::Mode::Read, &vmid).ok()
        && vmid.hashPrefix(qBound<qint64>(0, vmid.size(), maxVmidSize), &digest).ok())
        entry.vmidSha1 = digest.hexDigest();
    entry.files.reserve(list.records.size());
    for (const FileRecord &record : std::as_const(list.records))
        entry.files.append({record.file, record.size + record.data.size()});
    keepProof(identity.rawMediaId(), entry);
}
