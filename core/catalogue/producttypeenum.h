#pragma once

#include <QDebug>
#include <QMetaType>
#include <QString>

// A product line. The value is also the index of the line's tab.
enum ProductTypeEnum : int {
    NoProductType = -1,
    RqSd = 0,
    VelmoraRegion = 1,
    Talvos = 2,
};

// The service's name of a line ("rq_sd", "velmora_region", "talvos"); empty
// for anything else.
QString productTypeToString(ProductTypeEnum type);
// The line a service name stands for, NoProductType when it names none.
ProductTypeEnum productTypeFromString(const QString &name);

QDebug operator<<(QDebug debug, ProductTypeEnum type);

Q_DECLARE_METATYPE(ProductTypeEnum)
