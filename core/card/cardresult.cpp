#include "card/cardresult.h"

#include <cerrno>
#include <cstring>

CardResult CardResult::fromErrno(int errorNumber, const QString &path)
{
    CardResult result;
    result.errnum = errorNumber;
    result.where = path;
    result.why = QString::fromLocal8Bit(std::strerror(errorNumber));
    switch (errorNumber) {
    case 0:
        result.kind = None;
        break;
    case ENOSPC:
    case EDQUOT:
        result.kind = CardFull;
        break;
    case EFBIG:
        result.kind = TooLarge;
        break;
    case EROFS:
    case EACCES:
    case EPERM:
        result.kind = CardReadOnly;
        break;
    case ENODEV:
    case ENXIO:
        result.kind = CardGone;
        break;
    case EISDIR:
    case ENOTDIR:
    case ELOOP:
        result.kind = NotAFile;
        break;
    case ENAMETOOLONG:
    case EINVAL:
        result.kind = BadPath;
        break;
    default:
        result.kind = Failed;
        break;
    }
    return result;
}

CardResult CardResult::failure(Problem problem, const QString &path, const QString &detail)
{
    CardResult result;
    result.kind = problem;
    result.where = path;
    result.why = detail;
    return result;
}

QString CardResult::message() const
{
    switch (kind) {
    case None:
        return QString();
    case CardGone:
        return QStringLiteral("Please insert SD card.");
    case AnotherCard:
        return QStringLiteral("Another SD card is in place of the chosen one. Put the chosen card back.");
    case CardFull:
        return QStringLiteral("The SD card is full (%1). Make room on it, then resume.").arg(why);
    case TooLarge:
        // Resume would only run into the same limit again.
        return QStringLiteral("\"%1\" is larger than the SD card's file system can hold in one file (%2). "
                              "It cannot be put on this card.")
            .arg(where, why);
    case NotKept:
        return QStringLiteral("The SD card did not keep what was written: \"%1\" reads back differently (%2). "
                              "The card may be faulty or counterfeit.")
            .arg(where, why);
    case CardReadOnly:
        // A locked card refuses every write with EROFS; a refusal of one
        // file (EPERM, EACCES) is that file's, on a card that may be
        // writable everywhere else.
        if (errnum == EROFS || where.isEmpty())
            return QStringLiteral("The SD card cannot be written (%1). Unlock it, then resume.").arg(why);
        return QStringLiteral("\"%1\" on the SD card cannot be written (%2). The card may be locked, or the "
                              "file protected: unlock the card or lift the protection, then resume.")
            .arg(where, why);
    case NotAFile:
        // The other way round: a file of the card where a folder of the path
        // belongs.
        if (errnum == ENOTDIR)
            return QStringLiteral("\"%1\" cannot be written on the SD card: a file stands where a folder on "
                                  "its path belongs. Nothing was written to it: move that file off the card, "
                                  "then try again.")
                .arg(where);
        return QStringLiteral("\"%1\" on the SD card is not a regular file (a folder or a link has its "
                              "name). Nothing was written to it: move it off the card, then try again.")
            .arg(where);
    case BadPath:
        return QStringLiteral("The name \"%1\" cannot be used on the SD card. Nothing was written.").arg(where);
    case Failed:
        break;
    }
    return QStringLiteral("Cannot write \"%1\" on the SD card (%2).").arg(where, why);
}

QString CardResult::detail() const
{
    return QStringLiteral("%1: problem %2, errno %3, %4").arg(where).arg(int(kind)).arg(errnum).arg(why);
}
