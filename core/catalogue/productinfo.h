#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

// What the service tells about a product beyond the list: its texts and
// where its pictures are. The pictures themselves are fetched as bytes; the
// window decodes them.
struct ProductInfo
{
    QString sku;
    QString byline;
    // Rich text as the service writes it.
    QString description;
    // A web page listing the lakes of a region, when the product has one.
    QString lakeListUrl;
    QStringList pictureUrls;
};

Q_DECLARE_METATYPE(ProductInfo)
