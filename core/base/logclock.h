#pragma once

#include <QByteArray>
#include <QString>

// Local time as the log shows it. Turning the clock into local time is not
// cheap (the C library looks at the zone file's status every time), and the
// transfers write several lines for every file they move, each stamped
// twice; so each thread turns a second into text once and reuses it for
// every line within that second. A new second, or a clock that went back,
// is converted afresh, so a change of the zone's offset shows from the next
// second on.
class LogClock
{
public:
    // "yyyy-MM-dd HH:mm:ss.zzz", the stamp that starts every log line.
    static QByteArray stamp();
    static QByteArray stamp(qint64 msecsSinceEpoch);
    // The date in Qt::TextDate ("Mon Dec 7 03:13:24 2026").
    static QString textDate();
    static QString textDate(qint64 msecsSinceEpoch);
    // "[<text date>][context]": how the download engine's lines name what
    // they are about.
    static QString prefix(const QString &context);
};
