#pragma once

#include <QString>

// How an operation on the card ended, and the words the user gets for it.
class CardResult
{
public:
    enum Problem {
        None,
        CardGone,     // not in
        AnotherCard,  // another card is where the chosen one was
        CardFull,     // no room
        TooLarge,     // a file larger than the card's file system allows
        CardReadOnly, // locked, mounted read-only, or not ours to write
        NotAFile,     // something else (a folder, a device) where a file belongs
        BadPath,      // a name that would leave the card or is not allowed on it
        NotKept,      // read back from the card, it is not what was written
        Failed,       // any other failure of the system
    };

    CardResult() = default;
    static CardResult fromErrno(int errorNumber, const QString &path);
    static CardResult failure(Problem problem, const QString &path, const QString &detail = QString());

    bool ok() const { return kind == None; }
    Problem problem() const { return kind; }
    int errorNumber() const { return errnum; }
    QString path() const { return where; }
    // The text shown to the user; names no folder outside the card.
    QString message() const;
    // The same result told about another path (a temporary name stands
    // for the file the user knows).
    CardResult at(const QString &path) const
    {
        CardResult copy = *this;
        copy.where = path;
        return copy;
    }
    // For the log: the problem with the system's words.
    QString detail() const;

private:
    Problem kind = None;
    int errnum = 0;
    QString where;
    QString why;
};
