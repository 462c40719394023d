#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// One purchase of a product, as the service lists it.
class Subscription
{
public:
    explicit Subscription(const QJsonObject &subscription);

    int subscriptionId;
    // The media text of the card the purchase is bound to; unbound unless it
    // holds a media id.
    QString deviceId;
    int expiration;
    // Opaque to the tool: passed from the service to the download unchanged.
    QByteArray drm;
};
