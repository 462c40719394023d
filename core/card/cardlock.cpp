#include "card/cardlock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QLoggingCategory>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "base/appglobals.h"
#include "base/atomicfile.h"
#include "base/ownfolder.h"
#include "base/smallfile.h"

Q_LOGGING_CATEGORY(lcCardLock, "quorvel.cardlock")

namespace {

// A note is a few hundred bytes; /proc/locks has a line per lock on the
// computer. Both are read only up to these bounds.
constexpr qint64 maxNoteSize = 4096;
constexpr int maxLockLines = 100000;

std::atomic_int noteSerial{0};

struct Holder
{
    qint64 pid = 0;
    QString program;
    QString activity;
};

QString notePrefix(dev_t device, ino_t inode)
{
    return QStringLiteral("card-%1-%2-").arg(quint64(device), 0, 16).arg(quint64(inode));
}

QString programName()
{
    if (QCoreApplication::instance())
        return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    QFile comm(QStringLiteral("/proc/self/comm"));
    return comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.read(64).trimmed()) : QString();
}

// The processes that hold a flock() on the folder: the kernel lists every
// lock in /proc/locks as "12: FLOCK  ADVISORY  WRITE 4321 08:01:1234 0 EOF"
// (major and minor in hexadecimal); "12: -> FLOCK ..." is a waiter.
QList<qint64> lockHolders(dev_t device, ino_t inode, bool writersOnly = false)
{
    QList<qint64> pids;
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return pids;
    // The file says it is empty (as every file under /proc): read to its end.
    for (int line = 0; line < maxLockLines; ++line) {
        const QByteArray text = locks.readLine(512);
        if (text.isEmpty())
            break;
        const QList<QByteArray> fields = text.simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) != "FLOCK" || (writersOnly && fields.at(3) != "WRITE"))
            continue;
        const QList<QByteArray> where = fields.at(5).split(':');
        bool ok[4] = {};
        const qint64 pid = fields.at(4).toLongLong(&ok[0]);
        if (where.size() != 3)
            continue;
        const uint majorNumber = where.at(0).toUInt(&ok[1], 16);
        const uint minorNumber = where.at(1).toUInt(&ok[2], 16);
        const qulonglong node = where.at(2).toULongLong(&ok[3]);
        if (ok[0] && ok[1] && ok[2] && ok[3] && majorNumber == major(device) && minorNumber == minor(device)
            && node == quint64(inode) && !pids.contains(pid))
            pids.append(pid);
    }
    return pids;
}

bool alive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// A note is named card-<device>-<inode>-<pid>-<serial>.json.
qint64 notePid(const QString &name)
{
    return name.section(QLatin1Char('-'), 3, 3).toLongLong();
}

// Notes of processes that are gone, of any card: a copy killed before it
// could remove its note leaves it behind, and a card that is never asked
// about again would keep it for good.
void removeNotesOfTheGone(const QString &folder)
{
    const QStringList names = QDir(folder).entryList({QStringLiteral("card-*.json")}, QDir::Files);
    for (const QString &name : names) {
        const qint64 pid = notePid(name);
        if (pid <= 0 || !alive(pid))
            QFile::remove(folder + QLatin1Char('/') + name);
    }
}

// The notes of this user's copies on the folder, once those of processes
// that are gone are removed.
QList<Holder> notedHolders(dev_t device, ino_t inode)
{
    QList<Holder> holders;
    const QString folder = CardLock::noteFolder();
    if (folder.isEmpty())
        return holders;
    removeNotesOfTheGone(folder);
    const QString prefix = notePrefix(device, inode);
    const QStringList names = QDir(folder).entryList({prefix + QLatin1Char('*')}, QDir::Files);
    for (const QString &name : names) {
        Holder holder;
        holder.pid = notePid(name);
        QByteArray note;
        QString why;
        if (holder.pid <= 0 || !SmallFile::read(folder + QLatin1Char('/') + name, maxNoteSize, &note, &why))
            continue;
        const QJsonObject fields = QJsonDocument::fromJson(note).object();
        holder.program = fields.value(QStringLiteral("program")).toString();
        holder.activity = fields.value(QStringLiteral("activity")).toString();
        holders.append(holder);
    }
    return holders;
}

} // namespace

CardLock::~CardLock()
{
    release();
}

QString CardLock::noteFolder()
{
    return appDataFolder.isEmpty() ? QString() : appDataFolder + QStringLiteral("/card-locks");
}

