#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include "service/filelist.h"
#include "card/cardwriter.h"

// What to do with each file of a product, decided from the validated list
// and what the card holds, before anything is read in full or written. No
// network, no widgets, no file access: the card's state comes in as facts.
class ActivationPlan
{
public:
    enum class Action {
        Check,  // complete in length: proven by its SHA-1 (and trailer) or fetched again
        Resume, // a part of it is on the card: the rest is fetched
        Fetch,  // fetched from byte 0
        Inline, // no bytes to fetch: the file holds exactly the inline data
        None,   // nothing to fetch before the end (an RQ segment written at the commit, or staged already)
    };

    struct Step
    {
        Step(Action what = Action::Fetch, qint64 kept = 0, bool replacing = false, QString to = QString(),
             QString proven = QString())
            : action(what), offset(kept), replace(replacing), target(std::move(to)), checkPath(std::move(proven))
        {
        }

        Action action = Action::Fetch;
        qint64 offset = 0;   // Resume, None: bytes kept; Check: kept at the target, should the check fail
        bool replace = false; // Fetch: something lies at the target and goes
        QString target;      // where the bytes go, when not the record's file
        QString checkPath;   // Check: what is proven, when not the target
    };

    // The vmid file for a product's list (VmidFile).
    static QByteArray vmidContents(const QString &sku, const QList<FileRecord> &records);

    // changed: files whose tag on the service differs from the one the card
    // remembers, so a part of them on the card belongs to an older file.
    static Step decide(const FileRecord &record, const CardWriter::Facts &card, bool changed);
};
