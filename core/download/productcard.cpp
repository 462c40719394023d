#include "download/productcard.h"

#include <QDebug>

#include "card/vmidfile.h"
#include "service/servicereply.h"

bool ProductCard::changedFiles(const CardWriter &writer, const QString &sku, const FileList &list,
                               QSet<QString> *changed)
{
    const QString vmid = VmidFile::name;
    // Only the first line is read until it names this product: a vmid of
    // hundreds of megabytes without a line end costs 64 KiB.
    QByteArray head;
    qint64 length = 0;
    if (!writer.readFile(vmid, VmidFile::maxLine, &head, &length).ok()
        || VmidFile::product(head) != sku)
        return false;
    QByteArray whole = head;
    if (length > head.size()
        && (length > ServiceReply::maxBodySize || !writer.readFile(vmid, ServiceReply::maxBodySize, &whole).ok()))
        return false;
    QHash<QString, QString> etags;
    if (!VmidFile::storedTags(whole, sku, &etags))
        return false;
    QHash<QString, QString> current;
    for (const FileRecord &record : list.records)
        current.insert(record.file, record.etag);
    for (auto it = etags.cbegin(); it != etags.cend(); ++it) {
        if (!current.contains(it.key()))
            qWarning() << it.key() << "missing in files";
        else if (it.value() != current.value(it.key()))
            changed->insert(it.key());
    }
    return true;
}

CardResult ProductCard::prepare(const CardWriter &writer, const QString &sku, const FileList &list,
                                Preparation *out)
{
    QSet<QString> changed;
    if (!changedFiles(writer, sku, list, &changed)) {
        CardResult result =
            writer.writeWholeFile(QStringLiteral("vmid"), {ActivationPlan::vmidContents(sku, list.records)});
        if (!result.ok())
            return result;
        out->vmidWritten = true;
        // The card held another product: its chart folder goes, so that no
        // file of it is taken for one of this product.
        const QString first = list.records.first().file;
        if (first.contains(QLatin1Char('/'))) {
            const QString folder = first.section(QLatin1Char('/'), 0, 0);
            QStringList names;
            result = writer.listFiles(folder, folderListingLimit, &names);
            for (const QString &entry : std::as_const(names)) {
                if (result.ok())
                    result = writer.remove(folder + QLatin1Char('/') + entry);
            }
            if (!result.ok())
                return result;
        }
    }

    QStringList paths;
    for (const FileRecord &record : list.records)
        paths.append(record.file);
    const CardResult surveyed = writer.survey(paths, &out->facts);
    if (!surveyed.ok())
        return surveyed;
    out->steps = ActivationPlan::make(list.records, out->facts, changed);
    return CardResult();
}
