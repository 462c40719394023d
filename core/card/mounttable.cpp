#include "card/mounttable.h"

#include <QDir>
#include <QFile>

namespace {

// The table writes a blank, a tab, a new line and a backslash inside a field
// as a backslash and three octal digits.
QString unescape(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field.at(i) == '\\' && i + 3 < field.size() && field.at(i + 1) >= '0' && field.at(i + 1) <= '7') {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(char(code));
                i += 3;
                continue;
            }
        }
        out.append(field.at(i));
    }
    return QFile::decodeName(out);
}

} // namespace

QList<MountTable::Mount> MountTable::read()
{
    QList<Mount> mounts;
    QFile table(QStringLiteral("/proc/self/mounts"));
    if (!table.open(QIODevice::ReadOnly))
        return mounts;
    // A procfs file reports a size of 0, so QFile::atEnd() holds at once:
    // read to the end instead.
    const QList<QByteArray> lines = table.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 3)
            continue;
        mounts.append({ unescape(fields.at(0)), unescape(fields.at(1)), unescape(fields.at(2)) });
    }
    return mounts;
}

bool MountTable::isMountPoint(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    for (const Mount &mount : read()) {
        if (mount.mountPoint == clean)
            return true;
    }
    return false;
}
