#pragma once

#include <QJsonObject>
#include <QString>

// Where the command line's words go. With --json, standard output carries
// one JSON object per line and nothing else; otherwise results go to
// standard output and errors to standard error as plain lines, and on a
// terminal a progress bar is redrawn in place on one line. Every write is
// flushed at once: a script reads the lines as they come.
class Printer
{
public:
    enum class Mode {
        Json,
        Bar, // plain lines, and a progress bar: standard output is a terminal
        Lines, // plain lines only
    };

    explicit Printer(Mode mode);
    ~Printer();
    Q_DISABLE_COPY_MOVE(Printer)

    // The text with every control character but a line break and a tab
    // written out as \xNN.
    // Line breaks and tabs kept as they are, or shown as \xNN too.
    enum class Lines { Kept, Escaped };
    static QString printable(const QString &text, Lines lines = Lines::Kept);

    // --json, or a bar when standard output is a terminal, or plain lines.
    static Mode modeFor(bool json);

    Mode mode() const { return current; }
    bool isJson() const { return current == Mode::Json; }

    // One object on its own line (JSON mode only).
    void event(const QJsonObject &object);
    // A line of results (plain modes only).
    void line(const QString &text);
    // A line on standard error (plain modes only).
    void error(const QString &text);
    // Redraws the bar's line (bar mode only).
    void bar(const QString &text);
    // Leaves the bar's line as it is and goes on below it.
    void endBar();

private:
    void clearBar();

    Mode current;
    bool barShown = false;
};
