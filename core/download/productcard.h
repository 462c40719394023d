#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include "download/activationplan.h"
#include "service/filelist.h"
#include "card/cardresult.h"
#include "card/cardwriter.h"

// The card's side of a product's activation: what the card holds, read
// through the card writer (the vmid file, each file of the list), and the
// take-over of a card that held another product (its vmid rewritten, its
// chart folder emptied). Yields the plan; starts no transfer.
class ProductCard
{
public:
    struct Preparation
    {
        QList<ActivationPlan::Step> steps; // one per record, in list order
        QHash<QString, CardWriter::Facts> facts;
        bool vmidWritten = false;
    };

    // The folder a product replaces holds its own files; more than this is
    // not a chart folder, and it is left alone.
    static constexpr int folderListingLimit = 100000;

    static CardResult prepare(const CardWriter &writer, const QString &sku, const FileList &list, Preparation *out);

private:
    // The files whose tag on the service differs from the one the card's
    // vmid remembers; false when the vmid is not this product's.
    static bool changedFiles(const CardWriter &writer, const QString &sku, const FileList &list,
                             QSet<QString> *changed);
};
