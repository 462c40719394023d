#include "download/restorationjob.h"

#include "card/cardwriter.h"
#include "card/mikfile.h"
#include "download/preparation.h"
#include "download/rqupdate.h"
#include "service/chartservice.h"

RestorationJob::RestorationJob(ChartService *chartService, const Product &product, const CardIdentity &card,
                               const QByteArray &chainBytes, QObject *parent)
    : Job(parent)
    , service(chartService)
    , item(product)
    , identity(card)
    , chain(chainBytes)
{
    claimCard(card, CardLock::Mode::Exclusive, QStringLiteral("restoring %1").arg(product.sku.simplified()));
}

void RestorationJob::begin()
{
    if (!moveTo(Stage::Activating))
        return;
    ServiceCall<QByteArray> *reply = service->headerUpdate(item.sku);
    call = reply;
    connect(reply, &ServiceReply::finished, this, [this, reply] {
        call = nullptr;
        if (stage() == Stage::Cancelling) {
            moveTo(Stage::Cancelled);
            return;
        }
        if (!reply->ok()) {
            fail(JobError::fromService(reply->error()));
            return;
        }
        const QString damaged = RqUpdate::headerProblem(reply->value());
        if (!damaged.isEmpty()) {
            fail(JobError{JobError::ServiceReply, QString(), damaged});
            return;
        }
        const CardWriter writer(identity);
        const JobError problem = Preparation::cardProblem(&writer, identity.root());
        if (!problem.isNone()) {
            fail(problem);
            return;
        }
        const CardResult written =
            RqUpdate::restore(writer, item.sku, reply->value().left(Mik::MikFile::headerImageSize), chain);
        if (!written.ok()) {
            fail(JobError::fromCard(written));
            return;
        }
        moveTo(Stage::Done);
    });
}

void RestorationJob::stopWork()
{
    if (call) {
        call->abort();
        call = nullptr;
    }
}
