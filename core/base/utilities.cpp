#include "base/utilities.h"

#include <QDebug>

namespace Utilities {

int watchdogSecondsFromEnvironment()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("QUORVEL_WATCHDOG_SECONDS", &ok);
    return ok && seconds > 0 ? seconds : defaultWatchdogSeconds;
}

QString kbToReadable(double kb, QString fileSize, bool withUnit)
{
    if (kb < 0) {
        qDebug() << "Improper use of Utilities::kbToReadable function. Kb parameter cannot be negative.";
        return QString();
    }

    constexpr double perKilo = 1.0 / 1024;
    QString result;
    QString unit;

    if (fileSize == QLatin1String("KB")) {
        result = QString::number(kb, 'f', 2);
        unit = fileSize;
    } else if (fileSize == QLatin1String("MB")) {
        result = QString::number(kb * perKilo, 'f', 2);
        unit = fileSize;
    } else if (fileSize == QLatin1String("GB")) {
        result = QString::number(kb * perKilo * perKilo, 'f', 2);
        unit = fileSize;
    } else {
        // The unit is chosen on the unrounded value, so 1048575 KiB reads 1024.00 MB.
        double value = kb;
        unit = QStringLiteral("KB");
        if (value >= 1024) {
            value = kb * perKilo;
            unit = QStringLiteral("MB");
            if (value >= 1024) {
                value = kb * perKilo * perKilo;
                unit = QStringLiteral("GB");
            }
        }
        if (fileSize.isEmpty())
            result = QString::number(value, 'f', 2);
        else
            qDebug() << "Improper use of Utilities::kbToReadable function. fileSize parameter (if supplied) can only be KB, MB or GB.";
    }

    if (withUnit)
        result += QLatin1Char(' ') + unit;
    return result;
}

} // namespace Utilities
