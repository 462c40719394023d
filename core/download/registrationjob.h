#pragma once

#include <QPointer>
#include <QString>

#include "card/cardidentity.h"
#include "catalogue/product.h"
#include "download/job.h"
#include "service/servicereply.h"

class ChartService;

// An RQ card the service does not know yet, made known: the card's chart
// data goes to the service with an activation for the card. Nothing on the
// card changes.
class RegistrationJob : public Job
{
    Q_OBJECT

public:
    RegistrationJob(ChartService *service, const Product &product, const QString &sessionId,
                    const CardIdentity &card, const QString &containerName, QObject *parent = nullptr);

    QString title() const override { return item.name; }
    const Product &product() const { return item; }

protected:
    void begin() override;
    void stopWork() override;
    void continueWork() override {}
    bool workIdle() const override { return !call; }

private:
    ChartService *service;
    Product item;
    QString session;
    CardIdentity identity;
    QString containerFile;
    QPointer<ServiceReply> call;
};
