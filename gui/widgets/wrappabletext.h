#pragma once

#include <QString>

// Labels wrap only between words, so a path or a file name longer than the
// line is cut at the label's edge. This gives such long words invisible
// chances to break: after their separators, and every few characters where
// they have none. Words of ordinary length are left alone.
QString wrappableText(const QString &text);
