#pragma once

#include <QByteArray>

// Product pictures without a GUI library: a striped RGB picture encoded as
// a real PNG (zlib stream from Qt Core, CRCs computed here).
class PngImage
{
public:
    static QByteArray striped(int width, int height, quint32 rgb, quint32 seed);
};
