#pragma once

#include <QByteArray>
#include <QString>

// A file of the tool's own (outside the card) written so that a crash or a
// full disk leaves the old content or the new, never a mix: a temporary
// beside it, every write checked, fdatasync, rename, the folder synced. The
// file is made readable by its owner only.
namespace AtomicFile {

bool write(const QString &path, const QByteArray &bytes, QString *why = nullptr);

} // namespace AtomicFile
