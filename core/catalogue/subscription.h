#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

// One purchase of a product, as the service lists it.
struct Subscription
{
    int subscriptionId = 0;
    int productId = 0;
    // The media text of the card the purchase is bound to; unbound unless it
    // holds a media id.
    QString deviceId;
    int expiration = 0;
    // Opaque to the tool: passed from the service to the download unchanged.
    QByteArray drm;

    // The media id of the card it is bound to; empty when unbound.
    QString boundMediaId() const;
};

Q_DECLARE_METATYPE(Subscription)
