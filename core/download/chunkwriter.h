#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <memory>

#include "card/cardfile.h"
#include "card/cardresult.h"
#include "card/contentdigest.h"
#include "card/sha1stream.h"

class CardFolders;
class CardWriter;

// The card's side of one transfer: appends each piece at the offset counted
// so far, keeps the file's SHA-1 growing with it, and, once every byte is
// there, makes the file complete (synced, digest compared, trailer written)
// or says why it is not. Used by one thread at a time: the transfer's
// thread for the pieces, a pool thread for the end.
//
// A file from hashAtEndFrom bytes on is hashed at its end instead, from the
// card's file as it lies (its pages are still in memory): on the one thread
// that receives and writes every transfer, hashing a 1 GiB product took as
// long as the rest of that thread's work, while the ends run on the pool,
// beside the transfers that follow.
//
// The file stays open from one piece to the next while a reply feeds it
// (opening walks the path from the card root and reads the media file, a
// dozen system calls per piece otherwise). What that walk guarded against is
// checked on the open file instead: the file must still have its name and
// its counted length before every piece, and the card is confirmed to be
// the chosen one again at least every CardWriter::confirmInterval
// milliseconds, so a pulled card still stops the transfer within a fraction
// of a second.
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
        bool written = false; // the piece is on the card
        bool lost = false;    // the file or its folder went since the last piece
        CardResult card;      // why not, or why the ending failed
        Ending ending = Ending::None;
        // Verified: the digest of the file's bytes as written (unknown
        // when the benchmark leaves hashing out), for the read-back.
        ContentDigest::Value digest;
    };

    struct File
    {
        QString target;     // relative to the card root
        qint64 size = 0;    // bytes to fetch
        QByteArray sha1;    // their digest
        QByteArray trailer; // written after them
    };

    static constexpr qint64 hashAtEndFrom = 1024 * 1024;

    void setCardWriter(std::shared_ptr<const CardWriter> cardWriter) { writer = std::move(cardWriter); }
    const CardWriter *cardWriter() const { return writer.get(); }
    // Folders kept open by the thread that writes the pieces, so that the
    // next file of a folder does not walk its path again; only the pieces
    // use them, never the end on the pool.
    void setFolders(CardFolders *open) { folders = open; }

    // length bytes go at offset (after emptying the file when truncate).
    Result append(const File &file, qint64 offset, const char *bytes, qint64 length, bool truncate);
    // Every byte is on the card: finishes the file the pieces went to, or
    // opens it again (its end failed before, on a full card for instance).
    // The file is closed afterwards, whatever the ending.
    Result finish(const File &file);
    // Closes the file between replies, so that a paused transfer does not
    // keep the card from being ejected.
    void release();

private:
    Ending complete(const File &file, CardResult *problem);
    // Both digests start again from the file's first length bytes on the card.
    CardResult rehash(qint64 length);

    std::shared_ptr<const CardWriter> writer;
    CardFolders *folders = nullptr;
    Sha1Stream hash;
    ContentDigest content;
    CardFile local;
    QString openTarget;
    QElapsedTimer confirmed;
};
