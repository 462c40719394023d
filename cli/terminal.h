#pragma once

#include <QString>

// The user's terminal, where there is one: whether a stream is one, how
// wide it is, and the sign-in prompt. The password is read with echo off
// and the terminal is put back as it was whatever happens, Ctrl-C included.
class Terminal
{
public:
    Terminal() = delete;

    static bool isTerminal(int fd);
    // Columns of the terminal on fd; 80 when it cannot be told.
    static int columns(int fd);

    // A line typed on standard input after prompt (written to standard
    // error, so that standard output stays the command's). Returns false
    // when input ended or a signal came; *signalNumber then says which, or
    // stays 0.
    static bool readLine(const QString &prompt, QString *line, int *signalNumber);
    // The same without echo.
    static bool readHidden(const QString &prompt, QString *line, int *signalNumber);

private:
    static bool read(const QString &prompt, bool echo, QString *line, int *signalNumber);
};
