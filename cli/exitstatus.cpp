#include "exitstatus.h"

ExitStatus::Code ExitStatus::of(JobError::Kind kind)
{
    switch (kind) {
    case JobError::None:
        return Success;
    case JobError::Network:
        return Network;
    case JobError::ServiceReply:
        return ServiceReply;
    case JobError::SignIn:
        return SignIn;
    case JobError::CardGone:
    case JobError::AnotherCard:
    case JobError::CardFull:
    case JobError::ReadOnly:
    case JobError::FileSystemLimit:
    case JobError::NameTaken:
    case JobError::CardBusy:
    case JobError::ProductOnCard:
        return Card;
    // A file that changed under the tool is a difference found on the card,
    // like one the read-back or a verification finds.
    case JobError::NotKept:
    case JobError::Mismatch:
    case JobError::ChangedOnCard:
        return Verification;
    case JobError::Other:
        break;
    }
    return Other;
}

ExitStatus::Code ExitStatus::ofFailure(JobError::Kind kind)
{
    const Code code = of(kind);
    return code == Success ? Other : code;
}
