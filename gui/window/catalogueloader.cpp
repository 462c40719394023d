#include "window/catalogueloader.h"

#include <QDebug>
#include <QJsonDocument>
#include <QNetworkReply>

#include "widgets/productgroup.h"
#include "widgets/rqsdproduct.h"
#include "widgets/talvoproduct.h"
#include "widgets/velmoraproduct.h"
#include "card/mediaid.h"
#include "shell/serviceclient.h"

CatalogueLoader::CatalogueLoader(ServiceClient &client, QString sessionId, QObject *parent)
    : QObject(parent)
    , client(client)
    , sessionId(std::move(sessionId))
{
    for (ProductTypeEnum line : {VelmoraRegion, Talvos, RqSd})
        productGroups.insert(line, new ProductGroup(productTypeToString(line), true));
}

CatalogueLoader::~CatalogueLoader()
{
    // Products go first: their rows sit in the window's widgets and they
    // hold pointers into their groups' button groups.
    for (ProductGroup *group : std::as_const(productGroups)) {
        const auto products = group->getProducts();
        qDeleteAll(products);
    }
    qDeleteAll(productGroups);
}

void CatalogueLoader::setRowParent(ProductTypeEnum line, QWidget *parent)
{
    rowParents.insert(line, parent);
}

void CatalogueLoader::requestProducts()
{
    client.post(QStringLiteral("GetAllProducts"), QStringLiteral("smn"), QJsonObject());
}

void CatalogueLoader::getSubscriptionsRequest(ProductTypeEnum line)
{
    QJsonObject body;
    body.insert(QStringLiteral("product_type"), productTypeToString(line));
    body.insert(QStringLiteral("session_id"), sessionId);
    client.post(QStringLiteral("/GetSubscriptions"), QStringLiteral("smn"), body, productTypeToString(line));
}

bool CatalogueLoader::handleGetAllProducts(QNetworkReply *reply)
{
    const QJsonObject object = QJsonDocument::fromJson(reply->readAll()).object();
    if (reply->error() != QNetworkReply::NoError) {
        qDebug() << reply->errorString();
        // Empty tabs would say nothing; the user needs to know the list did
        // not come and that asking again is possible.
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        QString reason = object.value(QStringLiteral("message")).toString();
        if (reason.isEmpty())
            reason = status ? QStringLiteral("Error: %1").arg(status) : QStringLiteral("No connection to the chart service");
        emit productListFailed(QStringLiteral("Your products could not be loaded (%1). Check your internet connection, "
                                              "then press the refresh button to try again.")
                                   .arg(reason.toHtmlEscaped()));
        return false;
    }
    loaded = true;
    // QJsonObject keys come sorted, which is the order rows should follow.
    for (auto lineIt = object.constBegin(); lineIt != object.constEnd(); ++lineIt) {
        const ProductTypeEnum line = productTypeFromString(lineIt.key());
        if (!productGroups.contains(line)) {
            qDebug() << "Skipping products of unknown line" << lineIt.key();
            continue;
        }
        const QJsonObject products = lineIt.value().toObject();
        for (auto it = products.constBegin(); it != products.constEnd(); ++it)
            addProduct(it.value().toObject(), line);
    }
    return true;
}

void CatalogueLoader::addProduct(const QJsonObject &product, ProductTypeEnum line)
{
    ProductGroup *group = productGroups.value(line);
    if (!group)
        return;
    const int id = product.value(QStringLiteral("product_id")).toInt(0);
    AbstractProduct *created = nullptr;
    switch (line) {
    case Talvos:
        created = new TalvoProduct(product);
        created->productType = Talvos;
        break;
    case VelmoraRegion:
        created = new VelmoraProduct(product);
        created->productType = VelmoraRegion;
        break;
    case RqSd:
        created = new RqSdProduct(product);
        break;
    default:
        return;
    }
    // The group keeps only the latest product of an id; the one it drops
    // would otherwise leak.
    AbstractProduct *replaced = group->getProduct(id);
    group->addProduct(id, created);
    if (replaced && replaced != created) {
        emit productReplaced(replaced);
        delete replaced;
    }
}

bool CatalogueLoader::handleGetSubscriptions(QNetworkReply *reply, ProductTypeEnum line, const QString &rawMediaId)
{
    const QJsonObject object = QJsonDocument::fromJson(reply->readAll()).object();
    if (reply->error() != QNetworkReply::NoError) {
        qDebug() << reply->errorString();
        return false;
    }
    ProductGroup *group = productGroups.value(line);
    if (!group)
        return false;

    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        bool ok = false;
        int id = it.key().toInt(&ok, 10);
        if (!ok)
            id = 0;
        QJsonObject subscription = it.value().toObject();
        const int productId = subscription.value(QStringLiteral("product_id")).toInt(0);
        subscription.insert(QStringLiteral("subscription_id"), id);

        AbstractProduct *product = group->getProduct(productId);
        if (!product || product->subscriptions.contains(id))
            continue;
        group->addSubscription(productId, id, &subscription);
        if (product->subscriptions.size() != 1)
            continue;

        if (line == RqSd) {
            if (mediaIdFromContent(subscription.value(QStringLiteral("device_id")).toString()) == rawMediaId)
                emit rqCardMatched(product->sku);
        } else if (QWidget *parent = rowParents.value(line)) {
            product->createRow(parent, group->getButtonGroup());
            emit rowCreated(product);
        }
    }
    return true;
}
