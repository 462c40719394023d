#include "download/cardlimits.h"

#include <QHash>
#include <QStringList>

namespace {

QString refused(const QString &file, const QString &reason)
{
    return QStringLiteral("The file \"%1\" cannot be put on this SD card: %2. Nothing on the card was changed.")
        .arg(file, reason);
}

// FAT and exFAT compare names through an upper-case table; Unicode case
// folding stands for it.
QString folded(const QString &path)
{
    return path.toCaseFolded();
}

QString characterText(QChar c)
{
    if (c.unicode() < 0x20)
        return QStringLiteral("the control character 0x%1")
            .arg(QString::number(c.unicode(), 16).rightJustified(2, QLatin1Char('0')).toUpper());
    return QStringLiteral("\"%1\"").arg(c);
}

} // namespace

QString CardLimits::nameProblem(const QString &path)
{
    static const QString forbidden = QStringLiteral("\"*:<>?\\|");
    const QStringList names = path.split(QLatin1Char('/'));
    for (const QString &name : names) {
        for (const QChar c : name) {
            if (c.unicode() < 0x20 || forbidden.contains(c))
                return QStringLiteral("its name holds %1, which a card's file system does not allow")
                    .arg(characterText(c));
        }
        if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
            return QStringLiteral("\"%1\" ends in a dot or a space, which a card's file system drops from a name")
                .arg(name);
        if (name.size() > maxNameLength)
            return QStringLiteral("a name on its path is longer than the %1 characters a card allows")
                .arg(maxNameLength);
    }
    return QString();
}

QString CardLimits::problem(const QList<FileRecord> &records, CardFilesystem::Kind kind)
{
    QHash<QString, QString> files; // folded path -> the path as listed
    for (const FileRecord &record : records) {
        const QString reason = nameProblem(record.file);
        if (!reason.isEmpty())
            return refused(record.file, reason);
        // The parser refused exact repeats: a path met again here differs
        // only in letter case.
        const QString key = folded(record.file);
        const QString earlier = files.value(key);
        if (!earlier.isEmpty())
            return refused(record.file, QStringLiteral("its name differs from \"%1\" only in letter case, and a card "
                                                       "does not tell such names apart")
                                            .arg(earlier));
        files.insert(key, record.file);
        const qint64 length = record.size + record.data.size();
        if (kind == CardFilesystem::Kind::Fat && length > CardFilesystem::fatMaxFileSize)
            return refused(record.file,
                           QStringLiteral("it is %1 bytes long, and the card's FAT file system holds files of at most "
                                          "%2 bytes (4 GiB less one byte)")
                               .arg(length)
                               .arg(CardFilesystem::fatMaxFileSize));
    }
    // A folder on one path that is a file of the list, in any letter case.
    for (const FileRecord &record : records) {
        const QString key = folded(record.file);
        for (qsizetype slash = key.indexOf(QLatin1Char('/')); slash >= 0; slash = key.indexOf(QLatin1Char('/'), slash + 1)) {
            const QString file = files.value(key.left(slash));
            if (!file.isEmpty())
                return refused(record.file, QStringLiteral("a folder on its path has the name of the file \"%1\"")
                                                .arg(file));
        }
    }
    return QString();
}
