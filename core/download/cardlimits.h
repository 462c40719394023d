#pragma once

#include <QList>
#include <QString>

#include "service/filelist.h"
#include "card/cardfilesystem.h"
#include "card/cardwriter.h"

// What a card's file system cannot hold, checked on a validated file list
// before anything is written. Names are judged by FAT's rules whatever the
// card is now, since a card moves between computers: names that differ only
// in letter case are one name there (the second file would overwrite the
// first, and the tool would have reported success), some characters are
// refused, and a dot or a space at the end of a name is dropped. The file
// size limit belongs to the kind of file system the card has now.
class CardLimits
{
public:
    // A card's file system allows 255 characters to a name; the tool's
    // working names add their suffix (".1234567.qdtmp") to a file's own.
    static constexpr int maxNameLength = 255 - CardWriter::temporarySuffixLength;

    // The text for the user, naming the file and the reason; empty when the
    // card can hold every file of the list.
    static QString problem(const QList<FileRecord> &records, CardFilesystem::Kind kind);

private:
    static QString nameProblem(const QString &path);
    // The text for a file too long for the card's file system; empty when
    // it fits.
    static QString sizeProblem(const FileRecord &record, CardFilesystem::Kind kind);
    // The same, comparing whole folded paths: for a list known to have a
    // problem, whose first file the text must name.
    static QString exactProblem(const QList<FileRecord> &records, CardFilesystem::Kind kind);
};
