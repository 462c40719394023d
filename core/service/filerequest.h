#pragma once

#include <QNetworkRequest>
#include <QString>

// The request for one chart file (or a part of it).
QNetworkRequest chartFileRequest(const QString &url, const QString &range);
