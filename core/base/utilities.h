#pragma once

#include <QString>

namespace Utilities {

// Formats a size given in KiB. fileSize picks the unit ("KB", "MB", "GB");
// empty lets the size choose it.
QString kbToReadable(double kb, QString fileSize = QString(), bool withUnit = true);

} // namespace Utilities
