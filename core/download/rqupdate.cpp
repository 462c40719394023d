#include "download/rqupdate.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtEndian>

#include "base/appglobals.h"
#include "base/atomicfile.h"
#include "card/mikfile.h"
#include "card/sha1stream.h"
#include "catalogue/product.h"
#include "catalogue/productstatus.h"
#include "download/filecheck.h"
#include "download/rqroom.h"
#include "download/rqstaging.h"

namespace {

const QString temporarySuffix = QStringLiteral(".qdpart");
// A card holds at most a few hundred files at its root; more is not a card
// this tool made, and the clean-up of temporaries stops there.
constexpr int rootListingLimit = 100000;

constexpr qint64 copyPiece = 1 << 20;

QString fatSafe(const QString &text, int longest)
{
    QString safe;
    for (const QChar c : text) {
        if (c.isLetterOrNumber() && c.unicode() < 128)
            safe += c;
        else if (c == QLatin1Char('-') || c == QLatin1Char('_'))
            safe += c;
        else if (!c.isSpace())
            safe += QLatin1Char('_');
        if (safe.size() >= longest)
            break;
    }
    return safe;
}

} // namespace

RqUpdate::RqUpdate(std::shared_ptr<const CardWriter> cardWriter, const QString &containerName,
                   const QStringList &oldSegments, const QByteArray &header, const QByteArray &chain,
                   const QString &chartId)
    : writer(std::move(cardWriter))
    , oldContainer(containerName)
    , oldSegmentNames(oldSegments)
    , headerImage(header)
    , chainBytes(chain)
    , chart(chartId)
{
}

QString RqUpdate::temporaryName(const FileRecord &record, const QString &chartId)
{
    const QString tag = record.etag.isEmpty() ? QString::fromLatin1(record.sha1.left(12).toLower())
                                              : fatSafe(record.etag, 24);
    return record.file + QLatin1Char('.') + fatSafe(chartId, 48) + QLatin1Char('.') + tag + temporarySuffix;
}

bool RqUpdate::isTemporaryName(const QString &name)
{
    return name.endsWith(temporarySuffix) && !name.contains(QLatin1Char('/'));
}

ActivationPlan::Step RqUpdate::decide(const FileRecord &record, const QString &temporary,
                                     const CardWriter::Facts &placed, const CardWriter::Facts &partial)
{
    using Action = ActivationPlan::Action;
    if (record.size == 0)
        return {Action::None};
    // A file of this name may be the old build's: if it is not the new
    // one, a part already fetched of the new one is gone on with.
    const qint64 fetched = partial.regular && partial.size < record.size ? partial.size : 0;
    if (placed.regular && placed.size == record.size)
        return {Action::Check, fetched, false, temporary, record.file};
    if (partial.regular && partial.size == record.size)
        return {Action::Check, 0, false, temporary};
    if (partial.regular && partial.size > 0 && partial.size < record.size)
        return {Action::Resume, partial.size, false, temporary};
    return {Action::Fetch, 0, partial.exists, temporary};
}

QStringList RqUpdate::surveyPaths() const
{
    QStringList paths;
    for (const FileRecord &record : segments)
        paths << record.file << temporaryOf(record);
    if (!oldContainer.isEmpty())
        paths << oldContainer;
    return paths + oldSegmentNames;
}

QList<ActivationPlan::Step> RqUpdate::plan(const QHash<QString, CardWriter::Facts> &facts) const
{
    QList<ActivationPlan::Step> steps;
    for (const FileRecord &record : segments) {
        const QString temporary = temporaryOf(record);
        steps.append(decide(record, temporary, facts.value(record.file), facts.value(temporary)));
    }
    return steps;
}

bool RqUpdate::acceptsHeader(const QByteArray &header, const Mik::MikFile &container, const Product &product)
{
    Mik::MikFile image;
    image.setHeaderImage(header);
    CardState::Container after;
    after.buildNumber = image.buildNumber();
    after.buildCode = image.buildCode();
    const ProductStatus::ChartStatus then = ProductStatus::chart(product, after);
    const bool current = then == ProductStatus::UpToDate || then == ProductStatus::UpToDateSameBuild;
    return current && image.chartName() == container.chartName() && (image.flags() & Mik::MikFile::FlagQvBuild)
           && container.buildNumber() <= image.buildNumber() && image.chartVersion() >= container.chartVersion();
}

