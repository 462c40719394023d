#include "containerexercise.h"

#include <QDir>
#include <QFile>
#include <QList>

#include "card/mikfile.h"

static constexpr int mostSegments = 4;

void exerciseContainer(const QByteArray &input, const QString &folder)
{
    QDir dir(folder);
    const QStringList leftovers = dir.entryList({ QStringLiteral("fz.*") }, QDir::Files);
    for (const QString &name : leftovers)
        dir.remove(name);

    QList<QByteArray> parts;
    qsizetype from = 0;
    while (parts.size() <= mostSegments) {
        const qsizetype at = input.indexOf(segmentMarker, from);
        if (at < 0 || parts.size() == mostSegments) {
            parts.append(input.mid(from));
            break;
        }
        parts.append(input.mid(from, at - from));
        from = at + segmentMarker.size();
    }

    for (int index = 0; index < parts.size(); ++index) {
        QFile file(dir.filePath(QStringLiteral("fz.") + Mik::MikFile::segmentExtension(index)));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return;
        file.write(parts.at(index));
    }

    try {
        Mik::MikFile container(dir.filePath(QStringLiteral("fz.kim")));
        (void)container.chartName();
        (void)container.getChartID(QStringLiteral("-"));
        (void)container.getDrmBytes();
        container.setUpdating(true);
        container.setUpdating(false);
        container.finalize();
        Mik::MikFile again(dir.filePath(QStringLiteral("fz.kim")));
        (void)again.getDrmBytes();
    } catch (const QString &) {
    }
}
