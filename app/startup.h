#pragma once

#include <QtGlobal>
#include <QString>

// The steps of start-up that run before the application object exists:
// data folder, paths, log truncation, log handler, first settings key.
// main() calls it; the tests call it to reproduce a start.
void prepareStartup();

// Loads the bundled faces and makes "Myriad Pro" the application font.
// Needs the application object; main() and the window driver share it so
// that both show the same text.
void installApplicationFont();

void myMessageOutput(QtMsgType type, const QMessageLogContext &context, const QString &msg);