QString RqUpdate::headerProblem(const QByteArray &body)
{
    // The length comes from the service; trust it only as far as the body
    // and the fixed header image reach.
    const quint64 stated =
        body.size() >= 16 ? qFromLittleEndian<quint64>(body.constData() + Mik::MikFile::OffsetHeaderSize) : 0;
    if (body.size() >= 16 && stated == quint64(Mik::MikFile::headerImageSize) && quint64(body.size()) >= stated)
        return QString();
    return QStringLiteral("The chart header received from the service is damaged "
                          "(%1 bytes stated, %2 received). Nothing was written to the card.")
        .arg(stated)
        .arg(body.size());
}

CardResult RqUpdate::restore(const CardWriter &writer, const QString &sku, const QByteArray &header,
                             const QByteArray &chain)
{
    const QString name = sku + QStringLiteral(".kim");
    if (sku.contains(QLatin1Char('/')) || !CardWriter::isSafeRelativePath(name))
        return CardResult::failure(CardResult::BadPath, name);
    return writer.writeWholeFile(name, {updatingHeader(header), chain});
}

QString RqUpdate::backUp(const CardWriter &writer, const QString &name, const QString &target)
{
    CardFile source;
    const CardResult opened = writer.open(name, CardWriter::Mode::Read, &source);
    if (!opened.ok())
        return opened.message();
    // A link at the copy's name is replaced, never written through: the
    // copy must not land wherever something in the data folder points.
    AtomicFile copy(target);
    QString why;
    if (!copy.open(&why))
        return why;
    const qint64 length = source.size();
    QCryptographicHash written(QCryptographicHash::Sha1);
    QByteArray piece;
    for (qint64 position = 0; position < length; position += piece.size()) {
        piece.resize(int(qMin(copyPiece, length - position)));
        const CardResult read = source.readAt(position, piece.data(), piece.size());
        if (!read.ok())
            return read.message();
        if (!copy.append(piece.constData(), piece.size(), &why))
            return why;
        written.addData(piece);
    }
    if (!copy.commit(&why))
        return why;
    // A disk that ran out of room may still have taken the name: only a copy
    // read back whole counts.
    QFile check(target);
    QCryptographicHash kept(QCryptographicHash::Sha1);
    if (!check.open(QIODevice::ReadOnly) || check.size() != length || !kept.addData(&check)
        || kept.result() != written.result()) {
        check.close();
        QFile::remove(target);
        return QStringLiteral("the copy does not hold what the card holds");
    }
    return QString();
}

QByteArray RqUpdate::updatingHeader(const QByteArray &header)
{
    Mik::MikFile image;
    image.setHeaderImage(header);
    image.setFlags(image.flags() | Mik::MikFile::FlagUpdating);
    return image.headerImage();
}

QByteArray RqUpdate::finishedHeader(const QByteArray &header, const QByteArray &chain)
{
    Mik::MikFile image;
    image.setHeaderImage(header);
    image.setKimFileSize(quint64(Mik::MikFile::headerImageSize + chain.size()));
    image.setPayloadSha1(QCryptographicHash::hash(chain, QCryptographicHash::Sha1));
    // Clearing the mark treats the flags as 16 bits wide: the upper bits go.
    const quint64 flags = image.flags() | Mik::MikFile::FlagFinalized | Mik::MikFile::FlagDigest;
    image.setFlags(flags & 0xFFFFULL & ~quint64(Mik::MikFile::FlagUpdating));
    return image.headerImage();
}

void RqUpdate::setSegments(const FileList &list, const QByteArray &body)
{
    segments = list.records;
    base = list.baseName;
    listBody = body;
    inPlace.clear();
}

QString RqUpdate::chartNameOf() const
{
    Mik::MikFile image;
    image.setHeaderImage(headerImage);
    return image.chartName();
}

