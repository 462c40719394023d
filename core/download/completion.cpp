#include "download/completion.h"

#include <QDebug>

#include "download/rqupdate.h"
#include "card/cardwriter.h"

Completion::Result Completion::run(const Input &input)
{
    Result result;
    if (input.rqUpdate && input.rqUpdate->isStaged()) {
        // The segments lie in the data folder until the commit moves them.
        result.vanished = input.rqUpdate->unstaged();
        if (result.vanished.isEmpty())
            commit(input, &result);
        return result;
    }
    // Where each file of the product lies now, and how long it must be.
    QStringList paths;
    paths.reserve(input.records.size());
    for (const FileRecord &record : input.records) {
        const bool inPlace = input.proven.contains(record.file) && input.checkPaths.value(record.file) == record.file;
        paths.append(inPlace ? record.file : input.targets.value(record.file, record.file));
    }
    // By place in the list: a table of 200,000 names would be freed as
    // holes that the read-back's own lists cannot use.
    QList<CardWriter::Facts> facts;
    result.survey = input.writer->survey(paths, &facts);
    if (!result.survey.ok())
        return result;
    for (int i = 0; i < input.records.size(); ++i) {
        const FileRecord &record = input.records.at(i);
        const CardWriter::Facts found = facts.value(i);
        // An RQ segment of size 0 is written by the commit, not before.
        if ((record.size == 0 && input.rqUpdate)
            || (found.regular && found.size == record.size + record.data.size()))
            continue;
        result.vanished.append(record.file);
    }
    if (!result.vanished.isEmpty() || !input.rqUpdate)
        return result;

    commit(input, &result);
    return result;
}

void Completion::commit(const Input &input, Result *result)
{
    result->commit = input.rqUpdate->commit();
    if (!result->commit.ok())
        return;
    result->committed = true;
    try {
        result->container = Mik::MikFile(input.cardRoot + QLatin1Char('/') + input.rqUpdate->newContainerName());
        result->haveContainer = true;
    } catch (const QString &message) {
        qWarning() << "committed container not readable:" << message;
    }
}
