#pragma once

#include <QSettings>
#include <QString>

// config.ini. Every first read of a key that has a default goes through
// valueOrInit, so a fresh file fills itself with the defaults as the tool runs.
class Settings : public QSettings
{
public:
    explicit Settings(const QString &path);
    ~Settings() override;

    QString valueOrInit(const QString &key, const QString &defaultValue);

    const QString path;
};

namespace SettingsKeys {
inline const QString domain = QStringLiteral("domain");
inline const QString termsAgreed = QStringLiteral("termsAgreed");
inline const QString email = QStringLiteral("email");
inline const QString rememberMe = QStringLiteral("rememberMe");
inline const QString password = QStringLiteral("password");
inline const QString tab = QStringLiteral("Tab");
inline const QString mediaIdFile = QStringLiteral("mediaIdFile");
inline const QString downloadConcurrency = QStringLiteral("downloadConcurrency");
// "1" (the default): every file written is read back from the card before
// the run is reported complete; "0" leaves that out.
inline const QString readBackAfterWriting = QStringLiteral("readBackAfterWriting");
} // namespace SettingsKeys
