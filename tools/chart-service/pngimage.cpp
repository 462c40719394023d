#include "pngimage.h"

#include <QtEndian>

namespace {

quint32 crc32(const QByteArray &bytes)
{
    struct Table { quint32 v[256]; };
    static const Table table = [] {
        Table t;
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t.v[n] = c;
        }
        return t;
    }();
    quint32 c = 0xffffffffu;
    for (char b : bytes)
        c = table.v[(c ^ quint8(b)) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

QByteArray chunk(const char *type, const QByteArray &data)
{
    QByteArray out(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), out.data());
    const QByteArray typed = QByteArray(type, 4) + data;
    out += typed;
    QByteArray crc(4, '\0');
    qToBigEndian<quint32>(crc32(typed), crc.data());
    return out + crc;
}

} // namespace

QByteArray PngImage::striped(int width, int height, quint32 rgb, quint32 seed)
{
    QByteArray raw;
    raw.reserve((width * 3 + 1) * height);
    const int stripe = 8 + int(seed % 24);
    for (int y = 0; y < height; ++y) {
        raw.append('\0'); // filter: none
        for (int x = 0; x < width; ++x) {
            const bool dark = ((x + y) / stripe) % 2 == 1;
            const int shade = dark ? 40 : 0;
            raw.append(char(qMax(0, int((rgb >> 16) & 0xff) - shade)));
            raw.append(char(qMax(0, int((rgb >> 8) & 0xff) - shade)));
            raw.append(char(qMax(0, int(rgb & 0xff) - shade)));
        }
    }
    QByteArray ihdr(13, '\0');
    qToBigEndian<quint32>(quint32(width), ihdr.data());
    qToBigEndian<quint32>(quint32(height), ihdr.data() + 4);
    ihdr[8] = 8; // bit depth
    ihdr[9] = 2; // colour type: RGB
    // qCompress prefixes the zlib stream with its own 4-byte length.
    const QByteArray idat = qCompress(raw, 6).mid(4);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", idat) + chunk("IEND", QByteArray());
}
