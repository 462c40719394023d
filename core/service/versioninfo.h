#pragma once

#include <QString>

// The service's word on the newest version of the tool.
struct VersionInfo
{
    QString latestVersion;
    QString downloadUrl;
};
