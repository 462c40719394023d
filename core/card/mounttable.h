#pragma once

#include <QList>
#include <QString>

// The kernel's list of mounted file systems, read from the table alone:
// QStorageInfo asks each volume for its size, which hangs on a network share
// whose server has gone away.
class MountTable
{
public:
    struct Mount
    {
        // What was mounted: a device node, a server's share, a name.
        QString source;
        QString mountPoint;
        QString type;
    };

    static QList<Mount> read();
    // True when a file system is mounted exactly at path (no link followed).
    static bool isMountPoint(const QString &path);
};
