#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The few options the tool answers on the command line. They are handled
// before anything else in main(): "--version" must work on a machine without
// a display, and must not empty the log of a copy of the tool that is running.
namespace CommandLine {

struct Outcome
{
    // Set when the process should end now with this code instead of starting.
    std::optional<int> exitCode;
    QString standardOutput;
    QString standardError;
};

// Reads the arguments (the program name first, as in argv). Options that the
// toolkit itself understands (-platform, -style, ...) pass through untouched.
Outcome parse(const QStringList &arguments);

// Parses argv, prints what parse() produced and returns the exit code when
// the process should end.
std::optional<int> handle(int argc, char *argv[]);

// Why the tool cannot open a window, or nothing when it can. Without a
// display the toolkit aborts with a core dump and says why only in the log.
std::optional<QString> missingDisplay(int argc, char *argv[]);

} // namespace CommandLine
