#pragma once

#include <QDialog>
#include <QString>

#include "service/versioninfo.h"

class ChartService;

namespace Ui {
class About;
}

// This build's version as the user reads it everywhere ("2.8.0").
QString appVersionText();
// A version in the service's number form: "2.7.6.0" becomes "2.760", so
// that it compares as one decimal number.
QString versionNumber(const QString &version);

// Difference between this build's version number and the service's latest
// one; below zero means a newer version exists.
double versionDifference(const QString &version, const VersionInfo &latest);

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