JobError RqUpdate::arrange(const QHash<QString, CardWriter::Facts> &facts, QList<ActivationPlan::Step> *steps)
{
    staging.reset();
    stagingWriter.reset();
    RqStaging folder(appDataFolder, writer->identity().rawMediaId(), chartNameOf());
    RqStaging::Manifest manifest;
    const bool stagedBefore = folder.read(&manifest) && manifest.header == headerImage && manifest.chartId == chart;
    QByteArray onCard;
    const bool underway = stagedBefore
                          && writer->readFile(newContainerName(), Mik::MikFile::headerImageSize, &onCard).ok()
                          && onCard == updatingHeader(headerImage);
    if (underway) {
        // The old build is partly gone already: the move finishes the way
        // it began, from the data folder.
        qInfo() << "staged update of" << chart << "under way: finishing it";
        return arrangeStaged(steps);
    }

    RqRoom::Input room;
    if (!RqRoom::measure(writer->root(), &room.cardFree, &room.cardUnit)
        || !RqRoom::measure(appDataFolder, &room.dataFree, &room.dataUnit)) {
        // Without the numbers the update goes as it always could.
        qWarning() << "free space unknown; the update goes beside the old build";
        *steps = plan(facts);
        return JobError();
    }
    room.container = Mik::MikFile::headerImageSize + chainBytes.size();
    if (!oldContainer.isEmpty())
        room.oldFiles.append(facts.value(oldContainer).size);
    for (const QString &old : oldSegmentNames)
        room.oldFiles.append(facts.value(old).size);
    for (const FileRecord &record : segments) {
        const qint64 size = record.size + record.data.size();
        const CardWriter::Facts temporary = facts.value(temporaryOf(record));
        room.segments.append({size, temporary.regular ? qMin(temporary.size, size) : 0});
        if (stagedBefore)
            room.staged += qBound<qint64>(0, QFileInfo(folder.folder() + QLatin1Char('/') + temporaryOf(record)).size(),
                                          size);
    }
    const RqRoom::Plan chosen = RqRoom::plan(room);
    qInfo() << "room for" << chart << "- card free:" << room.cardFree << "beside needs:" << chosen.besideNeed
            << "staged needs:" << chosen.stagedNeed << "data folder free:" << room.dataFree;
    switch (chosen.way) {
    case RqRoom::Way::Beside:
        *steps = plan(facts);
        return JobError();
    case RqRoom::Way::NoRoom:
        return JobError{JobError::CardFull, QString(), RqRoom::cardMessage(chosen.shortfall)};
    case RqRoom::Way::NoStagingRoom:
        return JobError{JobError::Other, QString(), RqRoom::dataFolderMessage(chosen.shortfall, appDataFolder)};
    case RqRoom::Way::Staged:
        break;
    }
    return arrangeStaged(steps);
}

JobError RqUpdate::arrangeStaged(QList<ActivationPlan::Step> *steps)
{
    staging = std::make_shared<RqStaging>(appDataFolder, writer->identity().rawMediaId(), chartNameOf());
    QString why;
    if (!staging->begin(headerImage, listBody, chart, &why)) {
        staging.reset();
        return JobError{JobError::Other, QString(),
                        QStringLiteral("The update cannot keep its files on this computer (%1). Nothing on the "
                                       "card was changed.")
                            .arg(why)};
    }
    stagingWriter = staging->writer();
    QStringList names;
    for (const FileRecord &record : segments)
        names << temporaryOf(record);
    QHash<QString, CardWriter::Facts> staged;
    const CardResult surveyed = stagingWriter->survey(names, &staged);
    if (!surveyed.ok()) {
        qWarning() << "staging not readable:" << surveyed.detail();
        return JobError{JobError::Other, QString(),
                        QStringLiteral("The update cannot read its files in %1. Nothing on the card was changed.")
                            .arg(staging->folder())};
    }
    steps->clear();
    using Action = ActivationPlan::Action;
    for (const FileRecord &record : segments) {
        const QString name = temporaryOf(record);
        const CardWriter::Facts found = staged.value(name);
        if (record.size == 0) {
            steps->append({Action::None, 0, false, name});
        } else if (found.regular && found.size >= record.size && found.size <= record.size + record.data.size()) {
            // Kept from an earlier run: proven again, since anything may
            // have happened to it in between.
            const FileCheck::Result check = FileCheck::run(*stagingWriter, name, record);
            if (check.outcome == FileCheck::Outcome::Passed)
                steps->append({Action::None, record.size, false, name});
            else
                steps->append({Action::Fetch, 0, true, name});
        } else if (found.regular && found.size > 0 && found.size < record.size) {
            steps->append({Action::Resume, found.size, false, name});
        } else {
            steps->append({Action::Fetch, 0, found.exists, name});
        }
    }
    return JobError();
}

