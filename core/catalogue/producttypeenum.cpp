#include "catalogue/producttypeenum.h"

namespace {
// Registered before any window exists: the line travels in queued signals.
const int metaTypeId = qRegisterMetaType<ProductTypeEnum>("ProductTypeEnum");
} // namespace

QString productTypeToString(ProductTypeEnum type)
{
    switch (type) {
    case RqSd:
        return QStringLiteral("rq_sd");
    case VelmoraRegion:
        return QStringLiteral("velmora_region");
    case Talvos:
        return QStringLiteral("talvos");
    default:
        return QString();
    }
}

ProductTypeEnum productTypeFromString(const QString &name)
{
    for (ProductTypeEnum type : {RqSd, VelmoraRegion, Talvos}) {
        if (name == productTypeToString(type))
            return type;
    }
    return NoProductType;
}

QDebug operator<<(QDebug debug, ProductTypeEnum type)
{
    Q_UNUSED(metaTypeId);
    QDebugStateSaver saver(debug);
    debug.nospace() << "ProductTypeEnum(" << int(type) << ')';
    return debug;
}
