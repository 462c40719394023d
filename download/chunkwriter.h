#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

#include "media/cardresult.h"
#include "media/sha1stream.h"

class CardFile;
class CardWriter;

// The card's side of one transfer, used on pool threads one call at a time:
// appends each chunk at the offset counted so far, keeps the file's SHA-1
// growing with it, and, once every byte is there, makes the file complete
// (synced, digest compared, trailer written) or says why it is not.
class ChunkWriter
{
public:
    enum class Ending {
        None,        // bytes are still missing
        Verified,    // complete
        Mismatch,    // every byte arrived, but they are not the service's
        CardProblem, // the card could not take the end of the file
        Lost,        // the bytes counted before are no longer on the card
    };

    struct Result
    {
        bool written = false; // the chunk is on the card
        bool lost = false;    // the file or its folder went since the last chunk
        CardResult card;      // why not, or why the ending failed
        Ending ending = Ending::None;
    };

    struct File
    {
        QString target;     // relative to the card root
        qint64 size = 0;    // bytes to fetch
        QByteArray sha1;    // their digest
        QByteArray trailer; // written after them
    };

    void setCardWriter(std::shared_ptr<const CardWriter> cardWriter) { writer = std::move(cardWriter); }
    const CardWriter *cardWriter() const { return writer.get(); }

    // bytes go at offset (after emptying the file when truncate); when they
    // complete the file, it is finished in the same call.
    Result append(const File &file, qint64 offset, const QByteArray &bytes, bool truncate);
    // Finishes a file whose bytes are all on the card already (its end
    // failed before, on a full card for instance).
    Result finish(const File &file);

private:
    Ending complete(const File &file, CardFile &local, CardResult *problem);

    std::shared_ptr<const CardWriter> writer;
    Sha1Stream hash;
};
