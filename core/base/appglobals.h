#pragma once

#include <QString>
#include <QThread>

// Process-wide paths, set once by prepareDataFolder() before the application
// object exists and never changed afterwards.
extern QString configFilePath;
extern QString logFilePath;
extern QString appDataFolder;

// Built during static initialisation with the current year; shown by About
// and in the main window's title.
extern const QString copyrightNotice;

// The service base URL: the build-time default, or QUORVEL_SERVICE_URL from
// the environment when that is set.
QString serviceBaseUrl();
