#pragma once

#include <QString>

#include <sys/types.h>

// What the kernel says of the disk under a file system, from sysfs: whether
// it is one that can be taken out of the computer. Used where the system's
// disk service is not there to say it.
class SysfsBlockDevice
{
public:
    // A folder standing in for /sys, laid out as the kernel lays out its
    // dev/block links and devices tree: the tests build one file by file.
    static constexpr const char *sysfsRootVariable = "QUORVEL_SYSFS_ROOT";

    // True for a disk the kernel marks removable (a card reader's slot), or
    // one on a USB or SD card bus. False for every device sysfs does not
    // know as a block device: tmpfs, overlay and network file systems.
    static bool isRemovable(dev_t device);
};
