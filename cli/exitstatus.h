#pragma once

#include "download/joberror.h"

// The command line's exit status for each way a run can end, in one place:
// scripts branch on these numbers, so they never change meaning (the man
// page and the README list them).
class ExitStatus
{
public:
    enum Code {
        Success = 0, // proven complete, or a command that only reads
        Other = 1,
        Usage = 2,
        SignIn = 3, // the service refused the credentials
        Network = 4, // no answer: connection lost, time-out, TLS
        ServiceReply = 5, // an answer refused, or a refusal (not owned, unknown)
        Card = 6, // no card, the card gone or swapped, full, read-only, busy
        Verification = 7, // the card did not keep what was written, or differs
    };

    ExitStatus() = delete;

    static Code of(JobError::Kind kind);
    // For a run that ended without being done: never Success, even when
    // the error names no kind.
    static Code ofFailure(JobError::Kind kind);
    // The shell's convention for a run ended by a signal: 128 + its number
    // (130 for Ctrl-C, 143 for SIGTERM).
    static int ofSignal(int signalNumber) { return 128 + signalNumber; }
};
