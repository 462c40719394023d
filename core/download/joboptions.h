#pragma once

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

    static JobOptions fromSettings();
};