QStringList RqUpdate::unstaged() const
{
    QStringList names;
    for (const FileRecord &record : segments)
        names << temporaryOf(record);
    QHash<QString, CardWriter::Facts> staged;
    stagingWriter->survey(names, &staged);
    QStringList missing;
    for (const FileRecord &record : segments) {
        const CardWriter::Facts found = staged.value(temporaryOf(record));
        if (record.size > 0 && !(found.regular && found.size == record.size + record.data.size()))
            missing.append(record.file);
    }
    return missing;
}

void RqUpdate::finished() const
{
    RqStaging(appDataFolder, writer->identity().rawMediaId(), chartNameOf()).clear();
}

QList<ReadbackVerifier::Item> RqUpdate::writtenFiles() const
{
    const QByteArray container = finishedHeader(headerImage, chainBytes) + chainBytes;
    QList<ReadbackVerifier::Item> items{
        {newContainerName(), container.size(), QCryptographicHash::hash(container, QCryptographicHash::Sha1).toHex(),
         QByteArray(), true}};
    for (const FileRecord &record : segments) {
        if (!inPlace.contains(record.file))
            items.append({record.file, record.size, record.sha1, record.data, true});
    }
    return items;
}

CardResult RqUpdate::markUnfinished() const
{
    return writer->writeWholeFile(newContainerName(), {updatingHeader(headerImage), chainBytes});
}

CardResult RqUpdate::commit() const
{
    if (isStaged())
        return commitStaged();
    const QString container = newContainerName();
    CardResult result = writer->writeWholeFile(container, {updatingHeader(headerImage), chainBytes});
    if (!result.ok())
        return result;

    QSet<QString> wanted;
    for (const FileRecord &record : segments) {
        wanted.insert(record.file);
        if (inPlace.contains(record.file))
            continue;
        result = record.size == 0 ? writer->writeWholeFile(record.file, {record.data})
                                  : writer->rename(temporaryOf(record), record.file);
        if (!result.ok())
            return result;
    }

    // The old build's files that the new one has no use for. Its container
    // goes first: its chain may run on into its segments, and a container
    // left without them would pass a part of the chain to the next update.
    if (!oldContainer.isEmpty() && oldContainer != container && !(result = writer->remove(oldContainer)).ok())
        return result;
    for (const QString &old : oldSegmentNames) {
        if (!wanted.contains(old) && !(result = writer->remove(old)).ok())
            return result;
    }

    result = writer->writeWholeFile(container, {finishedHeader(headerImage, chainBytes), chainBytes});
    if (!result.ok())
        return result;
    removeLeftovers();
    return CardResult();
}

