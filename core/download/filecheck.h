#pragma once

#include <QList>
#include <QString>

#include <atomic>

#include "card/blocksampler.h"
#include "card/cardresult.h"
#include "service/filelist.h"

class CardWriter;

// Proves a file already on the card, on a pool thread: its bytes, read from
// the medium itself (not from what the computer keeps of the card in
// memory), have the record's SHA-1, and the inline trailer follows them
// exactly. A file whose bytes are right but whose trailer is missing or
// damaged gets the trailer written, synced and read back.
class FileCheck
{
public:
    enum class Outcome {
        Passed,
        Mismatch,    // the bytes are not the service's: fetch from 0
        CardProblem, // the card could not be read or written
    };

    struct Result
    {
        Outcome outcome = Outcome::Mismatch;
        CardResult card;
        // Passed: the sampled blocks, for the check after the run's last write.
        QList<BlockSampler::Sample> samples;
    };

    // path: where the file lies on the card (a temporary name for an RQ
    // segment still under way).
    static Result run(const CardWriter &writer, const QString &path, const FileRecord &record,
                      const std::atomic_bool *abandon = nullptr);
    // A record of size 0: the file holds exactly the inline data (nothing
    // for an empty one); rewritten whole when it does not.
    static Result writeInline(const CardWriter &writer, const FileRecord &record);
};
