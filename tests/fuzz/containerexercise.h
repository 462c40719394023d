#pragma once

#include <QByteArray>
#include <QString>

// Lays one fuzz input out on disk as a container and its segment files and
// runs every reader and writer operation over it. The input is the ".kim"
// bytes, optionally followed by segment files, each introduced by
// segmentMarker. Shared by the fuzzer and the corpus replay, so the replay
// exercises exactly what the fuzzer did.
inline const QByteArray segmentMarker = QByteArrayLiteral("@SEG");

void exerciseContainer(const QByteArray &input, const QString &folder);
