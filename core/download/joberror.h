#pragma once

#include <QMetaType>
#include <QString>

#include "card/cardresult.h"
#include "service/serviceerror.h"

// Why a job, or one file of it, did not go on: a kind the faces of the tool
// decide on (the window's wording, the command line's exit status), the file
// it concerns (empty for the job as a whole) and a plain-text message for
// the user. Never markup: the views format.
struct JobError
{
    enum Kind {
        None,
        Network,         // no answer from the service or the end point
        ServiceReply,    // an answer the tool refused, or a refusal (not owned, unknown card)
        SignIn,          // the service no longer accepts the session
        CardGone,        // the chosen card is not in
        AnotherCard,     // another card is where the chosen one was
        CardFull,
        ReadOnly,
        FileSystemLimit, // a name or a size the card's file system cannot hold
        NameTaken,       // a folder or a link holds a name the tool writes, and is not the tool's to remove
        NotKept,         // the card gave back other bytes than were written
        Mismatch,        // a verification found a file missing, short or different
        ChangedOnCard,   // something else changed a file the tool had written or checked
        CardBusy,        // another writer has the card
        ProductOnCard,   // the card holds another product, which the user did not agree to replace
        Other,
    };

    Kind kind = None;
    QString file;
    QString message;

    bool isNone() const { return kind == None; }
    // The card itself is not there to be written: the job waits for it.
    bool isCardAbsence() const { return kind == CardGone || kind == AnotherCard; }

    static JobError fromCard(const CardResult &result, const QString &file = QString());
    static JobError fromService(const ServiceError &error);
    // The stable name of a kind ("network", "card-full", ...), for scripts.
    static QString kindName(Kind kind);
};

Q_DECLARE_METATYPE(JobError)
