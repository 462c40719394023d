#include "catalogue/catalogue.h"

#include "service/chartservice.h"

Catalogue::Catalogue(ChartService *chartService, QObject *parent)
    : QObject(parent)
    , service(chartService)
{
}

void Catalogue::loadProducts()
{
    ServiceCall<QList<Product>> *call = service->products();
    connect(call, &ServiceReply::finished, this, [this, call] {
        if (!call->ok()) {
            emit productsFailed(call->error());
            return;
        }
        // Subscriptions already known stay with their products.
        QHash<int, QList<Subscription>> kept;
        for (const Product &product : std::as_const(all))
            kept.insert(product.productId, product.subscriptions);
        all.clear();
        indexById.clear();
        for (Product product : call->value()) {
            // The list keeps only the latest product of an id.
            product.subscriptions = kept.value(product.productId);
            if (indexById.contains(product.productId)) {
                all[indexById.value(product.productId)] = product;
                continue;
            }
            indexById.insert(product.productId, int(all.size()));
            all.append(product);
        }
        loaded = true;
        emit productsArrived();
    });
}

void Catalogue::loadSubscriptions(ProductTypeEnum line)
{
    ServiceCall<QList<Subscription>> *call = service->subscriptions(line, session);
    connect(call, &ServiceReply::finished, this, [this, call, line] {
        if (!call->ok()) {
            emit subscriptionsFailed(line, call->error());
            return;
        }
        // What the service says now replaces what it said before for the line.
        for (Product &product : all) {
            if (product.line == line)
                product.subscriptions.clear();
        }
        for (const Subscription &subscription : call->value()) {
            const auto it = indexById.constFind(subscription.productId);
            if (it == indexById.cend() || all.at(it.value()).line != line)
                continue;
            all[it.value()].subscriptions.append(subscription);
        }
        linesLoaded.insert(line);
        emit subscriptionsArrived(line);
    });
}

QList<Product> Catalogue::products(ProductTypeEnum line) const
{
    QList<Product> found;
    for (const Product &product : all) {
        if (product.line == line)
            found.append(product);
    }
    return found;
}

QList<Product> Catalogue::owned(ProductTypeEnum line) const
{
    QList<Product> found;
    for (const Product &product : all) {
        if (product.line == line && product.owned())
            found.append(product);
    }
    return found;
}

Product Catalogue::product(int productId) const
{
    const auto it = indexById.constFind(productId);
    return it == indexById.cend() ? Product() : all.at(it.value());
}

Product Catalogue::productBySku(const QString &sku) const
{
    const QString wanted = sku.trimmed();
    for (const Product &product : all) {
        if (product.sku == sku || (!wanted.isEmpty() && product.sku.trimmed() == wanted))
            return product;
    }
    return Product();
}

ProductTypeEnum Catalogue::lineOf(const QString &sku) const
{
    if (sku.isEmpty())
        return NoProductType;
    const Product found = productBySku(sku);
    return found.isValid() ? found.line : NoProductType;
}

void Catalogue::bind(int productId, int subscriptionId, const QString &deviceId, int expiration)
{
    const auto it = indexById.constFind(productId);
    if (it == indexById.cend())
        return;
    Product &product = all[it.value()];
    Subscription *target = nullptr;
    for (Subscription &subscription : product.subscriptions) {
        if (subscription.subscriptionId == subscriptionId)
            target = &subscription;
    }
    if (!target) {
        Subscription added;
        added.subscriptionId = subscriptionId;
        added.productId = productId;
        product.subscriptions.append(added);
        target = &product.subscriptions.last();
    }
    target->deviceId = deviceId;
    target->expiration = expiration;
    emit productChanged(productId);
}
