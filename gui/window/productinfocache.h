#pragma once

#include <QHash>
#include <QObject>
#include <QPixmap>
#include <QSet>
#include <QString>

#include "catalogue/productinfo.h"

class ChartService;

// The details of the products the user looked at: their texts and their
// first picture, asked for once per product and kept for the run. The
// pictures come as bytes from the service and are decoded here.
class ProductInfoCache : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProductInfoCache)

public:
    ProductInfoCache(ChartService *service, QObject *parent);

    // Asks for sku's details unless they are here or on their way.
    void request(const QString &sku);
    bool has(const QString &sku) const { return infos.contains(sku); }
    ProductInfo info(const QString &sku) const { return infos.value(sku); }
    // Null until the picture arrived (or when there is none).
    QPixmap picture(const QString &sku) const { return pictures.value(sku); }

signals:
    // Details or a picture of sku arrived.
    void updated(const QString &sku);

private:
    ChartService *service;
    QHash<QString, ProductInfo> infos;
    QHash<QString, QPixmap> pictures;
    QSet<QString> asked;
};
