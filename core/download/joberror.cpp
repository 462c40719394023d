#include "download/joberror.h"

JobError JobError::fromCard(const CardResult &result, const QString &file)
{
    JobError error;
    error.file = file.isEmpty() ? result.path() : file;
    error.message = result.message();
    switch (result.problem()) {
    case CardResult::None:
        error.kind = None;
        break;
    case CardResult::CardGone:
        error.kind = CardGone;
        break;
    case CardResult::AnotherCard:
        error.kind = AnotherCard;
        break;
    case CardResult::CardFull:
        error.kind = CardFull;
        break;
    case CardResult::TooLarge:
    case CardResult::BadPath:
        error.kind = FileSystemLimit;
        break;
    case CardResult::CardReadOnly:
        error.kind = ReadOnly;
        break;
    case CardResult::NotKept:
        error.kind = NotKept;
        break;
    case CardResult::NotAFile:
        error.kind = NameTaken;
        break;
    case CardResult::Failed:
        error.kind = Other;
        break;
    }
    return error;
}

JobError JobError::fromService(const ServiceError &serviceError)
{
    JobError error;
    error.message = serviceError.message.isEmpty() ? QStringLiteral("Error: %1").arg(serviceError.status)
                                                   : serviceError.message;
    switch (serviceError.kind) {
    case ServiceError::None:
        error.kind = None;
        break;
    case ServiceError::Network:
        error.kind = Network;
        break;
    case ServiceError::Refused:
        error.kind = serviceError.isSessionRefused() ? SignIn : ServiceReply;
        break;
    case ServiceError::Unreadable:
        error.kind = ServiceReply;
        break;
    }
    return error;
}

QString JobError::kindName(Kind kind)
{
    switch (kind) {
    case None:
        return QStringLiteral("none");
    case Network:
        return QStringLiteral("network");
    case ServiceReply:
        return QStringLiteral("service-reply");
    case SignIn:
        return QStringLiteral("sign-in");
    case CardGone:
        return QStringLiteral("card-gone");
    case AnotherCard:
        return QStringLiteral("another-card");
    case CardFull:
        return QStringLiteral("card-full");
    case ReadOnly:
        return QStringLiteral("read-only");
    case FileSystemLimit:
        return QStringLiteral("file-system-limit");
    case NameTaken:
        return QStringLiteral("name-taken");
    case NotKept:
        return QStringLiteral("not-kept");
    case Mismatch:
        return QStringLiteral("mismatch");
    case ChangedOnCard:
        return QStringLiteral("changed-on-card");
    case CardBusy:
        return QStringLiteral("card-busy");
    case ProductOnCard:
        return QStringLiteral("product-on-card");
    case Other:
        break;
    }
    return QStringLiteral("other");
}
