#pragma once

// Containers laid out by hand, byte by byte, so that the tests do not trust
// the reader to describe its own input.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtGlobal>

namespace ContainerBytes {

inline QByteArray le(quint64 value, int width)
{
    QByteArray out;
    for (int i = 0; i < width; ++i)
        out.append(char((value >> (8 * i)) & 0xff));
    return out;
}

inline void put(QByteArray &image, int offset, quint64 value, int width)
{
    image.replace(offset, width, le(value, width));
}

struct Header
{
    quint64 headerSize = 352;
    quint64 segmentSize = 1 << 20;
    quint64 flags = 0x800;
    quint32 buildNumber = 12345;
    quint32 skuSuffix = 5;
    quint32 skuNumber = 1234;
    quint64 firstBlock = 352;
    quint32 chartVersion = 3;
    quint64 kimFileSize = 0;
    quint32 buildCode = 27123;
    QByteArray magic = QByteArray("romnirB\0", 8);

    // Every byte the tool does not interpret gets a recognisable value, so a
    // write that zeroes or shifts them shows.
    QByteArray bytes() const
    {
        QByteArray image(352, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char((i * 7 + 3) & 0xff);
        image.replace(0, 8, magic.left(8).leftJustified(8, '\0'));
        put(image, 8, headerSize, 8);
        put(image, 24, segmentSize, 8);
        put(image, 72, flags, 8);
        put(image, 156, buildNumber, 4);
        put(image, 160, skuSuffix, 4);
        put(image, 164, skuNumber, 4);
        put(image, 168, firstBlock, 8);
        put(image, 244, chartVersion, 4);
        put(image, 280, kimFileSize, 8);
        put(image, 344, buildCode, 4);
        return image;
    }
};

// One block: type, flags, length, then next unless flag 0x04, then the
// 16-byte extension when flag 0x20, the payload, and the 20-byte trailer
// when flag 0x02.
inline QByteArray block(quint16 type, quint8 flags, const QByteArray &payload, quint64 next,
                        char fill = 'e')
{
    QByteArray out = le(type, 2);
    out.append(char(flags));
    out.append(char(0x5a));
    out.append(le(quint32(payload.size()), 4));
    if (!(flags & 0x04))
        out.append(le(next, 8));
    if (flags & 0x20)
        out.append(QByteArray(16, fill));
    out.append(payload);
    if (flags & 0x02)
        out.append(QByteArray(20, char(fill + 1)));
    return out;
}

inline bool write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

inline QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace ContainerBytes
