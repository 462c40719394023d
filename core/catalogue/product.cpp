#include "catalogue/product.h"

const Subscription *Product::subscriptionFor(const QString &mediaId) const
{
    if (mediaId.isEmpty())
        return nullptr;
    for (const Subscription &subscription : subscriptions) {
        if (subscription.boundMediaId() == mediaId)
            return &subscription;
    }
    return nullptr;
}
