#pragma once

#include <QtGlobal>
#include <QString>

// The steps of start-up that run before the application object exists:
// data folder (the user's alone: mode mask and narrowing of what an older
// version left readable), paths, a new log file or not, log handler, first
// settings key.
// main() calls it; the tests call it to reproduce a start.
// Whether this run's log starts a file of its own (the last runs' logs
// kept beside it) or goes on at the end of the last run's.
enum class LogStart { NewFile, Append };
void prepareStartup(LogStart log = LogStart::NewFile);

// How many logs of earlier runs stay beside the current one.
constexpr int keptLogs = 4;
// current becomes current.1, current.1 becomes current.2, ... up to kept;
// the oldest goes.
void rotateLogs(const QString &current, int kept);

void myMessageOutput(QtMsgType type, const QMessageLogContext &context, const QString &msg);