CardResult RqUpdate::commitStaged() const
{
    // The mark first: from here on the card says "update in progress" until
    // the move is proven, and the next update finishes it.
    const QString container = newContainerName();
    CardResult result = markUnfinished();
    if (!result.ok())
        return result;

    RqStaging::Manifest manifest;
    staging->read(&manifest);
    QStringList names;
    for (const FileRecord &record : segments)
        names << record.file;
    QHash<QString, CardWriter::Facts> facts;
    if (!(result = writer->survey(names, &facts)).ok())
        return result;
    QSet<QString> wanted;
    QSet<QString> placed;
    for (const FileRecord &record : segments) {
        wanted.insert(record.file);
        const CardWriter::Facts found = facts.value(record.file);
        if (manifest.placed.contains(record.file) && found.regular
            && found.size == record.size + record.data.size())
            placed.insert(record.file);
    }

    // Everything of the old build, and whatever an earlier attempt left, goes
    // before the first new segment comes: the card never holds more than
    // the new build. The old container first, as in the other way.
    QStringList gone;
    if (!oldContainer.isEmpty() && oldContainer != container)
        gone << oldContainer;
    for (const QString &old : oldSegmentNames) {
        if (!wanted.contains(old))
            gone << old;
    }
    for (const FileRecord &record : segments) {
        if (!placed.contains(record.file))
            gone << record.file;
        gone << temporaryOf(record);
    }
    for (const QString &name : std::as_const(gone)) {
        if (!(result = writer->remove(name)).ok())
            return result;
    }

    for (const FileRecord &record : segments) {
        if (placed.contains(record.file))
            continue;
        result = record.size == 0 ? writer->writeWholeFile(record.file, {record.data})
                                  : moveOnto(*stagingWriter, record);
        if (!result.ok())
            return result;
        // Not recorded: the next run moves it again.
        if (!staging->notePlaced(record.file))
            qWarning() << "Cannot record a moved segment:" << record.file;
    }

    result = writer->writeWholeFile(container, {finishedHeader(headerImage, chainBytes), chainBytes});
    if (!result.ok())
        return result;
    removeLeftovers();
    return CardResult();
}

CardResult RqUpdate::moveOnto(const CardWriter &source, const FileRecord &record) const
{
    const QString name = temporaryOf(record);
    const qint64 length = record.size + record.data.size();
    const auto damaged = [&](const QString &why) {
        // Fetched again before the next move (unstaged()).
        source.remove(name);
        writer->remove(name);
        return CardResult::failure(CardResult::Failed, record.file,
                                   QStringLiteral("its copy kept on this computer %1 and is fetched again").arg(why));
    };
    CardFile from;
    CardResult read = source.open(name, CardWriter::Mode::Read, &from);
    if (!read.ok() || from.size() != length)
        return damaged(QStringLiteral("is missing or short"));
    CardFile to;
    CardResult result = writer->open(name, CardWriter::Mode::Truncate, &to);
    if (!result.ok())
        return result.at(record.file);
    Sha1Stream hash;
    QByteArray tail;
    QByteArray piece;
    for (qint64 position = 0; position < length; position += piece.size()) {
        piece.resize(int(qMin(copyPiece, length - position)));
        if (!(read = from.readAt(position, piece.data(), piece.size())).ok())
            return damaged(QStringLiteral("cannot be read"));
        const qint64 hashed = qBound<qint64>(0, record.size - position, piece.size());
        hash.update(piece.constData(), hashed);
        tail.append(piece.constData() + hashed, piece.size() - hashed);
        if (!(result = to.write(piece)).ok())
            return result.at(record.file);
        to.startWriteback(position, piece.size());
    }
    if (!Sha1Stream::sameDigest(hash.hexDigest(), record.sha1) || tail != record.data)
        return damaged(QStringLiteral("was damaged"));
    if (!(result = to.sync()).ok() || !(result = to.close()).ok())
        return result.at(record.file);
    return writer->rename(name, record.file);
}

void RqUpdate::removeLeftovers() const
{
    // Temporaries of builds that never finished, and segments whose
    // container is gone (a clean-up interrupted before): no container can
    // use them any more.
    static const QRegularExpression segment(QStringLiteral("^(.+)\\.k[0-9a-f]{2,}$"));
    QStringList names;
    writer->listFiles(QString(), rootListingLimit, &names);
    QStringList containers;
    for (const QString &name : std::as_const(names)) {
        if (segment.match(name).hasMatch())
            containers.append(segment.match(name).captured(1) + QStringLiteral(".kim"));
    }
    QHash<QString, CardWriter::Facts> present;
    writer->survey(containers, &present);
    for (const QString &name : std::as_const(names)) {
        const QRegularExpressionMatch match = segment.match(name);
        const bool orphan = match.hasMatch() && !present.value(match.captured(1) + QStringLiteral(".kim")).exists;
        if ((isTemporaryName(name) || orphan) && !writer->remove(name).ok())
            qWarning() << "Cannot remove a file the update left:" << name;
    }
}
