#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

// One block of a chart container's chain, as this service lays it out.
struct KimBlock
{
    quint16 type = 0;
    quint8 flags = 0;
    quint8 opaque = 0;
    QByteArray payload;
    QByteArray trailer;   // 20 bytes when flags has TrailerFlag
    QByteArray extension; // 16 bytes when flags has ExtensionFlag
    bool startsNextSegment = false; // placed at the next segment file instead of right after its predecessor

    int headerLength() const;
    qint64 totalLength() const;
};

struct KimHeaderFields
{
    QString sku;
    quint32 buildNumber = 0;
    quint32 buildCode = 0;
    // The last component of the chart id: a chart's own, whatever its
    // build. Every chart of this service, and every card it makes, is at
    // this version; a header of a lower one is one the tool must refuse.
    quint32 chartVersion = 1000;
    quint64 segmentSize = 0;
    quint64 flags = 0;
    quint64 kimFileSize = 0;
    QByteArray payloadSha1; // 20 bytes, or empty for zeros
};

// A small, independent writer of chart containers: the service hands out
// headers in this layout, and the card maker writes whole containers with it,
// so the tool's reader is checked against code that shares nothing with it.
class KimWriter
{
public:
    static constexpr int HeaderSize = 352;
    static constexpr quint64 FlagFinalized = 0x80;
    static constexpr quint64 FlagDigest = 0x100;
    static constexpr quint64 FlagUpdating = 0x400;
    static constexpr quint64 FlagQvBuild = 0x800;
    static constexpr quint8 TrailerFlag = 0x02;
    static constexpr quint8 NoNextFlag = 0x04;
    static constexpr quint8 ExtensionFlag = 0x20;
    static constexpr quint16 RequiredBlockType = 0x0502;
    static constexpr int SegmentBlockOffset = 4096;

    static bool parseSku(const QString &sku, quint32 *number, quint32 *suffix);
    static QString chartName(quint32 number, quint32 suffix);
    static QString segmentExtension(int index);
    static QString segmentBaseName(const QString &sku);

    // 352 bytes; ranges the tool does not interpret are filled with bytes
    // that are never zero and differ per chart and build, so a reader that
    // fails to carry them unchanged is caught.
    static QByteArray header(const KimHeaderFields &fields);

    // A chain with structural blocks, chart-data blocks, trailers,
    // extensions, the required 0x0502 block and a last block that lives in
    // the first segment file. Its contents depend on the chart and the card.
    static QList<KimBlock> sampleChain(const QString &sku, const QString &mediaId);

    static QByteArray encodeBlock(const KimBlock &block, quint64 next);

    // The chart-data blocks of a chain, re-linked to start right after a
    // 352-byte header: what the service keeps as a card's "drm".
    static QByteArray drmBytes(const QList<KimBlock> &chain);

    // Writes <dir>/<base>.kim and its segment files <base>.k01 ... with the
    // given sizes; segment files hold filler unique to the chart and build,
    // with the blocks that live there written at their offsets.
    static bool writeContainer(const QString &dir, const QString &baseName, KimHeaderFields fields,
                               const QList<KimBlock> &chain, const QList<qint64> &segmentSizes,
                               QString *error);
};
