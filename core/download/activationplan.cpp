#include "download/activationplan.h"

#include "card/vmidfile.h"

QByteArray ActivationPlan::vmidContents(const QString &sku, const QList<FileRecord> &records)
{
    return VmidFile::contents(sku, records.size(), [&records](qsizetype i) {
        const FileRecord &record = records.at(i);
        return VmidFile::Entry{record.file, record.etag};
    });
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
