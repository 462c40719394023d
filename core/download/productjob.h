#pragma once

#include <QPointer>
#include <QString>

#include "catalogue/product.h"
#include "download/downloadjob.h"
#include "service/servicereply.h"

class ChartService;

// A Velmora or Talvo product onto one card: the service activates it for
// the card and sends its file list; the card keeps what is complete, and
// gets the rest; then every file is proven. What this computer proved is
// recorded (ProofLedger) so that the card's state can say "complete".
class ProductJob : public DownloadJob
{
    Q_OBJECT

public:
    ProductJob(ChartService *service, const Product &product, const QString &sessionId, const CardIdentity &card,
               const JobOptions &options, QObject *parent = nullptr);

    QString title() const override { return item.name; }
    const Product &product() const { return item; }

    // The product on the card that the user agreed this one replaces (the
    // window asked, or the command line was told --replace). A product the
    // card holds that is neither this one nor the one agreed to is left
    // alone: the job ends before it asks the service for anything, so that
    // a choice made on what the card held a moment ago removes nothing.
    void agreeToReplace(const QString &sku) { replaceable = sku.simplified(); }
    void agreeToReplaceAny() { replaceAny = true; }

signals:
    // The service bound the product's subscription to this card.
    void activated(int productId, int subscriptionId, const QString &deviceId, int expiration);

protected:
    void begin() override;
    void prepared(const Preparation::Result &result) override;
    void proven() override;
    void stopOwnWork() override;
    bool ownWorkIdle() const override { return !activation; }

private:
    ChartService *service;
    Product item;
    QString session;
    QPointer<ServiceReply> activation;
    QString replaceable;
    bool replaceAny = false;
};
