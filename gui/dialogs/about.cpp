#include "dialogs/about.h"
#include "ui_about.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPalette>

#include "base/appglobals.h"

QString appVersionText()
{
    QString version = QCoreApplication::applicationVersion();
    if (version.isEmpty())
        version = QStringLiteral("2.7.6.0");
    QStringList parts = version.split(QLatin1Char('.'));
    const QString first = parts.takeFirst();
    return first + QLatin1Char('.') + parts.join(QString());
}

static QJsonObject downloadToolObject(const QJsonObject &versionReply)
{
    return versionReply.value(QStringLiteral("desktop")).toObject().value(QStringLiteral("download_tool")).toObject();
}

double versionDifference(const QString &versionText, const QJsonObject &versionReply)
{
    // Compared in single precision on both sides so that equal texts give
    // exactly zero.
    const float latest = downloadToolObject(versionReply).value(QStringLiteral("latest_version")).toString().toFloat();
    return double(versionText.toFloat() - latest);
}

QString latestVersionUrl(const QJsonObject &versionReply)
{
    return downloadToolObject(versionReply).value(QStringLiteral("macos_download_url")).toString();
}

About::About(QWidget *parent)
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
    connect(client.manager, &QNetworkAccessManager::finished, this, &About::handleResponse);
    client.get(QStringLiteral("/firmware_versions"));
}

About::~About()
{
    delete ui;
}

void About::handleResponse(QNetworkReply *response)
{
    if (response->error() != QNetworkReply::NoError) {
        qDebug() << response->errorString();
        response->deleteLater();
        return;
    }
    if (response->url().path().section(QLatin1Char('/'), -1) != QLatin1String("firmware_versions")) {
        response->deleteLater();
        return;
    }

    const QJsonObject object = QJsonDocument::fromJson(response->readAll()).object();
    const double difference = versionDifference(versionText, object);
    if (difference < 0) {
        ui->updateLnk->setText(QStringLiteral("<a href=\"") + latestVersionUrl(object) + QStringLiteral("\">Update</a>"));
        ui->versionLabel->setText(QStringLiteral("Version: ") + versionText + QStringLiteral(" (New version available)"));
        qDebug() << "New application version available.";
    } else if (difference > 0) {
        ui->versionLabel->setText(QStringLiteral("Version: ") + versionText);
    } else {
        ui->updateLnk->hide();
    }
    response->deleteLater();
}
