#include "widgets/abstractproduct.h"

#include <QDebug>
#include <QFont>
#include <QFontDatabase>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLayout>
#include <QLabel>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include "widgets/productrow.h"
#include "card/mediaid.h"

AbstractProduct::AbstractProduct(const QJsonObject &product, QObject *parent)
    : QObject(parent)
    , name(product.value(QStringLiteral("name")).toString())
    , sku(product.value(QStringLiteral("sku")).toString())
    , sizeInKb(product.value(QStringLiteral("size_in_kb")).toInt(0))
    , productId(product.value(QStringLiteral("product_id")).toInt(0))
{
    statusNames.insert(StatusAvailable, QStringLiteral("Available"));
    statusNames.insert(StatusReplace, QStringLiteral("Replace"));
    statusNames.insert(StatusDownloaded, QStringLiteral("Downloaded"));
    statusNames.insert(StatusRedownload, QStringLiteral("Redownload"));
    statusNames.insert(StatusIncompatible, QStringLiteral("Incompatible"));

    connect(serviceClient.manager, &QNetworkAccessManager::finished, this, &AbstractProduct::handleResponse);
}

AbstractProduct::~AbstractProduct()
{
    qDeleteAll(subscriptions);
    delete row.data();
    delete descriptionWidget.data();
    delete imageWidget.data();
    QMutexLocker locker(&imagesMutex);
    qDeleteAll(images);
    images.clear();
}

void AbstractProduct::insertSubscription(int subscriptionId, const QJsonObject &subscription)
{
    delete subscriptions.value(subscriptionId);
    subscriptions.insert(subscriptionId, new Subscription(subscription));
}

int AbstractProduct::currentSubscriptionStatus(const QString &rawMediaId, const QString &skuOnCard,
                                               const ProductTypeEnum &cardType) const
{
    if (cardType != productType && !skuOnCard.isEmpty())
        return StatusIncompatible;

    bool anyReplace = false;
    bool anyRedownload = false;
    bool anyAvailable = false;
    for (const Subscription *subscription : subscriptions) {
        const QString boundTo = mediaIdFromContent(subscription->deviceId);
        int code;
        if (rawMediaId.isEmpty()) {
            code = boundTo.isEmpty() ? StatusAvailable : StatusDownloaded;
        } else if (skuOnCard.isEmpty()) {
            code = boundTo.isEmpty() ? StatusAvailable
                 : boundTo == rawMediaId ? StatusRedownload
                                         : StatusDownloaded;
        } else if (skuOnCard == sku) {
            if (boundTo == rawMediaId)
                return StatusRedownload;
            code = StatusDownloaded;
        } else {
            code = (boundTo.isEmpty() || boundTo == rawMediaId) ? StatusReplace : StatusDownloaded;
        }
        anyReplace |= code == StatusReplace;
        anyRedownload |= code == StatusRedownload;
        anyAvailable |= code == StatusAvailable;
    }
    if (anyReplace)
        return StatusReplace;
    if (anyRedownload)
        return StatusRedownload;
    if (anyAvailable)
        return StatusAvailable;
    return StatusDownloaded;
}

QMap<int, int> AbstractProduct::currentSubscriptionCount(const QString &rawMediaId, const QString &skuOnCard) const
{
    QMap<int, int> counts;
    for (const Subscription *subscription : subscriptions) {
        const QString boundTo = mediaIdFromContent(subscription->deviceId);
        int code;
        if (rawMediaId.isEmpty() || skuOnCard.isEmpty() || skuOnCard != sku)
            code = boundTo.isEmpty() ? StatusAvailable : StatusDownloaded;
        else
            code = boundTo == rawMediaId ? StatusDownloaded : StatusAvailable;
        ++counts[code];
    }
    return counts;
}

Subscription *AbstractProduct::getSubscription(QString mediaId) const
{
    for (Subscription *subscription : subscriptions) {
        if (mediaIdFromContent(subscription->deviceId) == mediaId)
            return subscription;
    }
    return nullptr;
}

void AbstractProduct::highlighted()
{
    // The flag is set by the reply, so a second highlight while the first
    // request runs asks again rather than leaving the pane empty for good.
    if (!infoRequested) {
        QJsonObject body;
        body.insert(QStringLiteral("sku"), sku);
        body.insert(QStringLiteral("encode_image"), true);
        serviceClient.post(QStringLiteral("GetProductInfo"), QStringLiteral("smn"), body,
                           QStringLiteral("GetProductInfo"));
    }
    emit exclusiveHighlight(productId);
}

