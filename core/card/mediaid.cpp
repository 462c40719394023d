#include "card/mediaid.h"

#include <QFile>
#include <QStringList>

QString mediaIdFromContent(const QString &text)
{
    const QStringList fields = text.split(mediaIdSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (fields.size() != 3)
        return QString();
    return fields.at(1).simplified();
}

QString vmidItemNumber(const QString &cardRoot)
{
    QFile file(cardRoot + QStringLiteral("/vmid"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    // The first line is an item number; a damaged file without line breaks
    // must not be loaded whole into memory.
    constexpr qint64 longestLine = 4096;
    return QString::fromUtf8(file.readLine(longestLine).simplified());
}
