#pragma once

#include <QByteArray>
#include <QString>

// Reads a small file that someone other than this process may have put in
// place: a file on the card, or one of the tool's own in the data folder.
// Anything that is not a regular file of at most limit bytes is refused with
// a reason, at once: O_NONBLOCK keeps a FIFO in the file's place from hanging
// the run, O_NOFOLLOW keeps a link from sending the read to a device (a zero
// device never ends) or to a file elsewhere, and the size taken from fstat
// bounds what is read even when the file grows meanwhile.
namespace SmallFile {

// path relative to folder, an open folder's descriptor.
bool read(int folder, const QString &path, qint64 limit, QByteArray *content, QString *why);
bool read(const QString &path, qint64 limit, QByteArray *content, QString *why);
// As read(), for a file that is often not there at all: then why is left
// empty, and only something else in its place gives a reason.
bool readIfThere(const QString &path, qint64 limit, QByteArray *content, QString *why);

} // namespace SmallFile
