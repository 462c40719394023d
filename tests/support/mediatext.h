#pragma once

#include <QByteArray>

// ENCRYPT.TXT as a control head writes it, spelled out here rather than taken
// from the code under test; kept apart from the window's fixtures so that
// suites without the window can make cards too.
namespace Kit {

inline const QByteArray mediaSeparator("-----Trelmarkholding---media---001-----");

// Three fields, the middle one the media id padded with blanks.
inline QByteArray mediaText(
    const QByteArray &mediaId, const QByteArray &head = "CVN-HEAD-7Q2", const QByteArray &tail = "SDHC-8GB")
{
    return head + mediaSeparator + "  " + mediaId + ' ' + mediaSeparator + tail;
}

} // namespace Kit
