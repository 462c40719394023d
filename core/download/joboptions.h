#pragma once

#include <QtGlobal>

// What the user set for how jobs run (config.ini "downloadConcurrency" and
// "readBackAfterWriting"); read once when a job is made.
struct JobOptions
{
    // The user's ceiling on files at once; how many run depends on their
    // sizes (TransferRunner).
    int concurrency = 3;
    // Every file written is read back from the card before the job says
    // it is complete.
    bool readBack = true;
    // Each file is read back as soon as its flush has ended, while later
    // files still arrive; else every file is read once the last is written.
    // QUORVEL_READBACK_OVERLAP=0 or 1 overrides the default, which the
    // benchmark's figures chose (docs/performance.md).
    bool overlapReadback = true;
    // After the last write, the files read back while the transfers ran are
    // looked at again, so that a card that wraps (later writes landing on
    // earlier files) shows: read whole where the product is this small, by
    // their sampled blocks (BlockSampler) where it is larger.
    qint64 rereadWholeUpTo = 32 * 1024 * 1024;

    static JobOptions fromSettings();
};
