#include "window/productinfocache.h"

#include <QImage>
#include <QLoggingCategory>

#include "service/chartservice.h"

Q_LOGGING_CATEGORY(lcWindow, "quorvel.window")

ProductInfoCache::ProductInfoCache(ChartService *chartService, QObject *parent)
    : QObject(parent)
    , service(chartService)
{
}

void ProductInfoCache::request(const QString &sku)
{
    if (infos.contains(sku) || asked.contains(sku))
        return;
    asked.insert(sku);
    ServiceCall<ProductInfo> *call = service->productInfo(sku);
    connect(call, &ServiceReply::finished, this, [this, call, sku] {
        // A failed request is asked again the next time the product is shown.
        asked.remove(sku);
        if (!call->ok()) {
            qCInfo(lcWindow) << sku << "details not loaded:" << call->error().message;
            return;
        }
        infos.insert(sku, call->value());
        emit updated(sku);
        // Only the first picture is shown.
        if (call->value().pictureUrls.isEmpty())
            return;
        ServiceCall<QByteArray> *picture = service->picture(call->value().pictureUrls.first());
        connect(picture, &ServiceReply::finished, this, [this, picture, sku] {
            QImage image;
            if (picture->ok())
                image = QImage::fromData(picture->value());
            if (image.isNull())
                return;
            pictures.insert(sku, QPixmap::fromImage(image));
            emit updated(sku);
        });
    });
}
