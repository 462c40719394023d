#include "catalogue/rqcardplan.h"

#include <algorithm>

RqCardPlan RqCardPlan::decide(const QList<Product> &rqProducts, const CardState &card)
{
    RqCardPlan plan;
    if (!card.isValid())
        return plan;
    QList<Product> products = rqProducts;
    std::sort(products.begin(), products.end(), [](const Product &a, const Product &b) { return a.sku < b.sku; });
    for (const CardState::Container &container : card.containers()) {
        for (const Product &product : std::as_const(products)) {
            if (product.sku != container.chartName || !product.owned())
                continue;
            plan.product = product;
            plan.containerFile = container.fileName;
            plan.container = container;
            plan.step = product.subscriptionFor(card.mediaId()) ? Ready : Register;
            return plan;
        }
    }
    // The bound subscription may have come with an earlier card; what
    // counts is the card chosen now.
    for (const Product &product : std::as_const(products)) {
        if (const Subscription *bound = product.subscriptionFor(card.mediaId())) {
            plan.product = product;
            plan.chain = bound->drm;
            plan.step = Restore;
            return plan;
        }
    }
    return plan;
}
