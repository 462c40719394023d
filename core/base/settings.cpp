#include "base/settings.h"

Settings::Settings(const QString &path)
    : QSettings(path, QSettings::IniFormat)
    , path(path)
{
}

Settings::~Settings() = default;

QString Settings::valueOrInit(const QString &key, const QString &defaultValue)
{
    if (contains(key))
        return value(key).toString();
    setValue(key, defaultValue);
    return defaultValue;
}
