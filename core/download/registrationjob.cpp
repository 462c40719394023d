#include "download/registrationjob.h"

#include "card/mikfile.h"
#include "service/chartservice.h"

RegistrationJob::RegistrationJob(ChartService *chartService, const Product &product, const QString &sessionId,
                                 const CardIdentity &card, const QString &containerName, QObject *parent)
    : Job(parent)
    , service(chartService)
    , item(product)
    , session(sessionId)
    , identity(card)
    , containerFile(containerName)
{
    // Reads the card's chart data: no writer may be rewriting it meanwhile.
    claimCard(card, CardLock::Mode::Shared, QStringLiteral("registering %1").arg(product.sku.simplified()));
}

void RegistrationJob::begin()
{
    if (!moveTo(Stage::Activating))
        return;
    QByteArray chain;
    try {
        Mik::MikFile container(identity.root() + QLatin1Char('/') + containerFile);
        chain = container.getDrmBytes();
    } catch (const QString &) {
    }
    if (chain.isEmpty()) {
        fail(JobError{JobError::Other, containerFile, QStringLiteral("Invalid Chart Data")});
        return;
    }
    ServiceCall<QByteArray> *reply = service->activate(identity.mediaText(), item.sku, session, chain);
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
        moveTo(Stage::Done);
    });
}

void RegistrationJob::stopWork()
{
    if (call) {
        call->abort();
        call = nullptr;
    }
}
