#include "download/filecheck.h"

#include <cerrno>

#include "card/cardfile.h"
#include "card/cardwriter.h"
#include "card/sha1stream.h"

FileCheck::Result FileCheck::run(const CardWriter &writer, const QString &path, const FileRecord &record,
                                 const std::atomic_bool *abandon)
{
    Result result;
    CardFile file;
    result.card = writer.open(path, CardWriter::Mode::Read, &file);
    if (!result.card.ok()) {
        // Gone since the plan was made, or not a file: fetched like any other.
        const bool absent = result.card.problem() == CardResult::NotAFile || result.card.errorNumber() == ENOENT;
        result.outcome = absent ? Outcome::Mismatch : Outcome::CardProblem;
        return result;
    }
    const qint64 length = file.size();
    const qint64 trailer = record.data.size();
    if (length < record.size || length > record.size + trailer)
        return result;

    Sha1Stream hash;
    result.card = file.hashPrefix(record.size, &hash, abandon);
    if (!result.card.ok()) {
        result.outcome = Outcome::CardProblem;
        return result;
    }
    if (!Sha1Stream::sameDigest(hash.hexDigest(), record.sha1))
        return result;

    if (trailer > 0) {
        QByteArray tail(int(length - record.size), Qt::Uninitialized);
        result.card = file.readAt(record.size, tail.data(), tail.size());
        if (!result.card.ok()) {
            result.outcome = Outcome::CardProblem;
            return result;
        }
        if (tail != record.data) {
            file.close();
            result.card = writer.open(path, CardWriter::Mode::Append, &file);
            if (result.card.ok())
                result.card = file.truncate(record.size);
            if (result.card.ok())
                result.card = file.write(record.data);
            if (result.card.ok())
                result.card = file.sync();
            if (result.card.ok())
                result.card = file.close();
            if (!result.card.ok()) {
                result.outcome = Outcome::CardProblem;
                return result;
            }
        }
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
    if (read.ok() && length == record.data.size() && present == record.data) {
        result.outcome = Outcome::Passed;
        return result;
    }
    result.card = writer.writeWholeFile(record.file, {record.data});
    result.outcome = result.card.ok() ? Outcome::Passed : Outcome::CardProblem;
    return result;
}
