#include "card/proofledger.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include "base/appglobals.h"
#include "base/atomicfile.h"
#include "base/jsontext.h"
#include "base/ownfolder.h"
#include "base/smallfile.h"

Q_LOGGING_CATEGORY(lcProof, "quorvel.proof")

namespace {
// Far above any real entry (200,000 files are about 12 MiB).
constexpr qint64 maxEntrySize = 256 * 1024 * 1024;
} // namespace

ProofLedger::ProofLedger(const QString &folder)
    : root(folder.isEmpty() ? appDataFolder + QStringLiteral("/proofs") : folder)
{
}

QString ProofLedger::pathFor(const QString &mediaId) const
{
    // The media id as a name of the tool's own making: whatever the card's
    // file says, it cannot reach outside the folder.
    const QByteArray name = QCryptographicHash::hash(mediaId.toUtf8(), QCryptographicHash::Sha1).toHex();
    return root + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".json");
}

ProofLedger::Entry ProofLedger::entry(const QString &mediaId) const
{
    Entry found;
    if (mediaId.isEmpty())
        return found;
    const QString path = pathFor(mediaId);
    QByteArray content;
    QString why;
    if (!SmallFile::readIfThere(path, maxEntrySize, &content, &why)) {
        if (!why.isEmpty())
            qCWarning(lcProof) << "proof ignored:" << why;
        return found;
    }
    const QJsonObject object = QJsonDocument::fromJson(content).object();
    if (object.value(QStringLiteral("media_id")).toString() != mediaId)
        return found;
    const QString state = object.value(QStringLiteral("state")).toString();
    found.state = state == QLatin1String("proven")    ? State::Proven
                  : state == QLatin1String("writing") ? State::Writing
                                                      : State::None;
    found.sku = object.value(QStringLiteral("sku")).toString();
    found.vmidSha1 = object.value(QStringLiteral("vmid_sha1")).toString().toLatin1();
    found.provenAtMs = qint64(object.value(QStringLiteral("proven_at")).toDouble());
    // A proof names every file it proved with its length; one that does not
    // (no list, an empty one, a name or a length missing) proves nothing,
    // whatever its state says.
    const QJsonValue listed = object.value(QStringLiteral("files"));
    const QJsonArray files = listed.toArray();
    if (found.state == State::Proven && (!listed.isArray() || files.isEmpty()))
        return Entry();
    found.files.reserve(files.size());
    for (const QJsonValue &value : files) {
        const QJsonArray pair = value.toArray();
        const QString path = pair.at(0).toString();
        const double length = pair.at(1).toDouble(-1);
        if (pair.size() != 2 || path.isEmpty() || !pair.at(1).isDouble() || length < 0 || length != qint64(length))
            return found.state == State::Proven ? Entry() : found;
        found.files.append({path, qint64(length)});
    }
    return found;
}

bool ProofLedger::markWriting(const QString &mediaId, const QString &sku) const
{
    Entry writing;
    writing.state = State::Writing;
    writing.sku = sku;
    if (store(mediaId, writing))
        return true;
    // A proof that cannot be marked as being rewritten (the disk full) must
    // not stand while the card changes: taking it away needs no room.
    return forget(mediaId);
}

bool ProofLedger::markProven(const QString &mediaId, const Entry &entry, QString *why) const
{
    Entry proven = entry;
    proven.state = State::Proven;
    // Now, once every byte was read back: whatever changes a file after
    // this is not what was proven.
    proven.provenAtMs = QDateTime::currentMSecsSinceEpoch();
    return store(mediaId, proven, why);
}

bool ProofLedger::forget(const QString &mediaId) const
{
    const QString path = pathFor(mediaId);
    return !mediaId.isEmpty() && (QFile::remove(path) || !QFileInfo::exists(path));
}

bool ProofLedger::store(const QString &mediaId, const Entry &entry, QString *why) const
{
    if (mediaId.isEmpty()) {
        if (why)
            *why = QStringLiteral("the card has no media id");
        return false;
    }
    const QJsonObject object{
        {QStringLiteral("media_id"), mediaId},
        {QStringLiteral("sku"), entry.sku},
        {QStringLiteral("state"), entry.state == State::Proven ? QStringLiteral("proven") : QStringLiteral("writing")},
        {QStringLiteral("vmid_sha1"), QString::fromLatin1(entry.vmidSha1)},
        {QStringLiteral("proven_at"), double(entry.provenAtMs)},
        {QStringLiteral("files"), QJsonArray()},
    };
    // The files go in as text where the empty list stands, in one buffer:
    // as a document, the list of a product of 200,000 files would take
    // several times its size in memory.
    const QByteArray around = QJsonDocument(object).toJson(QJsonDocument::Compact);
    const QByteArray placeholder = "\"files\":[]";
    const qsizetype at = around.indexOf(placeholder);
    qsizetype length = around.size();
    for (const auto &file : entry.files)
        length += file.first.size() + 24;
    QByteArray text;
    text.reserve(length);
    text += around.left(at) + "\"files\":[";
    for (qsizetype i = 0; i < entry.files.size(); ++i) {
        const auto &file = entry.files.at(i);
        if (i > 0)
            text += ',';
        text += '[' + JsonText::quoted(file.first) + ',' + JsonText::number(file.second) + ']';
    }
    text += ']' + around.mid(at + placeholder.size());
    OwnFolder::make(root);
    QString problem;
    if (!AtomicFile::write(pathFor(mediaId), text, &problem)) {
        qCWarning(lcProof) << "proof not recorded:" << problem;
        if (why)
            *why = problem;
        return false;
    }
    return true;
}
