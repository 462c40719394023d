#include "service/filelist.h"

#include <QJsonValue>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <vector>

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
// RQ chart's container on the next write. A record below one ("vmid/x")
// wants a folder where that file is, and is refused as early, before a
// product it would replace is removed. Why a record is refused; empty
// when it is not.
QString ownedByTool(const QString &file)
{
    if (file.endsWith(QLatin1String(".qdtmp"), Qt::CaseInsensitive)
        || file.endsWith(QLatin1String(".qdpart"), Qt::CaseInsensitive))
        return QStringLiteral("the tool keeps that file for the card itself");
    const qsizetype slash = file.indexOf(QLatin1Char('/'));
    const QString lower = file.left(slash).toLower();
    const bool owned = lower == QLatin1String("encrypt.txt") || lower == QLatin1String("vmid")
                       || lower.endsWith(QLatin1String(".kim")) || segmentName().match(lower).hasMatch();
    if (!owned)
        return QString();
    return slash < 0 ? QStringLiteral("the tool keeps that file for the card itself")
                     : QStringLiteral("its path goes through a file the tool keeps for the card itself");
}

const QByteArray emptySha1 = QByteArrayLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709");

// Checked for every record of a list of hundreds of thousands: no pattern.
bool isHexDigest(const QByteArray &text)
{
    if (text.size() != 40)
        return false;
    for (const char c : text) {
        const auto u = uchar(c);
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return false;
    }
    return true;
}

} // namespace