CardLock::Outcome CardLock::acquire(const QString &root, Mode mode, const QString &activity, QString *busy)
{
    release();
    const int opened = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat status {};
    if (opened < 0 || ::fstat(opened, &status) != 0) {
        if (opened >= 0)
            ::close(opened);
        return Outcome::NoCard;
    }
    // Each acquire opens the folder anew: flock() belongs to the open file,
    // so a second job of this very process is turned away like another copy.
    int taken = -1;
    do {
        taken = ::flock(opened, (mode == Mode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (taken != 0 && errno == EINTR);
    if (taken != 0) {
        const int error = errno;
        ::close(opened);
        if (error != EWOULDBLOCK) {
            // A file system without locks cannot tell two writers apart;
            // refusing every job would make such a card useless.
            qCWarning(lcCardLock) << root << "cannot be locked:" << qt_error_string(error);
            return Outcome::Taken;
        }
        *busy = holderText(status.st_dev, status.st_ino);
        qCInfo(lcCardLock) << root << "is in use:" << *busy;
        return Outcome::Busy;
    }
    fd = opened;
    device = status.st_dev;
    inode = status.st_ino;

    const QString folder = noteFolder();
    if (!folder.isEmpty() && OwnFolder::make(folder)) {
        removeNotesOfTheGone(folder);
        notePath = folder + QLatin1Char('/') + notePrefix(device, inode)
                   + QStringLiteral("%1-%2.json").arg(qint64(::getpid())).arg(++noteSerial);
        const QJsonObject note{{QStringLiteral("program"), programName()},
                               {QStringLiteral("activity"), activity},
                               {QStringLiteral("card"), root}};
        QString why;
        if (!AtomicFile::write(notePath, QJsonDocument(note).toJson(QJsonDocument::Compact), &why)) {
            qCWarning(lcCardLock) << "who holds the card is not noted:" << why;
            notePath.clear();
        }
    }
    qCInfo(lcCardLock) << root << (mode == Mode::Exclusive ? "taken for" : "shared for") << activity;
    return Outcome::Taken;
}

void CardLock::release()
{
    if (fd < 0)
        return;
    // The note goes first: a job turned away in between finds the lock
    // held and no note, and still says that the card is in use.
    if (!notePath.isEmpty())
        QFile::remove(notePath);
    notePath.clear();
    ::close(fd);
    fd = -1;
}

bool CardLock::coversRoot(const QString &root) const
{
    struct stat status {};
    if (::stat(QFile::encodeName(root).constData(), &status) != 0)
        return true;
    return fd >= 0 && status.st_dev == device && status.st_ino == inode;
}

bool CardLock::writtenByAnother(const QString &root)
{
    struct stat status {};
    if (::stat(QFile::encodeName(root).constData(), &status) != 0)
        return false;
    const QList<qint64> writers = lockHolders(status.st_dev, status.st_ino, true);
    const qint64 self = ::getpid();
    return std::any_of(writers.cbegin(), writers.cend(), [self](qint64 pid) { return pid != self; });
}

QString CardLock::holderText(dev_t device, ino_t inode)
{
    const QString wait = QStringLiteral(" Wait until it has finished, or stop it, then try again.");
    const QList<qint64> pids = lockHolders(device, inode);
    const QList<Holder> noted = notedHolders(device, inode);
    for (const qint64 pid : pids) {
        Holder found;
        found.pid = pid;
        for (const Holder &holder : noted) {
            if (holder.pid == pid)
                found = holder;
        }
        if (pid == qint64(::getpid()))
            return QStringLiteral("The SD card is in use by another job of this copy of the Quorvel Download Tool%1.")
                       .arg(found.activity.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(found.activity))
                   + wait;
        if (found.program.isEmpty()) {
            // Another user's copy, or one with another data folder: the
            // system still knows the program, by the name it was started
            // under (the kernel's own name for it stops at 15 characters).
            QFile command(QStringLiteral("/proc/%1/cmdline").arg(pid));
            if (command.open(QIODevice::ReadOnly)) {
                const QByteArray first = command.read(4096).split('\0').constFirst();
                found.program = QFileInfo(QString::fromLocal8Bit(first)).fileName().left(64);
            }
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            if (found.program.isEmpty() && comm.open(QIODevice::ReadOnly))
                found.program = QString::fromLocal8Bit(comm.read(64).trimmed());
        }
        QStringList parts;
        if (!found.program.isEmpty())
            parts << found.program;
        parts << QStringLiteral("process %1").arg(pid);
        if (!found.activity.isEmpty())
            parts << found.activity;
        return QStringLiteral("The SD card is in use by another copy of the Quorvel Download Tool (%1).")
                   .arg(parts.join(QStringLiteral(", ")))
               + wait;
    }
    return QStringLiteral("The SD card is in use by another copy of the Quorvel Download Tool.") + wait;
}
