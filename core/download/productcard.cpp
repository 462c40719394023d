#include "download/productcard.h"

#include <QDebug>

#include "card/vmidfile.h"
#include "service/servicereply.h"

bool ProductCard::readVmid(const CardWriter &writer, const std::function<bool(const QString &)> &wanted,
                           QString *product, QByteArray *whole)
{
    // Only the first line is read until it names a product asked about: a
    // vmid of hundreds of megabytes without a line end costs 64 KiB.
    QByteArray head;
    qint64 length = 0;
    if (!writer.readFile(VmidFile::name, VmidFile::maxLine, &head, &length).ok())
        return false;
    *product = VmidFile::product(head);
    if (!wanted(*product))
        return false;
    *whole = head;
    return length <= head.size()
        || (length <= ServiceReply::maxBodySize
            && writer.readFile(VmidFile::name, ServiceReply::maxBodySize, whole).ok());
}

QString ProductCard::productOn(const CardWriter &writer)
{
    QString product;
    readVmid(writer, [](const QString &) { return false; }, &product, nullptr);
    return product;
}

bool ProductCard::changedFiles(const CardWriter &writer, const QString &sku, const FileList &list,
                               QSet<QString> *changed, bool *stale)
{
    QString product;
    QByteArray whole;
    if (!readVmid(writer, [&sku](const QString &named) { return named == sku; }, &product, &whole))
        return false;
    QHash<QString, QString> etags;
    if (!VmidFile::storedTags(whole, sku, &etags))
        return false;
    *stale = whole != ActivationPlan::vmidContents(sku, list.records);
    // The list is walked against the vmid's tags: no second table of
    // 200,000 names is built for a large product.
    qsizetype listed = 0;
    for (const FileRecord &record : list.records) {
        const auto it = etags.constFind(record.file);
        if (it == etags.cend())
            continue;
        ++listed;
        if (*it != record.etag)
            changed->insert(record.file);
    }
    if (listed < etags.size()) {
        QSet<QString> current;
        for (const FileRecord &record : list.records)
            current.insert(record.file);
        for (auto it = etags.cbegin(); it != etags.cend(); ++it) {
            if (!current.contains(it.key()))
                qWarning() << it.key() << "missing in files";
        }
    }
    return true;
}

QStringList ProductCard::formerFiles(const CardWriter &writer, const QString &sku, const FileList &list)
{
    QString former;
    QByteArray whole;
    if (!readVmid(writer, [&sku](const QString &named) { return !named.isEmpty() && named != sku; }, &former,
                  &whole))
        return {};
    QStringList files = VmidFile::files(whole);
    if (files.isEmpty())
        return files;
    QSet<QString> current;
    current.reserve(list.records.size());
    for (const FileRecord &record : list.records)
        current.insert(record.file);
    files.removeIf([&current](const QString &file) { return current.contains(file); });
    qInfo() << "the card held" << former << "; its files to remove:" << files.size();
    return files;
}

CardResult ProductCard::fileInFolderPlace(const CardWriter &writer, const FileList &list, const QStringList &going)
{
    // Each folder of the list once: a product lives in a few folders, or in
    // one deep chain, whatever its number of files.
    QStringList folders;
    QSet<QStringView> seen;
    for (const FileRecord &record : list.records) {
        const QStringView folder =
            QStringView(record.file).left(qMax<qsizetype>(0, record.file.lastIndexOf(QLatin1Char('/'))));
        if (folder.isEmpty() || seen.contains(folder))
            continue;
        seen.insert(folder);
        folders.append(folder.toString());
    }
    return writer.fileOnPath(folders, QSet<QString>(going.cbegin(), going.cend()));
}

ActivationPlan::Step ProductCard::Preparation::step(const QList<FileRecord> &records, qsizetype i) const
{
    const FileRecord &record = records.at(i);
    return ActivationPlan::decide(record, facts.value(i), !changed.isEmpty() && changed.contains(record.file));
}

CardResult ProductCard::prepare(const CardWriter &writer, const QString &sku, const FileList &list,
                                Preparation *out)
{
    QSet<QString> &changed = out->changed;
    bool stale = false;
    const bool same = changedFiles(writer, sku, list, &changed, &stale);
    const QStringList former = same ? QStringList() : formerFiles(writer, sku, list);
    // Before anything on the card changes: such a file would stop the run
    // part-way, after files were removed or written, whenever a transfer
    // came to it.
    CardResult clash = fileInFolderPlace(writer, list, former);
    if (!clash.ok())
        return clash;
    if (same) {
        if (stale) {
            // A newer version of some files: the old ones go before the
            // vmid names the new tags, so that no old bytes are ever kept or
            // resumed under a new tag, and a later run trusts the new ones.
            for (const QString &file : std::as_const(changed)) {
                const CardResult removed = writer.remove(file);
                if (!removed.ok())
                    return removed;
            }
            const CardResult result =
                writer.writeWholeFile(QStringLiteral("vmid"), {ActivationPlan::vmidContents(sku, list.records)});
            if (!result.ok())
                return result;
            out->vmidWritten = true;
        }
    } else {
        // The product replaced goes first, while its vmid still lists its
        // files: a run stopped half-way removes the rest the next time. It
        // also makes room for this one.
        CardResult result = writer.removeProductFiles(former);
        if (!result.ok())
            return result;
        result = writer.writeWholeFile(VmidFile::name, {ActivationPlan::vmidContents(sku, list.records)});
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
    paths.reserve(list.records.size());
    for (const FileRecord &record : list.records)
        paths.append(record.file);
    return writer.survey(paths, &out->facts);
}
