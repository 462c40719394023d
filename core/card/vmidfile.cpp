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

QByteArray contents(const QString &sku, qsizetype count, const std::function<Entry(qsizetype)> &entry)
{
    // Written out line by line in the layout of QJsonDocument::Indented
    // (the format vmid files have always had): the document of a product of
    // 200,000 files would take several times the text's size.
    const QByteArray head = sku.toUtf8() + "\r\n{\n    \"files\": [\n";
    const QByteArray tail = "    ]\n}\n";
    static constexpr char beforeTag[] = "        {\n            \"etag\": ";
    static constexpr char beforeFile[] = ",\n            \"file\": ";
    static constexpr char afterFile[] = "\n        }";
    const qsizetype fixed = qsizetype(sizeof beforeTag + sizeof beforeFile + sizeof afterFile - 3);
    qsizetype size = head.size() + tail.size();
    for (qsizetype i = 0; i < count; ++i) {
        const Entry e = entry(i);
        size += fixed + JsonText::quotedSize(e.tag) + JsonText::quotedSize(e.file) + (i + 1 < count ? 2 : 1);
    }
    QByteArray text;
    text.reserve(size);
    text += head;
    for (qsizetype i = 0; i < count; ++i) {
        const Entry e = entry(i);
        text += beforeTag;
        JsonText::appendQuoted(&text, e.tag);
        text += beforeFile;
        JsonText::appendQuoted(&text, e.file);
        text += afterFile;
        text += i + 1 < count ? ",\n" : "\n";
    }
    text += tail;
    Q_ASSERT(text.size() == size);
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
