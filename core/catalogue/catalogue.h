#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include "catalogue/product.h"
#include "service/serviceerror.h"

class ChartService;

// The account's products of the three lines and its subscriptions to them,
// as values: asks the service for the product list (again after a failure)
// and for a line's subscriptions, and keeps what comes back. The window and
// the command line read it; neither holds products of its own.
class Catalogue : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Catalogue)

public:
    Catalogue(ChartService *service, QObject *parent = nullptr);

    void setSession(const QString &sessionId) { session = sessionId; }

    void loadProducts();
    void loadSubscriptions(ProductTypeEnum line);
    bool productsLoaded() const { return loaded; }
    bool subscriptionsLoaded(ProductTypeEnum line) const { return linesLoaded.contains(line); }

    // In the service's order (by product id within a line).
    QList<Product> products(ProductTypeEnum line) const;
    QList<Product> owned(ProductTypeEnum line) const;
    Product product(int productId) const;
    Product productBySku(const QString &sku) const;
    // The line whose product has this SKU; NoProductType when none has.
    ProductTypeEnum lineOf(const QString &sku) const;

    // The service bound a subscription to a card (an activation said so).
    void bind(int productId, int subscriptionId, const QString &deviceId, int expiration);

signals:
    void productsArrived();
    void productsFailed(const ServiceError &error);
    void subscriptionsArrived(ProductTypeEnum line);
    void subscriptionsFailed(ProductTypeEnum line, const ServiceError &error);
    // One product's subscriptions changed outside a reload.
    void productChanged(int productId);

private:
    ChartService *service;
    QString session;
    QList<Product> all;
    QHash<int, int> indexById;
    QSet<ProductTypeEnum> linesLoaded;
    bool loaded = false;
};
