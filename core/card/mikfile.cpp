#include "card/mikfile.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QSet>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <limits>

#include "base/atomicfile.h"
#include "card/mikblock.h"

namespace Mik {

namespace {
constexpr int sha1Length = 20;
// The chain handed back is laid out for a container whose header is exactly
// this long, whatever the header of the card's container says.
constexpr qint64 rebuiltHeaderSize = MikFile::headerImageSize;
// The container file itself (segment 0) holds a header and the start of the
// chain; a larger one is not a container this tool rewrites.
constexpr qint64 largestContainer = 64 * 1024 * 1024;
} // namespace

MikFile::MikFile() = default;

MikFile::MikFile(const QString &path)
    : fileInfo(path)
{
    if (!fileInfo.exists())
        throw QStringLiteral("No file found: ") + fileInfo.path();
    QFile file(fileInfo.absoluteFilePath());
    if (!file.open(QIODevice::ReadOnly))
        throw QStringLiteral("Cannot open: ") + fileInfo.path();
    init(file);
    loadSegments();
    file.close();
}

void MikFile::init(QIODevice &device)
{
    if (!device.isReadable())
        return;

    const qint64 start = device.pos();
    uchar sizeBytes[8];
    quint64 storedSize = 0;
    if (device.seek(start + OffsetHeaderSize) && device.read(reinterpret_cast<char *>(sizeBytes), 8) == 8)
        storedSize = qFromLittleEndian<quint64>(sizeBytes);
    device.seek(start);

    // The stored size is trusted, but the image never grows past its 352
    // bytes and a short file leaves the rest of it as it was.
    const qint64 wanted = qint64(qMin<quint64>(storedSize, headerImageSize));
    if (wanted > 0) {
        const qint64 got = device.read(reinterpret_cast<char *>(header.data()), wanted);
        if (got < wanted)
            qDebug() << "Header truncated:" << qMax<qint64>(got, 0) << "of" << wanted;
    }

    if (!(flags() & FlagQvBuild))
        qDebug() << "Not QV build";
    else if (magic() != magicValue)
        qDebug() << "Wrong format id";
    else if (firstBlock() != headerSize())
        qDebug() << "Wrong format";
}

void MikFile::loadSegments()
{
    segments.clear();
    const QString folder = fileInfo.absolutePath();
    const QString baseName = fileInfo.completeBaseName();
    for (int index = 1; index < std::numeric_limits<int>::max(); ++index) {
        const QFileInfo segment(folder + QLatin1Char('/') + baseName + QLatin1Char('.') + segmentExtension(index));
        if (!segment.exists() || !segment.isFile())
            break;
        segments.insert(segment.completeSuffix(), segment);
        // The complete base name, so that basePath + "." + suffix names the
        // segment again even when the chart name holds a dot.
        basePath = segment.absolutePath() + QLatin1Char('/') + segment.completeBaseName();
    }
}

QString MikFile::segmentExtension(int index)
{
    if (index == 0)
        return QStringLiteral("kim");
    return QStringLiteral("k%1").arg(index, 2, 16, QLatin1Char('0'));
}

QString MikFile::chartName() const
{
    return QStringLiteral("%1-%2").arg(skuNumber(), 6, 10, QLatin1Char(' ')).arg(skuSuffix());
}

QString MikFile::getChartID(QString separator) const
{
    return chartName() + separator + QString::number(buildNumber()) + separator + QString::number(chartVersion());
}

bool MikFile::seek(QFile &file, qint64 position, QIODeviceBase::OpenModeFlag mode)
{
    const quint64 size = segmentSize();
    if (size == 0) {
        // Every position would lie in segment "infinity"; nothing to seek to.
        qDebug() << "Segment size 0:" << fileInfo.absoluteFilePath();
        return false;
    }
    if (position < 0)
        return false;

    const quint64 segment = quint64(position) / size;
    const qint64 offset = qint64(quint64(position) % size);

    QFileInfo target;
    if (segment == 0) {
        target = fileInfo;
    } else {
        if (segment > quint64(segments.size()))
            return false;
        const auto found = segments.constFind(segmentExtension(int(segment)));
        if (found == segments.constEnd())
            return false;
        target = found.value();
    }
    if (offset > target.size())
        return false;

    const QString targetPath = target.absoluteFilePath();
    if (!file.isOpen()) {
        file.setFileName(targetPath);
        if (!file.open(mode))
            return false;
    } else if (QFileInfo(file.fileName()).absoluteFilePath() != targetPath) {
        file.close();
        qDebug() << "Switching segment" << file.fileName() << "->" << targetPath;
        file.setFileName(targetPath);
        if (!file.open(mode))
            return false;
    }

    if (file.size() < offset)
        qDebug() << "Segment shorter than offset:" << file.size() << offset;
    return file.seek(offset);
}

QByteArray MikFile::getDrmBytes()
{
    return getDrmBytes(nullptr);
}

QByteArray MikFile::getDrmBytes(bool *whole)
{
    if (whole)
        *whole = false;
    QFile file;
    if (!seek(file, qint64(qMin<quint64>(firstBlock(), std::numeric_limits<qint64>::max())), QIODevice::ReadOnly))
        return QByteArray();

    // Every block is read from the segment files and visited once, so the
    // chain can neither yield nor cost more than the files hold; a position
    // seen twice means the chain loops.
    const qint64 available = totalSegmentBytes();
    QSet<qint64> visited;
    visited.insert(qint64(firstBlock()));

    QByteArray output;
    bool requiredSeen = false;
    for (;;) {
        MikBlock block;
        const qint64 got = block.read(file);
        if (got < MikBlock::baseLength) {
            qDebug() << "Block header unreadable:" << file.errorString();
            return QByteArray();
        }
        if (got < block.headerLength()) {
            qDebug() << "Block header cut short at" << file.pos();
            return QByteArray();
        }

        if (block.type == MikBlock::requiredType)
            requiredSeen = true;

        if (block.type >= 2) {
            const qint64 payload = qint64(block.length) + (block.hasTrailer() ? MikBlock::trailerLength : 0);
            if (block.length < 0 || payload > file.size() - file.pos()
                || output.size() + block.totalLength() > available) {
                qDebug() << "Block length past the end of the segments:" << block.length;
                return QByteArray();
            }
            MikBlock copy = block;
            if (block.next != 0)
                copy.next = quint64(rebuiltHeaderSize + output.size() + block.totalLength());
            output.append(copy.toBytes());
            output.append(file.read(payload));
        }

        const qint64 next = qint64(block.next);
        if (next < 1) {
            if (whole)
                *whole = next == 0;
            break;
        }
        if (visited.contains(next)) {
            qDebug() << "Block chain loops at" << next;
            return QByteArray();
        }
        visited.insert(next);
        if (!seek(file, next, QIODevice::ReadOnly))
            break;
    }
    return requiredSeen ? output : QByteArray();
}

bool MikFile::setUpdating(bool updating)
{
    MikFile changed = *this;
    if (updating)
        changed.setFlags(flags() | FlagUpdating);
    else
        // Clearing treats the field as 16 bits wide: the upper bits go too.
        changed.setFlags(flags() & 0xFFFFULL & ~quint64(FlagUpdating));
    QByteArray content;
    if (!readWhole(&content) || !changed.replaceHeader(content))
        return false;
    header = changed.header;
    return true;
}

bool MikFile::finalize()
{
    if (!(flags() & FlagQvBuild))
        return false;
    QByteArray content;
    if (!readWhole(&content))
        return false;
    MikFile changed = *this;
    const quint64 actualSize = quint64(content.size());
    if (kimFileSize() != actualSize) {
        qDebug() << "FileSize:" << kimFileSize() << "->" << actualSize;
        changed.setKimFileSize(actualSize);
    }
    changed.setFlags(changed.flags() | FlagFinalized);
    const QByteArray payload = headerSize() < quint64(content.size()) ? content.mid(qsizetype(headerSize())) : QByteArray();
    changed.setPayloadSha1(QCryptographicHash::hash(payload, QCryptographicHash::Sha1));
    changed.setFlags(changed.flags() | FlagDigest);
    if (!changed.replaceHeader(content))
        return false;
    header = changed.header;
    return true;
}

bool MikFile::readWhole(QByteArray *content) const
{
    // A link is never followed, and a file larger than any container is
    // not read into memory.
    const int fd = ::open(QFile::encodeName(fileInfo.absoluteFilePath()).constData(),
                          O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > largestContainer) {
        ::close(fd);
        return false;
    }
    content->resize(qsizetype(status.st_size));
    qint64 done = 0;
    while (done < content->size()) {
        const ssize_t n = ::pread(fd, content->data() + done, size_t(content->size() - done), done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    ::close(fd);
    return done == content->size();
}

bool MikFile::replaceHeader(QByteArray content) const
{
    // The whole file is written anew and renamed over the old one, so a
    // crash leaves the old header or the new one, never half of each.
    content.replace(0, qMin<qsizetype>(content.size(), headerImageSize), headerImage());
    QString why;
    if (!AtomicFile::write(fileInfo.absoluteFilePath(), content, &why)) {
        qDebug() << "Header not written:" << why;
        return false;
    }
    return true;
}

QByteArray MikFile::headerImage() const
{
    return QByteArray(reinterpret_cast<const char *>(header.data()), headerImageSize);
}

void MikFile::setHeaderImage(const QByteArray &image)
{
    header.fill(0);
    std::memcpy(header.data(), image.constData(), size_t(qMin<qsizetype>(image.size(), headerImageSize)));
}

QByteArray MikFile::payloadSha1() const
{
    return QByteArray(reinterpret_cast<const char *>(header.data()) + OffsetPayloadSha1, sha1Length);
}

void MikFile::setPayloadSha1(const QByteArray &digest)
{
    std::memset(header.data() + OffsetPayloadSha1, 0, sha1Length);
    std::memcpy(header.data() + OffsetPayloadSha1, digest.constData(), size_t(qMin<qsizetype>(digest.size(), sha1Length)));
}

quint64 MikFile::read64(int offset) const
{
    return qFromLittleEndian<quint64>(header.data() + offset);
}

quint32 MikFile::read32(int offset) const
{
    return qFromLittleEndian<quint32>(header.data() + offset);
}

void MikFile::write64(int offset, quint64 value)
{
    qToLittleEndian<quint64>(value, header.data() + offset);
}

void MikFile::write32(int offset, quint32 value)
{
    qToLittleEndian<quint32>(value, header.data() + offset);
}

qint64 MikFile::totalSegmentBytes() const
{
    qint64 total = qMax<qint64>(fileInfo.size(), 0);
    for (const QFileInfo &segment : segments)
        total += qMax<qint64>(segment.size(), 0);
    return total;
}

} // namespace Mik
