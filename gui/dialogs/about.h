#pragma once

#include <QDialog>
#include <QJsonObject>
#include <QString>

#include "shell/serviceclient.h"

class QNetworkReply;

namespace Ui {
class About;
}

// Version text of this build in the service's number form: "2.7.6.0" becomes
// "2.760" so that it compares as one decimal number.
QString appVersionText();

// Difference between this build's version number and the service's latest
// one; below zero means a newer version exists.
double versionDifference(const QString &versionText, const QJsonObject &versionReply);

// URL of the download page of the latest version, from the version reply.
QString latestVersionUrl(const QJsonObject &versionReply);

class About : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(About)

public:
    explicit About(QWidget *parent = nullptr);
    ~About() override;

public slots:
    void handleResponse(QNetworkReply *response);

private:
    QString versionText;
    Ui::About *ui;
    ServiceClient client;
};
