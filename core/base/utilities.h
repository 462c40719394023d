#pragma once

#include <QString>

namespace Utilities {

// Formats a size given in KiB. fileSize picks the unit ("KB", "MB", "GB");
// empty lets the size choose it.
QString kbToReadable(double kb, QString fileSize = QString(), bool withUnit = true);

// How long a network transfer may bring next to nothing before it is given
// up: QUORVEL_WATCHDOG_SECONDS where it holds a positive number, else
// defaultWatchdogSeconds.
constexpr int defaultWatchdogSeconds = 60;
int watchdogSecondsFromEnvironment();

} // namespace Utilities
