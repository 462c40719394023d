#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

#include "catalogue/producttypeenum.h"
#include "catalogue/subscription.h"

// One chart product of one line, with the account's subscriptions to it.
// A value: the catalogue holds the products, views and jobs copy what they
// need.
struct Product
{
    int productId = 0;
    QString sku;
    QString name;
    int sizeInKb = 0;
    ProductTypeEnum line = NoProductType;
    // The newest build of an RQ chart on the service.
    qint32 buildNumber = 0;
    qint32 buildCode = 0;
    QList<Subscription> subscriptions;

    bool isValid() const { return productId != 0 || !sku.isEmpty(); }
    bool owned() const { return !subscriptions.isEmpty(); }
    // The subscription bound to the card of this media id, if any.
    const Subscription *subscriptionFor(const QString &mediaId) const;
};

Q_DECLARE_METATYPE(Product)
