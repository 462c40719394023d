#include "download/chunkwriter.h"

#include <QDebug>

#include <cerrno>

#include "card/cardwriter.h"

namespace {

// A file or a folder of it that has gone (or turned into something else)
// since bytes of it were counted.
bool vanished(const CardResult &result)
{
    return result.errorNumber() == ENOENT || result.problem() == CardResult::NotAFile;
}

} // namespace

void ChunkWriter::release()
{
    if (!local.isOpen())
        return;
    // A write-back failure reported only at close shows again at the sync
    // that ends the file.
    const CardResult closed = local.close();
    if (!closed.ok())
        qInfo() << openTarget << "closed with:" << closed.detail();
    local = CardFile();
    openTarget.clear();
}

ChunkWriter::Result ChunkWriter::append(const File &file, qint64 offset, const char *bytes, qint64 length,
                                        bool truncate)
{
    Result result;
    if (!writer) {
        result.card = CardResult::failure(CardResult::CardGone, file.target);
        return result;
    }
    if (truncate || !local.isOpen() || openTarget != file.target) {
        release();
        // Bytes already counted must still be there: a file or folder that
        // has gone is not silently made again under the counted offset.
        CardWriter::Mode mode = CardWriter::Mode::Append;
        if (truncate)
            mode = CardWriter::Mode::Truncate;
        else if (offset > 0)
            mode = CardWriter::Mode::Extend;
        result.card = writer->open(file.target, mode, &local, folders);
        if (!result.card.ok()) {
            result.lost = mode == CardWriter::Mode::Extend && vanished(result.card);
            return result;
        }
        openTarget = file.target;
        confirmed.start();
        if (truncate) {
            hash.reset();
            content.reset();
        }
    } else if (confirmed.elapsed() >= CardWriter::confirmInterval) {
        result.card = writer->verifyCard();
        if (!result.card.ok()) {
            release();
            return result;
        }
        confirmed.restart();
    }

    const qint64 before = local.linkedSize();
    if (before < offset) {
        // Deleted, cut, or its folder removed since the last piece.
        result.lost = true;
        release();
        return result;
    }
    // The tail of an earlier write that failed half-way (full card, killed
    // process): those bytes were never counted, and the reply resumes right
    // after the counted ones.
    if (before > offset && !(result.card = local.truncate(offset)).ok()) {
        release();
        return result;
    }
    // A resumed file: the bytes kept from before are hashed once, then the
    // digest grows with every piece.
    const bool hashNow = CardWriter::verifying() && file.size < hashAtEndFrom;
    if (hashNow && hash.length() != offset) {
        if (!(result.card = rehash(offset)).ok()) {
            release();
            return result;
        }
    }
    if (!(result.card = local.write(bytes, length)).ok()) {
        release();
        return result;
    }
    local.startWriteback(offset, length);
    if (hashNow) {
        hash.update(bytes, length);
        content.update(bytes, length);
    }
    result.written = true;
    return result;
}

ChunkWriter::Result ChunkWriter::finish(const File &file)
{
    Result result;
    if (!local.isOpen() || openTarget != file.target) {
        release();
        result.card = writer ? writer->open(file.target, CardWriter::Mode::Extend, &local)
                             : CardResult::failure(CardResult::CardGone, file.target);
        if (vanished(result.card)) {
            result.ending = Ending::Lost;
            return result;
        }
        if (!result.card.ok()) {
            result.ending = Ending::CardProblem;
            return result;
        }
        openTarget = file.target;
    }
    if (local.linkedSize() < file.size)
        result.ending = Ending::Lost;
    else
        result.ending = complete(file, &result.card);
    if (result.ending == Ending::Verified && CardWriter::verifying() && content.length() == file.size)
        result.digest = content.value();
    const CardResult closed = local.close();
    local = CardFile();
    openTarget.clear();
    if (!closed.ok() && result.ending == Ending::Verified) {
        result.card = closed;
        result.ending = Ending::CardProblem;
    }
    return result;
}

// Every byte is on the card. It counts as complete only once its digest is
// the record's, its trailer follows it and all of it, with its name, is on
// the medium: that last step is shared with the files that end near it.
ChunkWriter::Ending ChunkWriter::complete(const File &file, CardResult *problem)
{
    if (CardWriter::verifying()) {
        if (hash.length() != file.size && !(*problem = rehash(file.size)).ok())
            return Ending::CardProblem;
        if (!Sha1Stream::sameDigest(hash.hexDigest(), file.sha1)) {
            qInfo() << file.target << "Sha1 not matching:" << hash.hexDigest() << "vs" << file.sha1;
            hash.reset();
            content.reset();
            return Ending::Mismatch;
        }
    }
    if (!file.trailer.isEmpty()) {
        // An earlier attempt may have left part of the trailer behind.
        if (local.size() != file.size && !(*problem = local.truncate(file.size)).ok())
            return Ending::CardProblem;
        if (!(*problem = local.write(file.trailer)).ok())
            return Ending::CardProblem;
    }
    *problem = writer->makeDurable(local);
    return problem->ok() ? Ending::Verified : Ending::CardProblem;
}

CardResult ChunkWriter::rehash(qint64 length)
{
    hash.reset();
    content.reset();
    return local.readPrefix(length, [this](const char *bytes, qint64 piece) {
        hash.update(bytes, piece);
        content.update(bytes, piece);
    });
}
