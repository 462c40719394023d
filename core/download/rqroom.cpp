#include "download/rqroom.h"

#include <QFile>

#include <sys/statvfs.h>

qint64 RqRoom::allocated(qint64 bytes, qint64 unit)
{
    if (bytes <= 0)
        return 0;
    const qint64 step = qMax<qint64>(1, unit);
    return (bytes + step - 1) / step * step;
}

RqRoom::Plan RqRoom::plan(const Input &input)
{
    Plan plan;
    const qint64 container = allocated(input.container, input.cardUnit);
    qint64 added = 0;     // the new segments, whole
    qint64 temporary = 0; // what their temporaries hold already
    qint64 missing = 0;   // what the temporaries still lack
    qint64 toStage = 0;
    for (const Segment &segment : input.segments) {
        const qint64 whole = allocated(segment.size, input.cardUnit);
        const qint64 held = allocated(segment.temporary, input.cardUnit);
        added += whole;
        temporary += held;
        missing += qMax<qint64>(0, whole - held);
        toStage += allocated(segment.size, input.dataUnit);
    }
    qint64 old = 0;
    for (const qint64 size : input.oldFiles)
        old += allocated(size, input.cardUnit);

    // Beside: at the commit's first write the card holds the old build, every
    // temporary whole and the new container on its way in.
    plan.besideNeed = missing + container;
    // Staged: the container marked "updating" comes in while the old build is
    // still there; then the old build and any temporaries go before the new
    // segments come; last the finished container is written beside the
    // marked one before it takes its place.
    plan.stagedNeed = container + qMax<qint64>(0, container + added - old - temporary);

    if (plan.besideNeed <= input.cardFree) {
        plan.way = Way::Beside;
    } else if (plan.stagedNeed > input.cardFree) {
        plan.way = Way::NoRoom;
        plan.shortfall = plan.stagedNeed - input.cardFree;
    } else if (const qint64 dataNeed = qMax<qint64>(0, toStage - input.staged); dataNeed > input.dataFree) {
        plan.way = Way::NoStagingRoom;
        plan.shortfall = dataNeed - input.dataFree;
    } else {
        plan.way = Way::Staged;
    }
    return plan;
}

bool RqRoom::measure(const QString &folder, qint64 *free, qint64 *unit)
{
    struct statvfs status {};
    if (::statvfs(QFile::encodeName(folder).constData(), &status) != 0)
        return false;
    const qint64 fragment = status.f_frsize ? qint64(status.f_frsize) : qint64(status.f_bsize);
    *free = qint64(status.f_bavail) * fragment;
    *unit = qMax<qint64>(1, fragment);
    return true;
}

QString RqRoom::megabytes(qint64 bytes)
{
    constexpr qint64 mebibyte = 1024 * 1024;
    const qint64 tenths = bytes <= 0 ? 0 : (bytes * 10 + mebibyte - 1) / mebibyte;
    return QStringLiteral("%1.%2 MB").arg(tenths / 10).arg(tenths % 10);
}

QString RqRoom::cardMessage(qint64 shortfall)
{
    return QStringLiteral("The SD card needs %1 more free space for this update. Nothing on the card was changed. "
                          "Make room on the card, then start the update again.")
        .arg(megabytes(shortfall));
}

QString RqRoom::dataFolderMessage(qint64 shortfall, const QString &folder)
{
    return QStringLiteral("The card has room for the new chart only once the old one is gone, so the update "
                          "keeps the new files on this computer first, in %1. That disk needs %2 more free "
                          "space. Nothing on the card was changed.")
        .arg(folder, megabytes(shortfall));
}

QString RqRoom::dataFolderFullMessage(const QString &folder)
{
    return QStringLiteral("The disk of this computer that keeps the update's new files, in %1, is full. Nothing on "
                          "the card was changed. Make room on that disk, then resume.")
        .arg(folder);
}
