#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>

#include "download/activationplan.h"
#include "service/filelist.h"
#include "card/cardresult.h"
#include "card/cardwriter.h"

// The card's side of a product's activation: what the card holds, read
// through the card writer (the vmid file, each file of the list), and the
// take-over of a card that held another product (its files and the folders
// they leave empty removed, its vmid rewritten, this product's chart folder
// emptied). Yields the plan; starts no transfer.
class ProductCard
{
public:
    // What the plan of each file is made from (ActivationPlan::decide), one
    // file at a time: a list of steps for 200,000 files is not kept.
    struct Preparation
    {
        QList<CardWriter::Facts> facts; // what lies at each record's file, in list order
        QSet<QString> changed;          // files whose tag changed since the card got them
        bool vmidWritten = false;

        ActivationPlan::Step step(const QList<FileRecord> &records, qsizetype i) const;
    };

    // The folder a product replaces holds its own files; more than this is
    // not a chart folder, and it is left alone.
    static constexpr int folderListingLimit = 100000;

    static CardResult prepare(const CardWriter &writer, const QString &sku, const FileList &list, Preparation *out);
    // The product the card's vmid names; empty when none can be read.
    static QString productOn(const CardWriter &writer);

private:
    // The vmid: the product its first line names, and the whole of it when
    // wanted says that product is asked about. False when it cannot be read
    // or is not wanted.
    static bool readVmid(const CardWriter &writer, const std::function<bool(const QString &)> &wanted,
                         QString *product, QByteArray *whole);
    // The files whose tag on the service differs from the one the card's
    // vmid remembers, and whether the vmid says anything but what the list
    // says now; false when the vmid is not this product's.
    static bool changedFiles(const CardWriter &writer, const QString &sku, const FileList &list,
                             QSet<QString> *changed, bool *stale);
    // The files of the product the card held before, as its vmid lists them,
    // that are not files of this one; none when the vmid is this product's
    // or lists nothing.
    static QStringList formerFiles(const CardWriter &writer, const QString &sku, const FileList &list);
    // A file of the card that stays (not one of going) where a folder of the
    // list belongs: it would stop this product part-way, and once the one it
    // replaces is gone. Looked for before anything changes; ok when there is
    // none.
    static CardResult fileInFolderPlace(const CardWriter &writer, const FileList &list, const QStringList &going);
};
