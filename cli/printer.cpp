#include "printer.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>
#include <unistd.h>

#include "terminal.h"

Printer::Printer(Mode mode)
    : current(mode)
{
}

Printer::~Printer()
{
    endBar();
}

QString Printer::printable(const QString &text, Lines lines)
{
    // Names and messages come from the card and the service: a control
    // character among them would be obeyed by the terminal (a title set, a
    // line wiped, colours), so it is shown as what it is instead.
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool kept = lines == Lines::Kept && (u == u'\n' || u == u'\t');
        const bool control = (u < 0x20 && !kept) || (u >= 0x7f && u < 0xa0);
        // Marks that turn the rest of a line around or break it where no
        // line break is seen.
        const bool layout = (u >= 0x200e && u <= 0x200f) || (u >= 0x2028 && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069);
        if (control)
            shown += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        else if (layout)
            shown += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        else if (u == u'\\' && lines == Lines::Escaped)
            shown += QStringLiteral("\\\\"); // a name's own "\x0a" is not a line break shown
        else
            shown += c;
    }
    return shown;
}

Printer::Mode Printer::modeFor(bool json)
{
    if (json)
        return Mode::Json;
    return Terminal::isTerminal(STDOUT_FILENO) ? Mode::Bar : Mode::Lines;
}

void Printer::event(const QJsonObject &object)
{
    if (current != Mode::Json)
        return;
    // The event's name first, so that a person reading the stream (or grep)
    // sees what each line is; the other fields follow in the usual order.
    QJsonObject rest = object;
    const QJsonValue name = rest.take(QStringLiteral("event"));
    QByteArray text = QJsonDocument(rest).toJson(QJsonDocument::Compact);
    if (!name.isUndefined()) {
        const QByteArray head = "{\"event\":"
            + QJsonDocument(QJsonArray { name }).toJson(QJsonDocument::Compact).mid(1).chopped(1);
        text = head + (rest.isEmpty() ? QByteArray("}") : ',' + text.mid(1));
    }
    text.append('\n');
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

void Printer::line(const QString &text)
{
    if (current == Mode::Json)
        return;
    clearBar();
    std::fputs((printable(text) + QLatin1Char('\n')).toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

void Printer::error(const QString &text)
{
    if (current == Mode::Json)
        return;
    clearBar();
    std::fputs((printable(text) + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

void Printer::bar(const QString &text)
{
    if (current != Mode::Bar)
        return;
    // Cut to the terminal's width: a wrapped bar would leave a line behind
    // at every redraw.
    const QString shown = printable(text).left(qMax(1, Terminal::columns(STDOUT_FILENO) - 1));
    std::fputs(("\r\033[K" + shown.toLocal8Bit()).constData(), stdout);
    std::fflush(stdout);
    barShown = true;
}

void Printer::endBar()
{
    if (!barShown)
        return;
    std::fputc('\n', stdout);
    std::fflush(stdout);
    barShown = false;
}

void Printer::clearBar()
{
    if (!barShown)
        return;
    std::fputs("\r\033[K", stdout);
    barShown = false;
}
