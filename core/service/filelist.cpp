#include "service/filelist.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

#include <cmath>

#include "service/servicereply.h"
#include "card/cardwriter.h"

namespace {

QString refused(const QString &file, const QString &reason)
{
    return QStringLiteral("The chart service sent a file list the tool cannot use (\"%1\": %2). "
                          "Nothing on the card was changed.")
        .arg(file, reason);
}

const QRegularExpression &segmentName()
{
    static const QRegularExpression pattern(QStringLiteral("^(.+)\\.k([0-9a-f]{2,})$"));
    return pattern;
}

// Names at the card root that the tool keeps for the card itself: a record
// naming one would overwrite the card's identity, its product list or an
// RQ chart's container on the next write.
bool ownedByTool(const QString &file)
{
    const QString lower = file.toLower();
    if (lower.endsWith(QLatin1String(".qdtmp")) || lower.endsWith(QLatin1String(".qdpart")))
        return true;
    if (file.contains(QLatin1Char('/')))
        return false;
    if (lower == QLatin1String("encrypt.txt") || lower == QLatin1String("vmid"))
        return true;
    return lower.endsWith(QLatin1String(".kim")) || segmentName().match(lower).hasMatch();
}

const QByteArray emptySha1 = QByteArrayLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709");

bool isHexDigest(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-fA-F]{40}$"));
    return pattern.match(text).hasMatch();
}

} // namespace

bool FileList::parse(const QByteArray &body, Kind kind, QString *error)
{
    records.clear();
    totalBytes = 0;
    baseName.clear();
    const auto unreadable = [&] {
        records.clear();
        totalBytes = 0;
        *error = ServiceReply::unreadableText();
        return false;
    };

    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return unreadable();
    reply = document.object();
    const QJsonValue files = reply.value(QStringLiteral("files"));
    const QJsonValue origin = reply.value(QStringLiteral("end_point"));
    const QJsonValue cdn = reply.value(QStringLiteral("cdn_end_point"));
    if (!files.isArray() || !origin.isString() || origin.toString().isEmpty()
        || !(cdn.isString() || cdn.isNull() || cdn.isUndefined()))
        return unreadable();
    for (const char *key : {"subscription_id", "expiration"}) {
        const QJsonValue value = reply.value(QLatin1String(key));
        if (!value.isUndefined() && !value.isNull() && !value.isDouble())
            return unreadable();
    }
    endPoint = origin.toString();
    cdnEndPoint = cdn.toString();

    const QJsonArray array = files.toArray();
    if (array.isEmpty()) {
        *error = refused(QString(), QStringLiteral("the list has no files"));
        return false;
    }
    QSet<QString> seen;
    qint64 total = 0;
    for (int i = 0; i < array.size(); ++i) {
        FileRecord record;
        QString reason;
        QString name;
        bool ok = readRecord(array.at(i), i, kind, &record, &reason, &name);
        if (ok && seen.contains(record.file)) {
            ok = false;
            reason = QStringLiteral("it is listed twice");
        }
        // Checked while summing: 2^53 per file leaves room for 1,024 of
        // them in 64 bits, and a longer list must not wrap around.
        if (ok && __builtin_add_overflow(total, record.size, &total)) {
            ok = false;
            reason = QStringLiteral("the sizes add up to more than the tool can count");
        }
        if (ok && kind == Kind::Segments) {
            const QString base = segmentName().match(record.file).captured(1);
            if (baseName.isEmpty())
                baseName = base;
            else if (base != baseName) {
                ok = false;
                reason = QStringLiteral("the segments belong to more than one chart");
            }
        }
        if (!ok) {
            records.clear();
            totalBytes = 0;
            *error = refused(name, reason);
            return false;
        }
        seen.insert(record.file);
        records.append(record);
    }
    totalBytes = total;
    return true;
}

bool FileList::readRecord(const QJsonValue &value, int index, Kind kind, FileRecord *record, QString *reason,
                          QString *name)
{
    *name = QStringLiteral("record %1").arg(index + 1);
    if (!value.isObject()) {
        *reason = QStringLiteral("it is not an object");
        return false;
    }
    const QJsonObject object = value.toObject();
    const QJsonValue file = object.value(QStringLiteral("file"));
    if (!file.isString()) {
        *reason = QStringLiteral("it names no file");
        return false;
    }
    record->file = file.toString();
    *name = record->file;
    if (!CardWriter::isSafeRelativePath(record->file) || record->file.startsWith(QLatin1Char('/'))) {
        *reason = QStringLiteral("the path leaves the card or cannot be used on it");
        return false;
    }
    if (kind == Kind::Segments) {
        const QRegularExpressionMatch match = segmentName().match(record->file);
        if (record->file.contains(QLatin1Char('/')) || !match.hasMatch()
            || match.captured(2).toULongLong(nullptr, 16) == 0) {
            *reason = QStringLiteral("it is not a segment file of the chart");
            return false;
        }
    } else if (ownedByTool(record->file)) {
        *reason = QStringLiteral("the tool keeps that file for the card itself");
        return false;
    }

    // A double outside the 64-bit range has no integer value at all: the
    // cast would be undefined, so the range is checked on the double.
    const QJsonValue size = object.value(QStringLiteral("size"));
    const double bytes = size.toDouble(-1);
    if (!size.isDouble() || !std::isfinite(bytes) || bytes != std::floor(bytes) || bytes < 0
        || bytes > double(maxFileSize)) {
        *reason = QStringLiteral("the size is not a whole number of bytes from 0 to 2^53");
        return false;
    }
    record->size = qint64(bytes);

    const QJsonValue sha1 = object.value(QStringLiteral("sha1"));
    const bool hasSha1 = sha1.isString() && !sha1.toString().isEmpty();
    if ((!sha1.isUndefined() && !sha1.isNull() && !sha1.isString()) || (hasSha1 && !isHexDigest(sha1.toString()))
        || (record->size > 0 && !hasSha1)) {
        *reason = QStringLiteral("the SHA-1 is not 40 hexadecimal digits");
        return false;
    }
    record->sha1 = sha1.toString().toLatin1();
    // A file without bytes has one digest; another one means the list and
    // the file disagree, and a list that contradicts itself is not trusted.
    if (record->size == 0 && hasSha1 && record->sha1.toLower() != emptySha1) {
        *reason = QStringLiteral("the SHA-1 is not that of a file without bytes");
        return false;
    }

    const QJsonValue data = object.value(QStringLiteral("data"));
    if (!data.isUndefined() && !data.isNull()) {
        const auto decoded = data.isString() ? QByteArray::fromBase64Encoding(data.toString().toLatin1(),
                                                                               QByteArray::AbortOnBase64DecodingErrors)
                                             : QByteArray::FromBase64Result{};
        if (!data.isString() || !decoded) {
            *reason = QStringLiteral("the inline data is not valid Base64");
            return false;
        }
        record->data = *decoded;
    }

    const QJsonValue etag = object.value(QStringLiteral("etag"));
    if (!etag.isUndefined() && !etag.isString()) {
        *reason = QStringLiteral("the ETag is not a text");
        return false;
    }
    record->etag = etag.toString();
    record->json = object;
    return true;
}
