#include "download/chunkwriter.h"

#include <QDebug>

#include <cerrno>

#include "media/cardfile.h"
#include "media/cardwriter.h"

namespace {

// A file or a folder of it that has gone (or turned into something else)
// since bytes of it were counted.
bool vanished(const CardResult &result)
{
    return result.errorNumber() == ENOENT || result.problem() == CardResult::NotAFile;
}

} // namespace

ChunkWriter::Result ChunkWriter::append(const File &file, qint64 offset, const QByteArray &bytes, bool truncate)
{
    Result result;
    if (!writer) {
        result.card = CardResult::failure(CardResult::CardGone, file.target);
        return result;
    }
    // Bytes already counted must still be there: a file or folder that has
    // gone is not silently made again under the counted offset.
    CardWriter::Mode mode = CardWriter::Mode::Append;
    if (truncate)
        mode = CardWriter::Mode::Truncate;
    else if (offset > 0)
        mode = CardWriter::Mode::Extend;
    CardFile local;
    result.card = writer->open(file.target, mode, &local);
    if (!result.card.ok()) {
        result.lost = mode == CardWriter::Mode::Extend && vanished(result.card);
        return result;
    }
    if (truncate)
        hash.reset();

    const qint64 before = local.size();
    if (before < offset) {
        result.lost = true;
        return result;
    }
    // The tail of an earlier write that failed half-way (full card, killed
    // process): those bytes were never counted, and the reply resumes right
    // after the counted ones.
    if (before > offset && !(result.card = local.truncate(offset)).ok())
        return result;
    // A resumed file: the bytes kept from before are hashed once, then the
    // digest grows with every chunk.
    if (CardWriter::verifying() && hash.length() != offset) {
        hash.reset();
        if (!(result.card = local.hashPrefix(offset, &hash)).ok())
            return result;
    }
    if (!(result.card = local.write(bytes)).ok())
        return result;
    local.startWriteback(offset, bytes.size());
    if (CardWriter::verifying())
        hash.update(bytes.constData(), bytes.size());
    if (offset + bytes.size() == file.size)
        result.ending = complete(file, local, &result.card);
    const CardResult closed = local.close();
    if (!closed.ok()) {
        result.card = closed;
        return result;
    }
    result.written = true;
    return result;
}

ChunkWriter::Result ChunkWriter::finish(const File &file)
{
    Result result;
    CardFile local;
    result.card = writer ? writer->open(file.target, CardWriter::Mode::Extend, &local)
                         : CardResult::failure(CardResult::CardGone, file.target);
    if (vanished(result.card) || (result.card.ok() && local.size() < file.size))
        result.ending = Ending::Lost;
    else if (!result.card.ok())
        result.ending = Ending::CardProblem;
    else
        result.ending = complete(file, local, &result.card);
    return result;
}

// Every byte is on the card. It counts as complete only once it is on the
// medium, its digest is the record's and its trailer follows it.
ChunkWriter::Ending ChunkWriter::complete(const File &file, CardFile &local, CardResult *problem)
{
    if (!(*problem = local.sync()).ok())
        return Ending::CardProblem;
    if (CardWriter::verifying()) {
        if (hash.length() != file.size) {
            hash.reset();
            if (!(*problem = local.hashPrefix(file.size, &hash)).ok())
                return Ending::CardProblem;
        }
        if (!Sha1Stream::sameDigest(hash.hexDigest(), file.sha1)) {
            qInfo() << file.target << "Sha1 not matching:" << hash.hexDigest() << "vs" << file.sha1;
            return Ending::Mismatch;
        }
    }
    if (!file.trailer.isEmpty()) {
        // An earlier attempt may have left part of the trailer behind.
        if (local.size() != file.size && !(*problem = local.truncate(file.size)).ok())
            return Ending::CardProblem;
        if (!(*problem = local.write(file.trailer)).ok() || !(*problem = local.sync()).ok())
            return Ending::CardProblem;
    }
    // A new file's name must reach the medium with its bytes.
    *problem = local.syncFolder();
    return problem->ok() ? Ending::Verified : Ending::CardProblem;
}
