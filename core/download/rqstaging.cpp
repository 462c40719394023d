#include "download/rqstaging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include "base/atomicfile.h"
#include "base/ownfolder.h"
#include "base/smallfile.h"
#include "card/cardidentity.h"
#include "card/cardwriter.h"

Q_LOGGING_CATEGORY(lcStaging, "quorvel.staging")

namespace {

const QString manifestName = QStringLiteral("manifest.json");
// A manifest is a header, a segment list and a few names; anything far
// larger is not one.
constexpr qint64 manifestLimit = 64 << 20;

QString safeName(const QString &text)
{
    QString safe;
    for (const QChar c : text.trimmed()) {
        if ((c.isLetterOrNumber() && c.unicode() < 128) || c == QLatin1Char('-') || c == QLatin1Char('_'))
            safe += c;
        else
            safe += QLatin1Char('_');
    }
    return safe.left(64);
}

} // namespace

RqStaging::RqStaging(const QString &dataFolder, const QString &mediaId, const QString &chartName)
    : path(dataFolder + QStringLiteral("/staging/") + safeName(mediaId) + QLatin1Char('-') + safeName(chartName))
    , media(mediaId)
    , chart(chartName)
{
}

bool RqStaging::read(Manifest *manifest) const
{
    const QString file = path + QLatin1Char('/') + manifestName;
    QByteArray content;
    QString why;
    if (!SmallFile::readIfThere(file, manifestLimit, &content, &why)) {
        // Anything but a manifest in its place: the staged build starts afresh.
        if (!why.isEmpty())
            qCWarning(lcStaging) << "staging manifest ignored:" << why;
        return false;
    }
    const QJsonObject json = QJsonDocument::fromJson(content).object();
    // Another card or chart whose names came out the same here.
    if (json.value(QStringLiteral("media_id")).toString() != media
        || json.value(QStringLiteral("chart")).toString() != chart)
        return false;
    manifest->header = QByteArray::fromBase64(json.value(QStringLiteral("header")).toString().toLatin1());
    manifest->list = QJsonDocument(json.value(QStringLiteral("list")).toObject()).toJson(QJsonDocument::Compact);
    manifest->chartId = json.value(QStringLiteral("chart_id")).toString();
    manifest->placed.clear();
    for (const QJsonValue &name : json.value(QStringLiteral("placed")).toArray())
        manifest->placed.append(name.toString());
    return !manifest->header.isEmpty() && !manifest->chartId.isEmpty();
}

bool RqStaging::write(const Manifest &manifest) const
{
    QJsonArray placed;
    for (const QString &name : manifest.placed)
        placed.append(name);
    const QJsonObject json{
        {QStringLiteral("media_id"), media},
        {QStringLiteral("chart"), chart},
        {QStringLiteral("header"), QString::fromLatin1(manifest.header.toBase64())},
        {QStringLiteral("list"), QJsonDocument::fromJson(manifest.list).object()},
        {QStringLiteral("chart_id"), manifest.chartId},
        {QStringLiteral("placed"), placed},
    };
    // Replaces whatever has the name, a link included, never what a link
    // points at.
    QString why;
    if (AtomicFile::write(path + QLatin1Char('/') + manifestName, QJsonDocument(json).toJson(), &why))
        return true;
    qCWarning(lcStaging) << "staging manifest not written:" << why;
    return false;
}

bool RqStaging::begin(const QByteArray &header, const QByteArray &list, const QString &chartId, QString *why)
{
    // The new build's files are written here, and another build's emptied
    // from here: through a link, both would reach outside the data folder.
    QString reason;
    if (!OwnFolder::make(QFileInfo(path).absolutePath(), &reason) || !OwnFolder::make(path, &reason)) {
        *why = QStringLiteral("cannot write in %1: %2").arg(path, reason);
        return false;
    }
    Manifest manifest;
    if (!read(&manifest) || manifest.header != header || manifest.chartId != chartId) {
        // Another build's files, or none: a fresh start.
        QDir(path).removeRecursively();
        manifest = Manifest{header, list, chartId, {}};
    }
    manifest.list = list;
    if (!OwnFolder::make(path) || !write(manifest)) {
        *why = QStringLiteral("cannot write in %1").arg(path);
        return false;
    }
    return true;
}

bool RqStaging::notePlaced(const QString &segment)
{
    Manifest manifest;
    if (!read(&manifest))
        return false;
    if (!manifest.placed.contains(segment))
        manifest.placed.append(segment);
    return write(manifest);
}

std::shared_ptr<const CardWriter> RqStaging::writer() const
{
    return std::make_shared<const CardWriter>(CardIdentity::ofOwnFolder(path));
}

void RqStaging::clear() const
{
    // A link put here since begin() goes by itself; emptying it would empty
    // what it points at.
    if (!QFile::remove(path))
        QDir(path).removeRecursively();
    // The parent goes with its last card.
    QDir().rmdir(QFileInfo(path).absolutePath());
}
