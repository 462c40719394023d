#pragma once

#include <QtGlobal>
#include <QString>

// The steps of start-up that run before the application object exists:
// data folder (the user's alone: mode mask and narrowing of what an older
// version left readable), paths, log truncation, log handler, first
// settings key.
// main() calls it; the tests call it to reproduce a start.
void prepareStartup();

void myMessageOutput(QtMsgType type, const QMessageLogContext &context, const QString &msg);
