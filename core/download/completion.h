#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

#include "service/filelist.h"
#include "card/cardresult.h"
#include "card/mikfile.h"

class CardWriter;
class RqUpdate;

// The last look before a product counts as complete, on the thread pool
// (thousands of files are looked at, and an RQ commit renames and syncs
// many): every file must lie where it belongs at its full length, since
// counted is not proven (a file deleted, or a folder moved away, during the
// run is on the card no more); then an RQ update is committed and its new
// container read. A staged RQ update's segments lie in the data folder
// until its commit moves them.
class Completion
{
public:
    struct Input
    {
        std::shared_ptr<const CardWriter> writer;
        QList<FileRecord> records;
        QHash<QString, QString> targets;    // where each fetched file lies
        QHash<QString, QString> checkPaths; // where a proven file was checked
        QSet<QString> proven;               // kept because their check passed
        std::shared_ptr<RqUpdate> rqUpdate; // an RQ update to commit, if any
        QString cardRoot;
    };

    struct Result
    {
        CardResult survey;    // the card could not be looked at
        QStringList vanished; // files to fetch (or check) again
        CardResult commit;    // the RQ commit failed
        bool committed = false;
        bool haveContainer = false;
        Mik::MikFile container; // the committed container, read again
    };

    static Result run(const Input &input);

private:
    static void commit(const Input &input, Result *result);
};
