#include "card/cardfilesystem.h"

#include <QFile>
#include <QList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr qint64 fatMagic = 0x4d44;         // vfat and msdos
constexpr qint64 exFatMagic = 0x2011BAB0;
constexpr qint64 fuseMagic = 0x65735546;    // fuse and fuseblk alike
constexpr int sectorSize = 512;
// mountinfo lists every mount of the system; a few thousand lines at most.
constexpr qint64 mountInfoLimit = 4 << 20;

QByteArray readBounded(const QByteArray &path, qint64 limit)
{
    // Only a block device or an image file: a FIFO or a terminal named as
    // the source of a mount would block or mean nothing.
    struct stat status {};
    if (::stat(path.constData(), &status) != 0 || !(S_ISBLK(status.st_mode) || S_ISREG(status.st_mode)))
        return QByteArray();
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QByteArray();
    QByteArray bytes(int(limit), Qt::Uninitialized);
    qint64 done = 0;
    while (done < limit) {
        const ssize_t got = ::read(fd, bytes.data() + done, size_t(limit - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += got;
    }
    ::close(fd);
    bytes.truncate(int(done));
    return bytes;
}

QByteArray readProcFile(const char *path, qint64 limit)
{
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(limit);
}

} // namespace

CardFilesystem::Kind CardFilesystem::detect(int folder)
{
    struct statfs fs {};
    struct stat status {};
    if (::fstatfs(folder, &fs) != 0 || ::fstat(folder, &status) != 0)
        return Kind::Unknown;
    const qint64 magic = qint64(fs.f_type);
    if (magic != fuseMagic)
        return fromMagic(magic, QString(), QByteArray());
    QString type;
    QString source;
    const QByteArray device = QByteArray::number(major(status.st_dev)) + ':' + QByteArray::number(minor(status.st_dev));
    if (!findMount(readProcFile("/proc/self/mountinfo", mountInfoLimit), device, &type, &source))
        return Kind::Unknown;
    // A named FUSE file system says what it is; only a bare one needs its
    // device read.
    const QByteArray boot = type.contains(QLatin1Char('.')) ? QByteArray()
                                                            : readBounded(QFile::encodeName(source), sectorSize);
    return fromMagic(magic, type, boot);
}

CardFilesystem::Kind CardFilesystem::fromMagic(qint64 magic, const QString &mountType, const QByteArray &bootSector)
{
    if (magic == fatMagic)
        return Kind::Fat;
    if (magic == exFatMagic)
        return Kind::ExFat;
    if (magic != fuseMagic)
        return Kind::Other;
    const QString subtype = mountType.section(QLatin1Char('.'), 1).toLower();
    if (subtype.contains(QLatin1String("exfat")))
        return Kind::ExFat;
    if (subtype.contains(QLatin1String("fat")))
        return Kind::Fat;
    if (!subtype.isEmpty())
        return Kind::Other; // sshfs, a user-space NTFS, ...: no FAT limits
    return fromBootSector(bootSector);
}

CardFilesystem::Kind CardFilesystem::fromBootSector(const QByteArray &boot)
{
    if (boot.size() < sectorSize || boot.at(510) != char(0x55) || boot.at(511) != char(0xAA))
        return Kind::Unknown;
    if (boot.mid(3, 8) == "EXFAT   ")
        return Kind::ExFat;
    if (boot.mid(82, 5) == "FAT32" || boot.mid(54, 5) == "FAT12" || boot.mid(54, 5) == "FAT16")
        return Kind::Fat;
    if (boot.mid(3, 8) == "NTFS    ")
        return Kind::Other;
    return Kind::Unknown;
}

bool CardFilesystem::findMount(const QByteArray &mountInfo, const QByteArray &device, QString *type, QString *source)
{
    // "36 25 0:39 / /media/card rw,relatime shared:1 - fuseblk /dev/sdb1 rw,..."
    // The fields after the optional ones start behind " - ".
    const QList<QByteArray> lines = mountInfo.split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype separator = line.indexOf(" - ");
        if (fields.size() < 3 || fields.at(2) != device || separator < 0)
            continue;
        const QList<QByteArray> tail = line.mid(separator + 3).split(' ');
        if (tail.size() < 2)
            continue;
        *type = QString::fromUtf8(tail.at(0));
        // Spaces and other blanks in a source are written as octal escapes.
        QByteArray path = tail.at(1);
        path.replace("\\040", " ").replace("\\011", "\t").replace("\\012", "\n").replace("\\134", "\\");
        *source = QFile::decodeName(path);
        return true;
    }
    return false;
}

QString CardFilesystem::name(Kind kind)
{
    switch (kind) {
    case Kind::Fat:
        return QStringLiteral("FAT");
    case Kind::ExFat:
        return QStringLiteral("exFAT");
    case Kind::Other:
        return QStringLiteral("other");
    case Kind::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

bool CardFilesystem::flushReachesMedium(int folder)
{
    struct statfs fs {};
    return ::fstatfs(folder, &fs) == 0 && qint64(fs.f_type) != fuseMagic;
}
