#pragma once

#include <QByteArray>
#include <QtGlobal>

class QIODevice;

namespace Mik {

// The header of one block of a container's block chain. Only the header is
// understood; the payload is carried as opaque bytes.
struct MikBlock
{
    enum Flag : quint8 {
        FlagTrailer = 0x02,     // a 20-byte trailer follows the payload
        FlagNoNext = 0x04,      // the header has no next field
        FlagExtension = 0x20,   // the header carries a 16-byte extension
    };
    static constexpr int baseLength = 8;
    static constexpr int nextLength = 8;
    static constexpr int extensionLength = 16;
    static constexpr int trailerLength = 20;
    static constexpr quint16 requiredType = 0x0502;

    MikBlock() {}

    // Reads a header from the device's position: the fixed 8 bytes, then the
    // parts the flags announce. Returns the number of bytes read; fewer than
    // headerLength() means the chain is damaged.
    qint64 read(QIODevice &device);
    QByteArray toBytes() const;

    int headerLength() const;
    // Header, payload and trailer; computed in 64 bits so a hostile length
    // cannot overflow.
    qint64 totalLength() const;
    bool hasTrailer() const { return flags & FlagTrailer; }
    bool hasNext() const { return !(flags & FlagNoNext); }
    bool hasExtension() const { return flags & FlagExtension; }

    quint16 type;
    quint8 flags;
    quint8 reserved;
    qint32 length;
    quint64 next;
    char extension[extensionLength];
};

} // namespace Mik
