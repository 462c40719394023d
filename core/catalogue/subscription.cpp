#include "catalogue/subscription.h"

#include "card/mediaid.h"

QString Subscription::boundMediaId() const
{
    return mediaIdFromContent(deviceId);
}
