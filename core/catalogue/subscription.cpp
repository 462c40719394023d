#include "catalogue/subscription.h"

Subscription::Subscription(const QJsonObject &subscription)
    : subscriptionId(subscription.value(QStringLiteral("subscription_id")).toInt(0))
    , deviceId(subscription.value(QStringLiteral("device_id")).toString())
    , expiration(subscription.value(QStringLiteral("expiration")).toInt(0))
    , drm(QByteArray::fromBase64(subscription.value(QStringLiteral("drm")).toString().toLatin1()))
{
}
