#include "card/vmidfile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "base/jsontext.h"

namespace VmidFile {

namespace {

QJsonArray entriesOf(const QByteArray &vmid)
{
    const qsizetype end = vmid.indexOf('\n');
    return QJsonDocument::fromJson(vmid.mid(end + 1)).object().value(QStringLiteral("files")).toArray();
}

} // namespace

QByteArray contents(const QString &sku, const QList<QPair<QString, QString>> &fileTags)
{
    // Written out line by line in the layout of QJsonDocument::Indented
    // (the format vmid files have always had): the document of a product of
    // 200,000 files would take several times the text's size.
    QByteArray text = sku.toUtf8() + "\r\n{\n    \"files\": [\n";
    for (qsizetype i = 0; i < fileTags.size(); ++i) {
        text += "        {\n            \"etag\": " + JsonText::quoted(fileTags.at(i).second) + ",\n            \"file\": "
                + JsonText::quoted(fileTags.at(i).first) + "\n        }";
        text += i + 1 < fileTags.size() ? ",\n" : "\n";
    }
    text += "    ]\n}\n";
    return text;
}

QString product(const QByteArray &head)
{
    const qsizetype end = head.indexOf('\n');
    if (end < 0 && head.size() >= maxLine)
        return QString();
    return QString::fromUtf8(head.left(end < 0 ? head.size() : end).simplified());
}

bool storedTags(const QByteArray &vmid, const QString &sku, QHash<QString, QString> *tags)
{
    tags->clear();
    if (product(vmid.left(maxLine)) != sku)
        return false;
    const QJsonArray entries = entriesOf(vmid);
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        tags->insert(entry.value(QStringLiteral("file")).toString(), entry.value(QStringLiteral("etag")).toString());
    }
    return !entries.isEmpty();
}

QStringList files(const QByteArray &vmid)
{
    QStringList names;
    const QJsonArray entries = entriesOf(vmid);
    for (const QJsonValue &value : entries)
        names.append(value.toObject().value(QStringLiteral("file")).toString());
    return names;
}

} // namespace VmidFile