void AbstractProduct::handleResponse(QNetworkReply *reply)
{
    reply->deleteLater();
    const QString requestName = reply->request().url().path().section(QLatin1Char('/'), -1);

    if (requestName != QLatin1String("GetProductInfo")) {
        const QImage image = QImage::fromData(reply->readAll());
        if (!imageWidget)
            createImageWidget();
        setImage(image);
        return;
    }

    const QJsonObject info = QJsonDocument::fromJson(reply->readAll()).object();
    if (reply->error() != QNetworkReply::NoError) {
        qDebug() << reply->errorString();
        return;
    }

    const QJsonValue imageList = info.value(QStringLiteral("images"));
    if (imageList.isArray()) {
        // A lake-chart region has many pictures, but only its cover is shown.
        const bool coverOnly = info.value(QStringLiteral("type")).toString() == productTypeToString(VelmoraRegion);
        const QJsonArray entries = imageList.toArray();
        for (const QJsonValue &value : entries) {
            const QJsonObject entry = value.toObject();
            if (!entry.contains(QStringLiteral("url")))
                continue;
            if (coverOnly && entry.value(QStringLiteral("type")).toString() != QLatin1String("cover"))
                continue;
            {
                QMutexLocker locker(&imagesMutex);
                images.append(nullptr);
            }
            serviceClient.downloadRequest(entry.value(QStringLiteral("url")).toString());
            if (coverOnly)
                break;
        }
    }

    byline = info.value(QStringLiteral("byline")).toString();
    const QString lakeListUrl = info.value(QStringLiteral("lake_list_url")).toString();
    description = info.value(QStringLiteral("description")).toString();
    if (!lakeListUrl.isEmpty())
        description += QStringLiteral("<p><a href=\"") + lakeListUrl + QStringLiteral("\">") + name
                       + QStringLiteral("</a></p>");

    infoRequested = true;
    emit infoLoaded(this);
}

void AbstractProduct::highlightRow(bool on)
{
    if (row)
        row->setHighlightColor(on);
}

void AbstractProduct::createProductRow(QWidget *parent, QButtonGroup *group)
{
    row = new ProductRow(this, group, parent);
}

void AbstractProduct::showStatusInRow(const QString &rawMediaId, const QString &skuOnCard,
                                      const ProductTypeEnum &cardType)
{
    if (row)
        row->updateStatusText(statusNames.value(currentSubscriptionStatus(rawMediaId, skuOnCard, cardType)));
}

bool AbstractProduct::hasImageSlot()
{
    QMutexLocker locker(&imagesMutex);
    return !images.isEmpty();
}

QLabel *AbstractProduct::firstLabelOf(QWidget *widget)
{
    if (!widget || !widget->layout() || !widget->layout()->itemAt(0))
        return nullptr;
    return qobject_cast<QLabel *>(widget->layout()->itemAt(0)->widget());
}

QFont AbstractProduct::applicationFont(int id, const QFont &fallback)
{
    QFont font = fallback;
    const QString family = QFontDatabase::applicationFontFamilies(id).value(0);
    if (!family.isEmpty())
        font.setFamily(family);
    font.setPointSize(12);
    return font;
}

void AbstractProduct::showFirstImage(QLabel *label)
{
    QMutexLocker locker(&imagesMutex);
    if (label && !images.isEmpty() && images.first())
        label->setPixmap(*images.first());
}

void AbstractProduct::storeImage(const QImage &image, int height, QLabel *label)
{
    auto *pixmap = new QPixmap(QPixmap::fromImage(image.scaledToHeight(height, Qt::SmoothTransformation)));
    QMutexLocker locker(&imagesMutex);
    // Only the first picture to arrive is shown; a picture nobody asked for
    // (no slot) is dropped.
    if (images.isEmpty() || images.first()) {
        delete pixmap;
        return;
    }
    if (label)
        label->setPixmap(*pixmap);
    images[0] = pixmap;
}

QString chartUpdateStatusText(AbstractProduct::ChartUpdateStatus status)
{
    switch (status) {
    case AbstractProduct::UpdateInProgress:
        return QStringLiteral("Update In Progress");
    case AbstractProduct::UpToDate:
    case AbstractProduct::UpToDateSameBuild:
        return QStringLiteral("Up To Date");
    case AbstractProduct::UpdateAvailable:
    case AbstractProduct::UpdateAvailableSameBuild:
        return QStringLiteral("Update Available");
    }
    return QString();
}
