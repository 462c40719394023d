#pragma once

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QIODevice>
#include <QString>

#include <array>

namespace Mik {

// A chart container (".kim") on an RQ card: its fixed header, kept as a
// byte-exact image so that every range this tool does not understand goes
// back to the card unchanged, and the numbered segment files beside it.
class MikFile
{
public:
    static constexpr int headerImageSize = 352;
    // "romnirB\0" read as a little-endian 64-bit number.
    static constexpr quint64 magicValue = 0x004272696e6d6f72ULL;

    enum Flag : quint64 {
        FlagFinalized = 0x80,
        FlagDigest = 0x100,
        FlagUpdating = 0x400,
        FlagQvBuild = 0x800,
    };

    // Header field offsets in the image.
    enum Offset {
        OffsetMagic = 0,
        OffsetHeaderSize = 8,
        OffsetSegmentSize = 24,
        OffsetFlags = 72,
        OffsetBuildNumber = 156,
        OffsetSkuSuffix = 160,
        OffsetSkuNumber = 164,
        OffsetFirstBlock = 168,
        OffsetChartVersion = 244,
        OffsetKimFileSize = 280,
        OffsetPayloadSha1 = 288,
        OffsetBuildCode = 344,
    };

    // An empty container (all header bytes zero, no file), for holders that
    // get their container later.
    MikFile();
    // Throws a QString when the file is missing or cannot be opened.
    explicit MikFile(const QString &path);

    void init(QIODevice &device);
    void loadSegments();
    static QString segmentExtension(int index);
    QString getChartID(QString separator) const;
    QByteArray getDrmBytes();
    // The same; whole is set when the walk reached the chain's end rather
    // than a next it could not follow (a segment file missing, or shorter).
    QByteArray getDrmBytes(bool *whole);
    bool seek(QFile &file, qint64 position, QIODeviceBase::OpenModeFlag mode);
    // Write the changed header into the file (whole, through a temporary
    // renamed over it) and only then take the change in memory; false,
    // with nothing changed, when the file could not be read or written.
    // Whether the folder is a chosen card is the caller's business.
    bool setUpdating(bool updating);
    bool finalize();
    QString chartName() const;

    // The whole header image; setHeaderImage takes at most 352 bytes and
    // zero-fills the rest.
    QByteArray headerImage() const;
    void setHeaderImage(const QByteArray &image);

    quint64 magic() const { return read64(OffsetMagic); }
    quint64 headerSize() const { return read64(OffsetHeaderSize); }
    quint64 segmentSize() const { return read64(OffsetSegmentSize); }
    quint64 flags() const { return read64(OffsetFlags); }
    quint32 buildNumber() const { return read32(OffsetBuildNumber); }
    quint32 skuSuffix() const { return read32(OffsetSkuSuffix); }
    quint32 skuNumber() const { return read32(OffsetSkuNumber); }
    quint64 firstBlock() const { return read64(OffsetFirstBlock); }
    quint32 chartVersion() const { return read32(OffsetChartVersion); }
    quint64 kimFileSize() const { return read64(OffsetKimFileSize); }
    QByteArray payloadSha1() const;
    quint32 buildCode() const { return read32(OffsetBuildCode); }

    void setFlags(quint64 value) { write64(OffsetFlags, value); }
    void setKimFileSize(quint64 value) { write64(OffsetKimFileSize, value); }
    void setBuildCode(quint32 value) { write32(OffsetBuildCode, value); }
    void setPayloadSha1(const QByteArray &digest);

    QHash<QString, QFileInfo> segments;
    QString basePath;
    QFileInfo fileInfo;

private:
    quint64 read64(int offset) const;
    quint32 read32(int offset) const;
    void write64(int offset, quint64 value);
    void write32(int offset, quint32 value);
    bool readWhole(QByteArray *content) const;
    bool replaceHeader(QByteArray content) const;
    qint64 totalSegmentBytes() const;

    std::array<unsigned char, headerImageSize> header{};
};

} // namespace Mik
