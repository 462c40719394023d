#include "dialogs/about.h"
#include "ui_about.h"

#include <QCoreApplication>
#include <QDebug>
#include <QPalette>

#include "base/appglobals.h"
#include "service/chartservice.h"

QString appVersionText()
{
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QStringLiteral(QUORVEL_VERSION) : version;
}

QString versionNumber(const QString &version)
{
    QStringList parts = version.split(QLatin1Char('.'));
    const QString first = parts.takeFirst();
    return first + QLatin1Char('.') + parts.join(QString());
}

double versionDifference(const QString &version, const VersionInfo &latest)
{
    // Compared in single precision on both sides so that equal texts give
    // exactly zero.
    return double(versionNumber(version).toFloat() - latest.latestVersion.toFloat());
}

About::About(ChartService *service, QWidget *parent)
    : QDialog(parent)
    , versionText(appVersionText())
    , ui(new Ui::About)
{
    ui->setupUi(this);
    // Links in the dialog's own amber rather than the default blue, which
    // is hard to read on the dark grey.
    QPalette palette = ui->updateLnk->palette();
    palette.setColor(QPalette::Link, QColor(0xFD, 0xB9, 0x24));
    ui->updateLnk->setPalette(palette);
    ui->versionLabel->setText(QStringLiteral("Version: ") + versionText + QStringLiteral(" (Up to date)"));
    ui->copyrightLabel->setText(copyrightNotice);
    ServiceCall<VersionInfo> *call = service->version();
    connect(call, &ServiceReply::finished, this, [this, call] {
        if (call->ok())
            showVersion(call->value());
        else
            qDebug() << "version not known:" << call->error().message;
    });
}

About::~About()
{
    delete ui;
}

void About::showVersion(const VersionInfo &latest)
{
    const double difference = versionDifference(versionText, latest);
    if (difference < 0) {
        ui->updateLnk->setText(QStringLiteral("<a href=\"") + latest.downloadUrl.toHtmlEscaped()
                               + QStringLiteral("\">Update</a>"));
        ui->versionLabel->setText(QStringLiteral("Version: ") + versionText + QStringLiteral(" (New version available)"));
        qDebug() << "New application version available.";
    } else if (difference > 0) {
        ui->versionLabel->setText(QStringLiteral("Version: ") + versionText);
    } else {
        ui->updateLnk->hide();
    }
}
