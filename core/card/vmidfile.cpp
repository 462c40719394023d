#include "card/vmidfile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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
    QJsonArray entries;
    for (const auto &file : fileTags)
        entries.append(QJsonObject{{QStringLiteral("etag"), file.second}, {QStringLiteral("file"), file.first}});
    return sku.toUtf8() + "\r\n"
           + QJsonDocument(QJsonObject{{QStringLiteral("files"), entries}}).toJson(QJsonDocument::Indented);
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
