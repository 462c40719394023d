#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>

// The vmid file at a card's root: the product's SKU on the first line, then
// the list of its files with the tags they had when they were put on the
// card (JSON).
namespace VmidFile {

inline const QString name = QStringLiteral("vmid");
// The first line is read alone until it names the product wanted: a vmid of
// hundreds of megabytes without a line end costs this much.
constexpr qint64 maxLine = 64 * 1024;

// One file of the list: its path and its tag.
struct Entry
{
    const QString &file;
    const QString &tag;
};
// The whole vmid of count files, entry(i) giving the i-th in list order. The
// text is made at its exact size: for 200,000 files it is some 20 MB, and
// growing it would hold the old and the new copy at once.
QByteArray contents(const QString &sku, qsizetype count, const std::function<Entry(qsizetype)> &entry);
// The first line of a vmid (at most maxLine bytes of it), simplified; empty
// when there is no line end within the limit (not a vmid the tool wrote).
QString product(const QByteArray &head);
// The tags a vmid remembers for sku; false when it names another product
// or lists nothing.
bool storedTags(const QByteArray &vmid, const QString &sku, QHash<QString, QString> *tags);
// The files a whole vmid lists, in its order.
QStringList files(const QByteArray &vmid);

} // namespace VmidFile
