#pragma once

#include <QString>

// A folder the tool makes in its data folder and then writes in (the proofs,
// the card-lock notes, the copies of chart containers). Whatever else stands
// at its name is no folder of ours: a link there would have every file
// written "in" it land wherever the link points.
namespace OwnFolder {

// path exists as a folder on return; a link, FIFO, device or socket at its
// name is removed first (the entry, never what a link points at). False,
// with the reason, when that cannot be had.
bool make(const QString &path, QString *why = nullptr);

} // namespace OwnFolder
