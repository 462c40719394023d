#pragma once

#include <QDialog>
#include <QString>

#include "service/versioninfo.h"

class ChartService;

namespace Ui {
class About;
}

// Version text of this build in the service's number form: "2.7.6.0" becomes
// "2.760" so that it compares as one decimal number.
QString appVersionText();

// Difference between this build's version number and the service's latest
// one; below zero means a newer version exists.
double versionDifference(const QString &versionText, const VersionInfo &latest);

class About : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(About)

public:
    explicit About(ChartService *service, QWidget *parent = nullptr);
    ~About() override;

private:
    void showVersion(const VersionInfo &latest);

    QString versionText;
    Ui::About *ui;
};
