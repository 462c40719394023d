#pragma once

#include <QByteArray>
#include <QString>

// What kind of file system a card's root lies on, for the limits that kind
// sets on what can be put there. The kernel names it (statfs); a card mounted
// through FUSE (exFAT or FAT drivers in user space) shows only "FUSE" there,
// so its mount entry is read, and where that names no file system either
// (fuseblk), the boot sector of the device it was mounted from, when this
// process may read it. What cannot be told stays Unknown: no limit of a kind
// is then applied before writing, and the card's own refusal is reported
// when it comes.
class CardFilesystem
{
public:
    enum class Kind {
        Fat,   // FAT12/16/32: files end at 4 GiB - 1
        ExFat,
        Other, // a file system of the computer's own (ext4, tmpfs, ...)
        Unknown,
    };

    // The largest file FAT can hold: its sizes are 32-bit.
    static constexpr qint64 fatMaxFileSize = (qint64(1) << 32) - 1;

    // The file system of an open folder of the card.
    static Kind detect(int folder);

    // From the statfs magic, and for FUSE from the mount entry's type
    // ("fuse.exfat", "fuseblk") and the first sector of its device (may be
    // empty when it cannot be read).
    static Kind fromMagic(qint64 magic, const QString &mountType, const QByteArray &bootSector);
    // A boot sector's own name for its file system.
    static Kind fromBootSector(const QByteArray &bootSector);
    // The mount type and source of the device major:minor in the text of
    // /proc/self/mountinfo; false when no line has it.
    static bool findMount(const QByteArray &mountInfo, const QByteArray &device, QString *type, QString *source);

    static QString name(Kind kind);

    // Whether the kernel's flush of the whole file system (syncfs) puts
    // what was written on the medium: not through FUSE, whose drivers in
    // user space hear only of each file's own sync.
    static bool flushReachesMedium(int folder);
};
