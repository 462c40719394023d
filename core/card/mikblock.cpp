#include "card/mikblock.h"

#include <QIODevice>
#include <QtEndian>

#include <cstring>

namespace Mik {

// A block that has no next field but has an extension gets the first eight
// bytes of its extension taken as next, on reading and on writing alike. The
// chains on the cards never combine the two flags that way, and treating
// both directions the same keeps such a block byte-identical when it is
// copied with its next unchanged.

qint64 MikBlock::read(QIODevice &device)
{
    uchar bytes[baseLength + nextLength + extensionLength];
    const qint64 got = device.read(reinterpret_cast<char *>(bytes), baseLength);
    if (got < baseLength)
        return qMax<qint64>(got, 0);

    type = qFromLittleEndian<quint16>(bytes);
    flags = bytes[2];
    reserved = bytes[3];
    length = qFromLittleEndian<qint32>(bytes + 4);
    next = 0;
    std::memset(extension, 0, sizeof extension);

    const int rest = headerLength() - baseLength;
    if (rest > 0) {
        const qint64 more = device.read(reinterpret_cast<char *>(bytes + baseLength), rest);
        if (more < rest)
            return baseLength + qMax<qint64>(more, 0);
        next = qFromLittleEndian<quint64>(bytes + baseLength);
        if (hasExtension())
            std::memcpy(extension, bytes + (hasNext() ? baseLength + nextLength : baseLength), extensionLength);
    }
    return headerLength();
}

QByteArray MikBlock::toBytes() const
{
    QByteArray out(headerLength(), '\0');
    uchar *bytes = reinterpret_cast<uchar *>(out.data());
    qToLittleEndian<quint16>(type, bytes);
    bytes[2] = flags;
    bytes[3] = reserved;
    qToLittleEndian<qint32>(length, bytes + 4);
    if (hasExtension())
        std::memcpy(bytes + (hasNext() ? baseLength + nextLength : baseLength), extension, extensionLength);
    if (headerLength() > baseLength)
        qToLittleEndian<quint64>(next, bytes + baseLength);
    return out;
}

int MikBlock::headerLength() const
{
    return baseLength + (hasNext() ? nextLength : 0) + (hasExtension() ? extensionLength : 0);
}

qint64 MikBlock::totalLength() const
{
    return qint64(headerLength()) + qint64(length) + (hasTrailer() ? trailerLength : 0);
}

} // namespace Mik
