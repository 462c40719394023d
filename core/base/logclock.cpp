#include "base/logclock.h"

#include <QDateTime>

#include <limits>

namespace {

struct Second
{
    qint64 number = std::numeric_limits<qint64>::min();
    QByteArray stamp; // up to the seconds, with the dot after them
    QString textDate;
};

const Second &secondOf(qint64 msecs)
{
    thread_local Second cached;
    // Whole seconds, rounded down also before 1970.
    const qint64 number = msecs >= 0 ? msecs / 1000 : -((-msecs + 999) / 1000);
    if (number != cached.number) {
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(number * 1000);
        cached.number = number;
        cached.stamp = local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.")).toLatin1();
        cached.textDate = local.toString(Qt::TextDate);
    }
    return cached;
}

} // namespace

QByteArray LogClock::stamp()
{
    return stamp(QDateTime::currentMSecsSinceEpoch());
}

QByteArray LogClock::stamp(qint64 msecsSinceEpoch)
{
    const Second &second = secondOf(msecsSinceEpoch);
    const int millis = int(msecsSinceEpoch - second.number * 1000);
    QByteArray text = second.stamp;
    text.append(char('0' + millis / 100))
        .append(char('0' + millis / 10 % 10))
        .append(char('0' + millis % 10));
    return text;
}

QString LogClock::textDate()
{
    return textDate(QDateTime::currentMSecsSinceEpoch());
}

QString LogClock::textDate(qint64 msecsSinceEpoch)
{
    return secondOf(msecsSinceEpoch).textDate;
}

QString LogClock::prefix(const QString &context)
{
    return QLatin1Char('[') + textDate() + QStringLiteral("][") + context + QLatin1Char(']');
}
