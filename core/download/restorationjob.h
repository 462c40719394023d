#pragma once

#include <QByteArray>
#include <QPointer>
#include <QString>

#include "card/cardidentity.h"
#include "catalogue/product.h"
#include "download/job.h"
#include "service/servicereply.h"

class ChartService;

// A container the card lost, rebuilt: the service's header for the
// product, followed by the chart data the service keeps for this card,
// written whole and marked "update in progress", so that the next update
// completes the card.
class RestorationJob : public Job
{
    Q_OBJECT

public:
    // chain: the subscription's chart data for this card.
    RestorationJob(ChartService *service, const Product &product, const CardIdentity &card, const QByteArray &chain,
                   QObject *parent = nullptr);

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
    CardIdentity identity;
    QByteArray chain;
    QPointer<ServiceReply> call;
};
