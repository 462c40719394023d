#include "download/rqupdate.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QRegularExpression>
#include <QSaveFile>
#include <QtEndian>

#include "card/mikfile.h"

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
    if (placed.regular && placed.size == record.size)
        return {Action::Check, 0, false, temporary, record.file};
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
    return paths;
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

bool RqUpdate::acceptsHeader(const QByteArray &header, const Mik::MikFile &container)
{
    Mik::MikFile image;
    image.setHeaderImage(header);
    return image.chartName() == container.chartName() && (image.flags() & Mik::MikFile::FlagQvBuild)
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

bool RqUpdate::backUp(const CardWriter &writer, const QString &name, const QString &target)
{
    CardFile source;
    if (!writer.open(name, CardWriter::Mode::Read, &source).ok())
        return false;
    QSaveFile copy(target);
    bool ok = copy.open(QIODevice::WriteOnly);
    const qint64 length = source.size();
    QByteArray piece;
    for (qint64 position = 0; ok && position < length; position += piece.size()) {
        piece.resize(int(qMin(copyPiece, length - position)));
        ok = source.readAt(position, piece.data(), piece.size()).ok() && copy.write(piece) == piece.size();
    }
    return ok && copy.commit();
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

void RqUpdate::setSegments(const FileList &list)
{
    segments = list.records;
    base = list.baseName;
    inPlace.clear();
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
    return CardResult();
}
