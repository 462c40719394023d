#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

#include "download/activationplan.h"
#include "download/joberror.h"
#include "service/filelist.h"
#include "download/readbackverifier.h"
#include "card/cardresult.h"
#include "card/cardwriter.h"

struct Product;

namespace Mik {
class MikFile;
}
class RqStaging;

// An RQ card's update as one transaction. The new segments are fetched under
// temporary names that say which build they belong to and proven by SHA-1;
// nothing the card already holds changes until every one of them is. Then:
// the new container (the service's header marked "updating", followed by
// the chart blocks read from the card before anything changed) replaces the
// old one atomically; the segments are renamed into place; files of the old
// build that the new one does not have (its segments under another base
// name, its container) go last; the container is finished (digest) and its
// mark cleared. A kill at any point leaves either the old card, whose
// update resumes the temporaries, or a container marked "Update In
// Progress" whose update completes the card.
//
// A card with room for the new build but not for it beside the old one
// (RqRoom) takes the staged way instead: the segments are fetched and proven
// in the data folder (RqStaging), and the commit, under the container's
// mark, removes the old build and moves them onto the card one by one, each
// under its temporary name first. Every step is recorded there, so a kill
// or a pulled card at any point leaves a card that the next update finishes
// from the data folder alone.
class RqUpdate
{
public:
    // containerName: the card's container, relative to the card root (empty
    // when the card has none); oldSegments: its segment files, likewise.
    RqUpdate(std::shared_ptr<const CardWriter> writer, const QString &containerName, const QStringList &oldSegments,
             const QByteArray &header, const QByteArray &chain, const QString &chartId);

    // The segment's name while it is under way: its own name, the chart id
    // and the service's tag (or the start of its SHA-1), with nothing a FAT
    // card would refuse. A temporary of another build never matches.
    static QString temporaryName(const FileRecord &record, const QString &chartId);
    static bool isTemporaryName(const QString &name);
    // Every segment goes to its temporary. A card file of the segment's name
    // and size is checked in place (and kept if its SHA-1 is right); a whole
    // temporary of this build is checked; a part of one is resumed; anything
    // else is fetched from byte 0. Size 0: written at the commit.
    static ActivationPlan::Step decide(const FileRecord &record, const QString &temporary,
                                       const CardWriter::Facts &inPlace, const CardWriter::Facts &partial);
    // The card files the plan looks at: each segment's own name and its
    // temporary, and the old build's files, whose room the update may take.
    QStringList surveyPaths() const;
    QList<ActivationPlan::Step> plan(const QHash<QString, CardWriter::Facts> &facts) const;
    // Works out the room the update needs and the way it goes, and gives
    // every segment its step; an error, and nothing written to the card,
    // when it cannot go. A card already in the middle of a staged move of
    // this build goes on with it.
    JobError arrange(const QHash<QString, CardWriter::Facts> &facts, QList<ActivationPlan::Step> *steps);
    bool isStaged() const { return staging != nullptr; }
    // Where the segments are fetched to: the card, or the staging folder.
    std::shared_ptr<const CardWriter> fetchWriter() const { return isStaged() ? stagingWriter : writer; }
    // Staged segments that are no longer whole in the data folder: fetched
    // again before anything moves.
    QStringList unstaged() const;
    // The update is proven on the card: no staging of this card's chart is
    // needed any more, whichever way it went.
    void finished() const;

    // A header the service sent for this card's container: the same chart,
    // built for the service, not older in build or chart version, and one
    // the card would not still read as behind the catalogue's newest build
    // with (its status "Update Available" once the update is done), which
    // would end the update claimed up to date while it is not.
    static bool acceptsHeader(const QByteArray &header, const Mik::MikFile &container, const Product &product);
    // Why a header reply cannot be used as a 352-byte header (its stated
    // length or its size); empty when it can.
    static QString headerProblem(const QByteArray &body);
    // A container the card lost, rebuilt from the service's header and the
    // chain the service keeps for the card; marked "updating" so that the
    // next update completes it. Whole or not at all.
    static CardResult restore(const CardWriter &writer, const QString &sku, const QByteArray &header,
                              const QByteArray &chain);
    // Copies a file of the card (read without following links) to target
    // outside the card, and reads the copy back: the update goes on only
    // over a copy that holds every byte. Empty when it does; else why not.
    static QString backUp(const CardWriter &writer, const QString &name, const QString &target);

    // The 352-byte header as it goes on the card while the update runs, and
    // as it stays once the update is complete.
    static QByteArray updatingHeader(const QByteArray &header);
    static QByteArray finishedHeader(const QByteArray &header, const QByteArray &chain);

    // The body is the list as the service sent it: a staged update keeps it
    // to read again when it is resumed.
    void setSegments(const FileList &list, const QByteArray &body);
    QString temporaryOf(const FileRecord &record) const { return temporaryName(record, chart); }
    // The segment under its own name was proven: nothing to rename.
    void keepInPlace(const QString &file) { inPlace.insert(file); }
    // It was lost again: it comes through its temporary after all.
    void dropInPlace(const QString &file) { inPlace.remove(file); }
    QString newContainerName() const { return base + QStringLiteral(".kim"); }

    // Everything after the last segment is proven; stops at the first
    // failure, leaving a card that the next update completes.
    CardResult commit() const;
    // What the commit wrote, to be read back from the card: the container,
    // whole (its flags and digest with it), and every segment it put in
    // place; call before the segments are counted as in place.
    QList<ReadbackVerifier::Item> writtenFiles() const;
    // The card did not keep what the commit wrote: the container is marked
    // "updating" again (its chain intact), so that the card shows the update
    // as unfinished and the next update completes it.
    CardResult markUnfinished() const;

private:
    QString chartNameOf() const;
    JobError arrangeStaged(QList<ActivationPlan::Step> *steps);
    CardResult commitStaged() const;
    // A staged segment copied onto the card under its temporary name,
    // proven as it goes, then renamed into place.
    CardResult moveOnto(const CardWriter &source, const FileRecord &record) const;
    // Temporaries of builds that never finished, and segments whose
    // container is gone.
    void removeLeftovers() const;

    std::shared_ptr<const CardWriter> writer;
    QString oldContainer;
    QStringList oldSegmentNames;
    QByteArray headerImage;
    QByteArray chainBytes;
    QString chart;
    QString base;
    QList<FileRecord> segments;
    QByteArray listBody;
    QSet<QString> inPlace;
    std::shared_ptr<RqStaging> staging;
    std::shared_ptr<const CardWriter> stagingWriter;
};
