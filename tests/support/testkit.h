#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QMetaType>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <csignal>
#include <sys/prctl.h>

#include "downloadfixture.h"
#include "mediatext.h"

// Media files and containers laid out byte by byte, not by the code under test.
namespace Kit {

// A card root holding only its media file, written aside and renamed in as
// a control head finishing a card leaves it: the folder changes with it.
inline bool writeCard(const QString &root, const QByteArray &mediaId,
                      const QString &name = QStringLiteral("ENCRYPT.TXT"))
{
    QDir().mkpath(root);
    QFile file(root + QStringLiteral("/.writing"));
    if (!file.open(QIODevice::WriteOnly) || file.write(mediaText(mediaId)) < 0)
        return false;
    file.close();
    QFile::remove(root + QLatin1Char('/') + name);
    return QFile::rename(file.fileName(), root + QLatin1Char('/') + name);
}

inline QByteArray le(quint64 value, int width)
{
    QByteArray out;
    for (int i = 0; i < width; ++i)
        out.append(char((value >> (8 * i)) & 0xff));
    return out;
}

// A container header. Every byte the tool does not interpret gets a
// recognisable value, so a write that zeroes or shifts them shows.
struct Header
{
    QByteArray magic = QByteArray("romnirB\0", 8);
    quint64 headerSize = 352;
    quint64 segmentSize = 1 << 20;
    quint64 flags = 0x800;
    quint32 buildNumber = 12345;
    quint32 skuSuffix = 5;
    quint32 skuNumber = 1234;
    quint64 firstBlock = 352;
    quint32 chartVersion = 3;
    quint64 kimFileSize = 0;
    QByteArray payloadSha1;
    quint32 buildCode = 27123;

    QByteArray bytes() const
    {
        QByteArray image(352, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char((i * 7 + 3) & 0xff);
        const auto put = [&image](int offset, quint64 value, int width) { image.replace(offset, width, le(value, width)); };
        image.replace(0, 8, magic.left(8).leftJustified(8, '\0'));
        put(8, headerSize, 8);
        put(24, segmentSize, 8);
        put(72, flags, 8);
        put(156, buildNumber, 4);
        put(160, skuSuffix, 4);
        put(164, skuNumber, 4);
        put(168, firstBlock, 8);
        put(244, chartVersion, 4);
        put(280, kimFileSize, 8);
        if (!payloadSha1.isEmpty())
            image.replace(288, 20, payloadSha1.leftJustified(20, '\0', true));
        put(344, buildCode, 4);
        return image;
    }
};

// One block of the chain; flags 0x04 (no next position), 0x20 (extension)
// and 0x02 (trailer) decide its parts.
inline QByteArray block(quint16 type, quint8 flags, const QByteArray &payload, quint64 next, char fill = 'e')
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

// A container and its segments ("k01" onwards); returns the container's path.
inline QString writeContainer(const QString &folder, const QByteArray &kim, const QList<QByteArray> &segments = {},
                              const QString &base = QStringLiteral("  1234-5"))
{
    const QString path = folder + QLatin1Char('/') + base + QStringLiteral(".kim");
    writeFile(path, kim);
    for (int i = 0; i < segments.size(); ++i)
        writeFile(folder + QLatin1Char('/') + base + QStringLiteral(".k%1").arg(i + 1, 2, 16, QLatin1Char('0')),
                  segments.at(i));
    return path;
}

// A child of a test dies with it: a test stopped half-way once left its
// traced download child spinning for minutes.
inline void dieWithParent(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

// For a child run under strace: the leak checker cannot run under a tracer.
inline QProcessEnvironment tracedEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       environment.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));
    return environment;
}

} // namespace Kit

Q_DECLARE_METATYPE(Kit::Header)
