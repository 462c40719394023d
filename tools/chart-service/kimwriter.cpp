#include "kimwriter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QtEndian>

#include "contentgenerator.h"

namespace {

void putU32(QByteArray &bytes, int offset, quint32 value)
{
    qToLittleEndian<quint32>(value, bytes.data() + offset);
}

void putU64(QByteArray &bytes, int offset, quint64 value)
{
    qToLittleEndian<quint64>(value, bytes.data() + offset);
}

QByteArray nonZeroBytes(const QString &key, int length)
{
    QByteArray bytes = ContentGenerator(key).bytes(0, std::size_t(length));
    for (char &c : bytes) {
        if (c == 0)
            c = char(0x5a);
    }
    return bytes;
}

} // namespace

int KimBlock::headerLength() const
{
    return 8 + ((flags & KimWriter::NoNextFlag) ? 0 : 8) + ((flags & KimWriter::ExtensionFlag) ? 16 : 0);
}

qint64 KimBlock::totalLength() const
{
    return headerLength() + payload.size() + ((flags & KimWriter::TrailerFlag) ? 20 : 0);
}

bool KimWriter::parseSku(const QString &sku, quint32 *number, quint32 *suffix)
{
    const QStringList parts = sku.trimmed().split(QLatin1Char('-'));
    if (parts.size() != 2)
        return false;
    bool okNumber = false;
    bool okSuffix = false;
    const uint n = parts.at(0).toUInt(&okNumber);
    const uint s = parts.at(1).toUInt(&okSuffix);
    if (!okNumber || !okSuffix || chartName(n, s) != sku)
        return false;
    *number = n;
    *suffix = s;
    return true;
}

QString KimWriter::chartName(quint32 number, quint32 suffix)
{
    return QStringLiteral("%1-%2").arg(number, 6, 10, QLatin1Char(' ')).arg(suffix);
}

QString KimWriter::segmentExtension(int index)
{
    if (index == 0)
        return QStringLiteral("kim");
    return QStringLiteral("k%1").arg(index, 2, 16, QLatin1Char('0'));
}

QString KimWriter::segmentBaseName(const QString &sku)
{
    quint32 number = 0;
    quint32 suffix = 0;
    if (!parseSku(sku, &number, &suffix))
        return QStringLiteral("CHART");
    return QStringLiteral("R%1_%2").arg(number, 6, 10, QLatin1Char('0')).arg(suffix);
}

QByteArray KimWriter::header(const KimHeaderFields &fields)
{
    QByteArray h = nonZeroBytes(QStringLiteral("header|%1|%2").arg(fields.sku, QString::number(fields.buildNumber)), HeaderSize);
    quint32 number = 0;
    quint32 suffix = 0;
    parseSku(fields.sku, &number, &suffix);

    memcpy(h.data(), "romnirB\0", 8);
    putU64(h, 8, HeaderSize);
    putU64(h, 24, fields.segmentSize);
    putU64(h, 72, fields.flags);
    putU32(h, 156, fields.buildNumber);
    putU32(h, 160, suffix);
    putU32(h, 164, number);
    putU64(h, 168, HeaderSize);
    putU32(h, 244, fields.chartVersion);
    putU64(h, 280, fields.kimFileSize);
    const QByteArray digest = fields.payloadSha1.size() == 20 ? fields.payloadSha1 : QByteArray(20, '\0');
    memcpy(h.data() + 288, digest.constData(), 20);
    putU32(h, 344, fields.buildCode);
    return h;
}

QList<KimBlock> KimWriter::sampleChain(const QString &sku, const QString &mediaId)
{
    struct Shape { quint16 type; quint8 flags; int length; bool hop; };
    static const Shape shapes[] = {
        {0x0000, 0x00, 48, false},
        {0x0201, TrailerFlag, 300, false},
        {0x0001, ExtensionFlag, 40, false},
        {RequiredBlockType, TrailerFlag | ExtensionFlag, 512, false},
        {0x0310, ExtensionFlag, 1000, false},
        {0x0001, 0x00, 16, true},
        {0x0404, NoNextFlag | TrailerFlag, 700, false},
    };
    QList<KimBlock> chain;
    int index = 0;
    for (const Shape &shape : shapes) {
        const QString key = QStringLiteral("block|%1|%2|%3").arg(sku, mediaId, QString::number(index));
        KimBlock block;
        block.type = shape.type;
        block.flags = shape.flags;
        block.opaque = quint8(0x10 + index);
        block.payload = ContentGenerator(key).bytes(0, std::size_t(shape.length));
        if (block.flags & TrailerFlag)
            block.trailer = ContentGenerator(key + QStringLiteral("|t")).bytes(0, 20);
        if (block.flags & ExtensionFlag)
            block.extension = nonZeroBytes(key + QStringLiteral("|e"), 16);
        block.startsNextSegment = shape.hop;
        chain.append(block);
        ++index;
    }
    return chain;
}

