#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include "catalogue/producttypeenum.h"

class AbstractProduct;
class ProductGroup;
class QNetworkReply;
class QWidget;
struct ServiceClient;

// The products of the three lines and the account's subscriptions to them:
// asks the service for the product list once (again after a failure), for a
// line's subscriptions when its tab is first shown or refreshed, and files
// what comes back into the lines' groups, creating a row for every product
// the account owns.
class CatalogueLoader : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CatalogueLoader)

public:
    CatalogueLoader(ServiceClient &client, QString sessionId, QObject *parent);
    ~CatalogueLoader() override;

    ProductGroup *group(ProductTypeEnum line) const { return productGroups.value(line); }
    const QHash<ProductTypeEnum, ProductGroup *> &groups() const { return productGroups; }
    bool productsLoaded() const { return loaded; }
    // Where a line's rows go.
    void setRowParent(ProductTypeEnum line, QWidget *parent);

    void requestProducts();
    void getSubscriptionsRequest(ProductTypeEnum line);
    // False when the reply failed; the reason went out as productListFailed.
    bool handleGetAllProducts(QNetworkReply *reply);
    void addProduct(const QJsonObject &product, ProductTypeEnum line);
    // rawMediaId is the chosen card's, for recognising the RQ subscription
    // bound to it.
    // False when the reply failed or names no line.
    bool handleGetSubscriptions(QNetworkReply *reply, ProductTypeEnum line, const QString &rawMediaId);

signals:
    void productListFailed(const QString &message);
    // A product got its first subscription and now has a row.
    void rowCreated(AbstractProduct *product);
    // The first subscription of an RQ product is bound to the chosen card.
    void rqCardMatched(const QString &sku);
    // A product is about to be deleted because the list replaced it.
    void productReplaced(AbstractProduct *product);

private:
    ServiceClient &client;
    QString sessionId;
    QHash<ProductTypeEnum, ProductGroup *> productGroups;
    QHash<ProductTypeEnum, QWidget *> rowParents;
    bool loaded = false;
};