bool FileList::parse(const QByteArray &body, Kind kind, QString *error)
{
    using Type = FileListReader::Type;
    records.clear();
    totalBytes = 0;
    baseName.clear();
    subscriptionId = 0;
    expiration = 0;

    // Every record is checked as it is read, in list order; the first that
    // cannot be used is remembered, and the rest of the text is still read
    // to its end, since a text that is not JSON at all is refused as such.
    // Repeated names are looked for once the list is in (firstRepeat):
    // a table of names built record by record would leave a hole beside
    // every record once freed.
    qint64 total = 0;
    int count = 0;
    int refusedAt = -1;
    QString refusedName;
    QString refusedReason;
    const auto restart = [&] {
        records.clear();
        total = 0;
        count = 0;
        baseName.clear();
        refusedAt = -1;
    };
    const auto take = [&](int index, const FileListReader::Record &fields) {
        count = index + 1;
        if (refusedAt >= 0)
            return;
        FileRecord record;
        QString reason;
        QString name;
        if (!readRecord(fields, index, kind, &record, &reason, &name)) {
            refusedAt = index;
            refusedName = name;
            refusedReason = reason;
            return;
        }
        // Kept even when refused below: a name listed twice is refused
        // first, and is looked for among the records kept.
        records.append(record);
        // Checked while summing: 2^53 per file leaves room for 1,024 of
        // them in 64 bits, and a longer list must not wrap around.
        bool ok = true;
        if (__builtin_add_overflow(total, record.size, &total)) {
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
            refusedAt = index;
            refusedName = name;
            refusedReason = reason;
        }
    };

    records.reserve(qMax<qsizetype>(0, FileListReader::countRecords(body)));
    FileListReader reader;
    const bool read = reader.read(body, take, restart);
    const auto absentOr = [](const FileListReader::Field &field, Type type) {
        return field.type == Type::Missing || field.type == Type::Null || field.type == type;
    };
    if (!read || reader.filesType != Type::List || reader.endPoint.type != Type::Text
        || reader.endPoint.text.isEmpty() || !absentOr(reader.cdnEndPoint, Type::Text)
        || !absentOr(reader.subscriptionId, Type::Number) || !absentOr(reader.expiration, Type::Number)) {
        records.clear();
        totalBytes = 0;
        baseName.clear();
        *error = ServiceReply::unreadableText();
        return false;
    }
    endPoint = reader.endPoint.text;
    cdnEndPoint = reader.cdnEndPoint.text;
    // Files come over the web and from nowhere else: the network layer
    // would open a file: end point on this computer (a device, a pipe,
    // another user's file) under a chart file's name.
    for (const QString &base : {endPoint, cdnEndPoint}) {
        const QUrl url(base, QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        const bool web = scheme == QLatin1String("http") || scheme == QLatin1String("https");
        if (base.isEmpty() || (url.isValid() && web && !url.host().isEmpty()))
            continue;
        records.clear();
        baseName.clear();
        *error = QStringLiteral("The chart service sent a file list the tool cannot use (its files are to come from "
                                "\"%1\", which is not a web address). Nothing on the card was changed.")
                     .arg(base.left(200));
        return false;
    }
    // As QJsonValue::toInt() reads them: a whole number within int, else 0.
    const auto toInt = [](const FileListReader::Field &field) {
        return field.type == Type::Number ? QJsonValue(field.number).toInt() : 0;
    };
    subscriptionId = toInt(reader.subscriptionId);
    expiration = toInt(reader.expiration);

    if (count == 0) {
        records.clear();
        *error = refused(QString(), QStringLiteral("the list has no files"));
        return false;
    }
    const int repeat = firstRepeat(records);
    if (repeat >= 0 && (refusedAt < 0 || repeat <= refusedAt)) {
        refusedAt = repeat;
        refusedName = records.at(repeat).file;
        refusedReason = QStringLiteral("it is listed twice");
    }
    if (refusedAt >= 0) {
        records.clear();
        baseName.clear();
        *error = refused(refusedName, refusedReason);
        return false;
    }
    totalBytes = total;
    return true;
}

int FileList::firstRepeat(const QList<FileRecord> &records)
{
    // Sorted by a digest of the name and then by place: each name's
    // repetitions follow its first listing.
    std::vector<std::pair<size_t, int>> order;
    order.reserve(size_t(records.size()));
    for (int i = 0; i < records.size(); ++i)
        order.emplace_back(qHash(records.at(i).file, 0), i);
    std::sort(order.begin(), order.end());
    int first = -1;
    for (size_t run = 0; run < order.size();) {
        size_t next = run + 1;
        while (next < order.size() && order.at(next).first == order.at(run).first)
            ++next;
        for (size_t later = run + 1; later < next; ++later) {
            for (size_t earlier = run; earlier < later; ++earlier) {
                const int at = order.at(later).second;
                if (records.at(order.at(earlier).second).file == records.at(at).file) {
                    if (first < 0 || at < first)
                        first = at;
                    break;
                }
            }
        }
        run = next;
    }
    return first;
}

bool FileList::readRecord(const FileListReader::Record &fields, int index, Kind kind, FileRecord *record,
                          QString *reason, QString *name)
{
    using Type = FileListReader::Type;
    if (!fields.object || fields.file.type != Type::Text) {
        *name = QStringLiteral("record %1").arg(index + 1);
        *reason = fields.object ? QStringLiteral("it names no file") : QStringLiteral("it is not an object");
        return false;
    }
    record->file = fields.file.text;
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
    } else if (const QString owned = ownedByTool(record->file); !owned.isEmpty()) {
        *reason = owned;
        return false;
    }

    // A double outside the 64-bit range has no integer value at all: the
    // cast would be undefined, so the range is checked on the double.
    const double bytes = fields.size.number;
    if (fields.size.type != Type::Number || !std::isfinite(bytes) || bytes != std::floor(bytes) || bytes < 0
        || bytes > double(maxFileSize)) {
        *reason = QStringLiteral("the size is not a whole number of bytes from 0 to 2^53");
        return false;
    }
    record->size = qint64(bytes);

    // In Latin-1, a digest is hexadecimal exactly when its text is.
    const FileListReader::Field &sha1 = fields.sha1;
    const bool absent = sha1.type == Type::Missing || sha1.type == Type::Null;
    const bool hasSha1 = sha1.type == Type::Text && !sha1.latin1.isEmpty();
    if ((!absent && sha1.type != Type::Text) || (hasSha1 && !isHexDigest(sha1.latin1))
        || (record->size > 0 && !hasSha1)) {
        *reason = QStringLiteral("the SHA-1 is not 40 hexadecimal digits");
        return false;
    }
    record->sha1 = sha1.latin1;
    // A file without bytes has one digest; another one means the list and
    // the file disagree, and a list that contradicts itself is not trusted.
    if (record->size == 0 && hasSha1 && record->sha1.toLower() != emptySha1) {
        *reason = QStringLiteral("the SHA-1 is not that of a file without bytes");
        return false;
    }

    const FileListReader::Field &data = fields.data;
    if (data.type != Type::Missing && data.type != Type::Null) {
        const auto decoded = data.type == Type::Text
                                 ? QByteArray::fromBase64Encoding(data.text.toLatin1(),
                                                                  QByteArray::AbortOnBase64DecodingErrors)
                                 : QByteArray::FromBase64Result{};
        if (data.type != Type::Text || !decoded) {
            *reason = QStringLiteral("the inline data is not valid Base64");
            return false;
        }
        record->data = *decoded;
    }

    if (fields.etag.type != Type::Missing && fields.etag.type != Type::Text) {
        *reason = QStringLiteral("the ETag is not a text");
        return false;
    }
    record->etag = fields.etag.text;
    return true;
}