QByteArray KimWriter::encodeBlock(const KimBlock &block, quint64 next)
{
    QByteArray bytes(block.headerLength(), '\0');
    qToLittleEndian<quint16>(block.type, bytes.data());
    bytes[2] = char(block.flags);
    bytes[3] = char(block.opaque);
    qToLittleEndian<qint32>(qint32(block.payload.size()), bytes.data() + 4);
    int at = 8;
    if (!(block.flags & NoNextFlag)) {
        putU64(bytes, 8, next);
        at = 16;
    }
    if (block.flags & ExtensionFlag)
        memcpy(bytes.data() + at, block.extension.leftJustified(16, '\0', true).constData(), 16);
    bytes += block.payload;
    if (block.flags & TrailerFlag)
        bytes += block.trailer.leftJustified(20, '\0', true);
    return bytes;
}

QByteArray KimWriter::drmBytes(const QList<KimBlock> &chain)
{
    QByteArray out;
    for (int i = 0; i < chain.size(); ++i) {
        const KimBlock &block = chain.at(i);
        if (block.type < 2)
            continue;
        const bool last = i == chain.size() - 1;
        const quint64 next = last ? 0 : quint64(HeaderSize + out.size() + block.totalLength());
        out += encodeBlock(block, next);
    }
    return out;
}

bool KimWriter::writeContainer(const QString &dir, const QString &baseName, KimHeaderFields fields,
                               const QList<KimBlock> &chain, const QList<qint64> &segmentSizes,
                               QString *error)
{
    if (fields.segmentSize < quint64(SegmentBlockOffset) * 2) {
        *error = QStringLiteral("segment size too small");
        return false;
    }
    // Lay the chain out in the logical space first: the "next" of every
    // block is only known once its successor has a position.
    QList<quint64> positions;
    quint64 position = HeaderSize;
    for (const KimBlock &block : chain) {
        if (block.startsNextSegment)
            position = (position / fields.segmentSize + 1) * fields.segmentSize + SegmentBlockOffset;
        positions.append(position);
        position += quint64(block.totalLength());
    }

    QList<QByteArray> segments;
    segments.append(QByteArray());
    for (int i = 0; i < segmentSizes.size(); ++i) {
        const QString key = QStringLiteral("segment|%1|%2|%3").arg(fields.sku, QString::number(fields.buildNumber), QString::number(i + 1));
        segments.append(ContentGenerator(key).bytes(0, std::size_t(segmentSizes.at(i))));
    }
    for (int i = 0; i < chain.size(); ++i) {
        const quint64 next = i + 1 < chain.size() ? positions.at(i + 1) : 0;
        const QByteArray encoded = encodeBlock(chain.at(i), next);
        const int segment = int(positions.at(i) / fields.segmentSize);
        const qint64 offset = qint64(positions.at(i) % fields.segmentSize) - (segment == 0 ? HeaderSize : 0);
        if (segment >= segments.size()) {
            *error = QStringLiteral("chain needs segment %1, only %2 given").arg(segment).arg(segments.size() - 1);
            return false;
        }
        QByteArray &target = segments[segment];
        if (segment > 0 && target.size() < offset + encoded.size()) {
            *error = QStringLiteral("segment file %1 is too small for the chain").arg(segment);
            return false;
        }
        if (target.size() < offset + encoded.size())
            target.resize(offset + encoded.size(), '\0');
        target.replace(offset, encoded.size(), encoded);
    }

    const QByteArray payload = segments.at(0);
    fields.kimFileSize = quint64(HeaderSize + payload.size());
    fields.payloadSha1 = QCryptographicHash::hash(payload, QCryptographicHash::Sha1);

    if (!QDir().mkpath(dir)) {
        *error = QStringLiteral("cannot create %1").arg(dir);
        return false;
    }
    for (int i = 0; i < segments.size(); ++i) {
        QSaveFile file(dir + QLatin1Char('/') + baseName + QLatin1Char('.') + segmentExtension(i));
        if (!file.open(QIODevice::WriteOnly)) {
            *error = file.errorString();
            return false;
        }
        if (i == 0)
            file.write(header(fields));
        file.write(segments.at(i));
        if (!file.commit()) {
            *error = file.errorString();
            return false;
        }
    }
    return true;
}
