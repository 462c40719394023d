#include "download/cardlimits.h"

#include <QHash>
#include <QSet>
#include <QStringTokenizer>

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
    const auto forbidden = [](char16_t u) {
        return u < 0x20 || u == u'"' || u == u'*' || u == u':' || u == u'<' || u == u'>' || u == u'?' || u == u'\\'
               || u == u'|';
    };
    for (const QStringView name : QStringTokenizer(path, u'/')) {
        for (const QChar c : name) {
            if (forbidden(c.unicode()))
                return QStringLiteral("its name holds %1, which a card's file system does not allow")
                    .arg(characterText(c));
        }
        if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
            return QStringLiteral("\"%1\" ends in a dot or a space, which a card's file system drops from a name")
                .arg(name);
        // Counted as a card's file system counts (UTF-16 units: an emoji
        // takes two), less the room the tool's temporary names need.
        if (name.size() > maxNameLength)
            return QStringLiteral("a name on its path is %1 units long (UTF-16, as a card counts), and the tool can "
                                  "put names of at most %2 on a card")
                .arg(name.size())
                .arg(maxNameLength);
    }
    return QString();
}

QString CardLimits::sizeProblem(const FileRecord &record, CardFilesystem::Kind kind)
{
    const qint64 length = record.size + record.data.size();
    if (kind == CardFilesystem::Kind::Fat && length > CardFilesystem::fatMaxFileSize)
        return refused(record.file,
                       QStringLiteral("it is %1 bytes long, and the card's FAT file system holds files of at most "
                                      "%2 bytes (4 GiB less one byte)")
                           .arg(length)
                           .arg(CardFilesystem::fatMaxFileSize));
    return QString();
}

QString CardLimits::problem(const QList<FileRecord> &records, CardFilesystem::Kind kind)
{
    // Paths are compared by a digest of their folded form and only a match
    // is compared in full: a table of 200,000 folded paths would cost tens
    // of MiB, and every prefix of a path thousands of folders deep made
    // anew would cost time that grows with the square of its depth.
    const auto digest = [](QStringView text) { return quint64(qHash(text, 0)); };
    QHash<quint64, qsizetype> files; // digest of the folded path -> its record
    files.reserve(records.size());
    bool unsure = false; // two paths share a digest: compared the slow way
    for (qsizetype i = 0; i < records.size(); ++i) {
        const FileRecord &record = records.at(i);
        const QString reason = nameProblem(record.file);
        if (!reason.isEmpty())
            return refused(record.file, reason);
        // The parser refused exact repeats: a path met again here differs
        // only in letter case.
        const QString key = folded(record.file);
        const auto earlier = files.constFind(digest(key));
        if (earlier != files.cend()) {
            // A folded path seen before, or (once in billions of years) another
            // with the same digest: the slow way tells which.
            unsure = true;
            break;
        }
        files.insert(digest(key), i);
        const QString tooLong = sizeProblem(record, kind);
        if (!tooLong.isEmpty())
            return tooLong;
    }

    if (unsure)
        return exactProblem(records, kind);

    // A folder on one path that is a file of the list, in any letter case.
    // Each folder is looked at once: walking up from a file's folder stops
    // at the first folder seen before.
    QSet<quint64> folders;
    bool clash = false;
    QStringView previousFolder;
    for (qsizetype i = 0; i < records.size() && !clash; ++i) {
        // The files of one folder come one after the other: its folders
        // were looked at with the first.
        const QString &file = records.at(i).file;
        const QStringView parent = QStringView(file).left(qMax<qsizetype>(0, file.lastIndexOf(QLatin1Char('/'))));
        if (i > 0 && parent == previousFolder)
            continue;
        previousFolder = parent;
        const QString key = folded(file);
        for (qsizetype slash = key.lastIndexOf(QLatin1Char('/')); slash > 0 && !clash;
             slash = key.lastIndexOf(QLatin1Char('/'), slash - 1)) {
            const QStringView folder = QStringView(key).left(slash);
            const quint64 seen = digest(folder);
            if (folders.contains(seen))
                break;
            folders.insert(seen);
            const auto file = files.constFind(seen);
            clash = file != files.cend() && folded(records.at(*file).file) == folder;
        }
    }
    return clash ? exactProblem(records, kind) : QString();
}

QString CardLimits::exactProblem(const QList<FileRecord> &records, CardFilesystem::Kind kind)
{
    QHash<QString, QString> files; // folded path -> the path as listed
    for (const FileRecord &record : records) {
        const QString reason = nameProblem(record.file);
        if (!reason.isEmpty())
            return refused(record.file, reason);
        const QString key = folded(record.file);
        const QString earlier = files.value(key);
        if (!earlier.isEmpty())
            return refused(record.file, QStringLiteral("its name differs from \"%1\" only in letter case, and a card "
                                                       "does not tell such names apart")
                                            .arg(earlier));
        files.insert(key, record.file);
        const QString tooLong = sizeProblem(record, kind);
        if (!tooLong.isEmpty())
            return tooLong;
    }
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
