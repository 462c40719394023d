#pragma once

#include <QList>
#include <QString>

// How much room an RQ update takes on the card, worked out before anything
// is written, and which way the update can go with it:
// - beside: the new segments come under temporary names next to the old
//   build, which stays whole until the commit (the card keeps both for a
//   moment);
// - staged: the new segments are fetched into the data folder first and
//   moved onto the card once the old build's files are gone, so the card
//   never holds more than the new build (and one container being written);
// - neither: the card cannot hold the new build at all (or the data folder
//   cannot hold what the staged way keeps there), and the user is told how
//   much room to make.
// Every size counts in whole allocation units of its file system, as the
// card spends them.
class RqRoom
{
public:
    enum class Way { Beside, Staged, NoRoom, NoStagingRoom };

    struct Segment
    {
        qint64 size = 0;      // what the card gets under the segment's name (bytes and trailer)
        qint64 temporary = 0; // of it already under its temporary name on the card
    };

    struct Input
    {
        qint64 cardFree = 0;      // what the card can still take
        qint64 cardUnit = 1;      // its allocation unit
        qint64 container = 0;     // the new container
        QList<qint64> oldFiles;   // the old build's container and segments
        QList<Segment> segments;  // every segment of the new build
        qint64 dataFree = 0;      // what the data folder can still take
        qint64 dataUnit = 1;
        qint64 staged = 0;        // of the new segments already in the data folder
    };

    struct Plan
    {
        Way way = Way::NoRoom;
        qint64 besideNeed = 0;  // what the beside way adds to the card at its fullest
        qint64 stagedNeed = 0;  // likewise for the staged way
        qint64 shortfall = 0;   // what the card (NoRoom) or the data folder (NoStagingRoom) lacks
    };

    static Plan plan(const Input &input);

    // The free space of the file system a folder lies on and its allocation
    // unit; false when the system cannot say.
    static bool measure(const QString &folder, qint64 *free, qint64 *unit);
    // Bytes as the user reads them: MB with one decimal, rounded up, so that
    // making the room named is always enough.
    static QString megabytes(qint64 bytes);

    // The words for a card that cannot hold the new build, and for a data
    // folder that cannot hold its staged segments.
    static QString cardMessage(qint64 shortfall);
    static QString dataFolderMessage(qint64 shortfall, const QString &folder);
    // The disk of the data folder filled up while the new build was being
    // kept there (by something else: the room was there when it began).
    static QString dataFolderFullMessage(const QString &folder);

private:
    static qint64 allocated(qint64 bytes, qint64 unit);
};
