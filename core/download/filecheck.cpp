#include "download/filecheck.h"

#include <cerrno>

#include "card/cardfile.h"
#include "card/cardwriter.h"
#include "card/sha1stream.h"

namespace {

// The trailer and what follows it, from the medium; at most one byte past
// the trailer, so that a longer file shows without reading all of it.
CardResult readTail(const CardWriter &writer, const QString &path, const FileRecord &record, QByteArray *tail)
{
    tail->clear();
    return writer.readBack(path, record.size, [&](const char *bytes, qint64 length) {
        const qint64 room = qMax<qint64>(0, record.data.size() + 1 - tail->size());
        tail->append(bytes, qMin(length, room));
    });
}

} // namespace

FileCheck::Result FileCheck::run(const CardWriter &writer, const QString &path, const FileRecord &record,
                                 const std::atomic_bool *abandon)
{
    Result result;
    CardWriter::Facts facts;
    {
        QHash<QString, CardWriter::Facts> found;
        result.card = writer.survey({path}, &found);
        if (!result.card.ok()) {
            result.outcome = Outcome::CardProblem;
            return result;
        }
        facts = found.value(path);
    }
    // Gone since the plan was made, or not a file: fetched like any other.
    if (!facts.regular)
        return result;
    const qint64 trailer = record.data.size();
    if (facts.size < record.size || facts.size > record.size + trailer)
        return result;

    Sha1Stream hash;
    BlockSampler sampler(facts.size);
    QByteArray tail;
    qint64 position = 0;
    result.card = writer.readBack(path, 0, [&](const char *bytes, qint64 length) {
        const qint64 hashed = qBound<qint64>(0, record.size - position, length);
        if (hashed > 0)
            hash.update(bytes, hashed);
        const qint64 room = qMax<qint64>(0, trailer + 1 - tail.size());
        tail.append(bytes + hashed, qMin(length - hashed, room));
        sampler.feed(position, bytes, length);
        position += length;
    }, abandon);
    if (!result.card.ok()) {
        const bool absent = result.card.problem() == CardResult::NotAFile || result.card.errorNumber() == ENOENT;
        result.outcome = absent ? Outcome::Mismatch : Outcome::CardProblem;
        return result;
    }
    if (position < record.size || !Sha1Stream::sameDigest(hash.hexDigest(), record.sha1))
        return result;

    if (tail != record.data) {
        CardFile file;
        result.card = writer.open(path, CardWriter::Mode::Append, &file);
        if (result.card.ok())
            result.card = file.truncate(record.size);
        if (result.card.ok())
            result.card = file.write(record.data);
        if (result.card.ok())
            result.card = file.sync();
        if (result.card.ok())
            result.card = file.close();
        // What was written is proven like the rest: from the medium.
        if (result.card.ok())
            result.card = readTail(writer, path, record, &tail);
        if (result.card.ok() && tail != record.data)
            result.card = CardResult::failure(CardResult::NotKept, path, QStringLiteral("its inline bytes"));
        QList<BlockSampler::Sample> blocks = BlockSampler::layout(record.size + trailer);
        if (result.card.ok())
            result.card = writer.readBlocks(path, &blocks);
        if (!result.card.ok()) {
            result.outcome = Outcome::CardProblem;
            return result;
        }
        result.samples = blocks;
    } else {
        result.samples = sampler.samples();
    }
    result.outcome = Outcome::Passed;
    return result;
}

FileCheck::Result FileCheck::writeInline(const CardWriter &writer, const FileRecord &record)
{
    Result result;
    QByteArray present;
    qint64 length = -1;
    // One byte more than the data tells a longer file from an equal one.
    const CardResult read = writer.readFile(record.file, record.data.size() + 1, &present, &length);
    if (!(read.ok() && length == record.data.size() && present == record.data)) {
        result.card = writer.writeWholeFile(record.file, {record.data});
        if (!result.card.ok()) {
            result.outcome = Outcome::CardProblem;
            return result;
        }
    }
    // Proven from the medium, not from what was just written or cached.
    QByteArray back;
    result.card = writer.readBack(record.file, 0, [&back, &record](const char *bytes, qint64 length) {
        back.append(bytes, qMin(length, qMax<qint64>(0, record.data.size() + 1 - back.size())));
    });
    if (result.card.ok() && back != record.data)
        result.card = CardResult::failure(CardResult::NotKept, record.file, QStringLiteral("its inline bytes"));
    if (!result.card.ok()) {
        result.outcome = Outcome::CardProblem;
        return result;
    }
    BlockSampler sampler(record.data.size());
    sampler.feed(0, record.data.constData(), record.data.size());
    result.samples = sampler.samples();
    result.outcome = Outcome::Passed;
    return result;
}
