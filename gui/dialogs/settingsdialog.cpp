#include "dialogs/settingsdialog.h"
#include "ui_settingsdialog.h"

#include <QPushButton>

#include "base/appglobals.h"
#include "base/settings.h"
#include "download/joboptions.h"

SettingsDialog::SettingsDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::SettingsDialog)
{
    ui->setupUi(this);
    setObjectName(QStringLiteral("settingsDialog"));
    const JobOptions options = JobOptions::fromSettings();
    ui->concurrencyBox->setValue(options.concurrency);
    ui->readBackBox->setChecked(options.readBack);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);
}

SettingsDialog::~SettingsDialog()
{
    delete ui;
}

void SettingsDialog::accept()
{
    Settings settings(configFilePath);
    settings.setValue(SettingsKeys::downloadConcurrency, QString::number(ui->concurrencyBox->value()));
    settings.setValue(SettingsKeys::readBackAfterWriting,
                      ui->readBackBox->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
    settings.sync();
    QDialog::accept();
}
