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

// Printable ASCII goes as it is; anything else the way Qt escapes it.
bool plain(const QString &text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u >= 0x7f || u == u'"' || u == u'\\')
            return false;
    }
    return true;
}

} // namespace

QByteArray quoted(const QString &text)
{
    QByteArray out;
    appendQuoted(&out, text);
    return out;
}

qsizetype quotedSize(const QString &text)
{
    return plain(text) ? text.size() + 2 : written(text).size();
}

void appendQuoted(QByteArray *out, const QString &text)
{
    if (!plain(text)) {
        out->append(written(text));
        return;
    }
    // Straight into the text being made: no copy of each name on the way.
    const qsizetype at = out->size();
    out->resize(at + text.size() + 2);
    char *to = out->data() + at;
    *to++ = '"';
    for (const QChar c : text)
        *to++ = char(c.unicode());
    *to = '"';
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
