#pragma once

#include <QDialog>

namespace Ui {
class SettingsDialog;
}

// The settings a user may change from the window (config.ini
// "downloadConcurrency" and "readBackAfterWriting"); they take effect with
// the next job.
class SettingsDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SettingsDialog)

public:
    explicit SettingsDialog(QWidget *parent = nullptr);
    ~SettingsDialog() override;

    void accept() override;

private:
    Ui::SettingsDialog *ui;
};
