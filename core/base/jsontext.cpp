#include "base/jsontext.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace JsonText {

namespace {

// What QJsonDocument writes for one value, without the brackets around it.
QByteArray written(const QJsonValue &value)
{
    const QByteArray list = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return list.mid(1, list.size() - 2);
}

} // namespace

QByteArray quoted(const QString &text)
{
    // Printable ASCII goes as it is; anything else the way Qt escapes it.
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u >= 0x7f || u == u'"' || u == u'\\')
            return written(text);
    }
    return '"' + text.toLatin1() + '"';
}

QByteArray number(qint64 value)
{
    // Doubles hold whole numbers exactly up to 2^53; past that Qt writes
    // them in its own way.
    constexpr qint64 exact = qint64(1) << 53;
    if (value > -exact && value < exact)
        return QByteArray::number(value);
    return written(double(value));
}

} // namespace JsonText
