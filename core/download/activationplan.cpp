#include "download/activationplan.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

QByteArray ActivationPlan::vmidContents(const QString &sku, const QList<FileRecord> &records)
{
    QJsonArray entries;
    for (const FileRecord &record : records)
        entries.append(QJsonObject{{QStringLiteral("etag"), record.etag}, {QStringLiteral("file"), record.file}});
    return sku.toUtf8() + "\r\n"
           + QJsonDocument(QJsonObject{{QStringLiteral("files"), entries}}).toJson(QJsonDocument::Indented);
}

QString ActivationPlan::vmidProduct(const QByteArray &head)
{
    const qsizetype end = head.indexOf('\n');
    if (end < 0 && head.size() >= maxVmidLine)
        return QString(); // no line end within the limit: not a vmid the tool wrote
    return QString::fromUtf8(head.left(end < 0 ? head.size() : end).simplified());
}

bool ActivationPlan::storedEtags(const QByteArray &vmid, const QString &sku, QHash<QString, QString> *etags)
{
    etags->clear();
    if (vmidProduct(vmid.left(maxVmidLine)) != sku)
        return false;
    const qsizetype end = vmid.indexOf('\n');
    const QJsonArray files = QJsonDocument::fromJson(vmid.mid(end + 1)).object().value(QStringLiteral("files")).toArray();
    for (const QJsonValue &value : files) {
        const QJsonObject entry = value.toObject();
        etags->insert(entry.value(QStringLiteral("file")).toString(), entry.value(QStringLiteral("etag")).toString());
    }
    return !files.isEmpty();
}

ActivationPlan::Step ActivationPlan::decide(const FileRecord &record, const CardWriter::Facts &card, bool changed)
{
    const qint64 trailer = record.data.size();
    if (record.size == 0)
        return {Action::Inline};
    // Something that is not a regular file (a link, a folder) is replaced by
    // the first write, never read.
    if (!card.exists || !card.regular || card.size == 0)
        return {Action::Fetch, 0, card.exists};
    // A file that lacks its trailer, or part of it, is complete in what
    // travels: the trailer is written once the bytes are proven, instead of
    // fetching them again.
    if (card.size >= record.size && card.size <= record.size + trailer)
        return {Action::Check};
    if (card.size > record.size || changed)
        return {Action::Fetch, 0, true};
    return {Action::Resume, card.size};
}

QList<ActivationPlan::Step> ActivationPlan::make(const QList<FileRecord> &records,
                                                 const QHash<QString, CardWriter::Facts> &card,
                                                 const QSet<QString> &changed)
{
    QList<Step> steps;
    steps.reserve(records.size());
    for (const FileRecord &record : records)
        steps.append(decide(record, card.value(record.file), changed.contains(record.file)));
    return steps;
}
