#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

class CardWriter;

// The new segments of an RQ update kept in the tool's data folder, for a
// card that has room for the new build but not for it beside the old one.
// They are fetched and proven here, then moved onto the card one by one
// while its container says "update in progress". The manifest beside them
// holds everything that move needs without the service (the header, the
// segment list, the names of the staged files) and which segments are on
// the card already, so that a move cut off at any point finishes from here.
//
// One folder per card and chart: <data folder>/staging/<media id>-<chart>.
// A new build of the chart empties it. The files are written through a card
// writer of their own, with the care the card gets: never through a link,
// synced before they count.
class RqStaging
{
public:
    struct Manifest
    {
        QByteArray header;  // the 352 bytes the service sent for the new build
        QByteArray list;    // the segment list as the service sent it
        QString chartId;    // names the staged files (RqUpdate::temporaryName)
        QStringList placed; // segments moved onto the card, in order
    };

    RqStaging(const QString &dataFolder, const QString &mediaId, const QString &chartName);

    QString folder() const { return path; }
    // False when there is none, or it cannot be used.
    bool read(Manifest *manifest) const;
    // Makes the folder ready for this build: emptied first when it holds
    // another build's files; what was moved of this build stays recorded.
    bool begin(const QByteArray &header, const QByteArray &list, const QString &chartId, QString *why);
    // The segment is on the card under its own name.
    bool notePlaced(const QString &segment);
    // Reads and writes the staged files; empty until the folder exists.
    std::shared_ptr<const CardWriter> writer() const;
    // The update is proven on the card: the staged files have done their job.
    void clear() const;

private:
    bool write(const Manifest &manifest) const;

    QString path;
    QString media;
    QString chart;
};
