#include "shell/applicationfont.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>

void installApplicationFont()
{
    QFontDatabase::addApplicationFont(QStringLiteral(":/resources/fonts/MyriadPro-Bold.ttf"));
    QFontDatabase::addApplicationFont(QStringLiteral(":/resources/fonts/MyriadPro-Regular.ttf"));
    // The bundled faces register as "Carlito"; the forms ask for "Myriad Pro".
    QFont::insertSubstitution(QStringLiteral("Myriad Pro"), QStringLiteral("Carlito"));

    QFont font(QStringLiteral("Myriad Pro"));
    // A font built from a family alone is 12 points, a third larger than the
    // desktop's text; the fixed-width columns (a row's 67-pixel size) are
    // drawn for the desktop's size, so that one is kept.
    const QFont desktop = QApplication::font();
    if (desktop.pointSizeF() > 0)
        font.setPointSizeF(desktop.pointSizeF());
    else if (desktop.pixelSize() > 0)
        font.setPixelSize(desktop.pixelSize());
    font.setStyleHint(QFont::Monospace, QFont::PreferDefault);
    QApplication::setFont(font);
}
