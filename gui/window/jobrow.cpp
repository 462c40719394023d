#include "window/jobrow.h"
#include "ui_jobrow.h"

#include "base/utilities.h"

JobRow::JobRow(Job *job, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::JobRow)
    , watched(job)
{
    ui->setupUi(this);
    ui->productName->setText(job->title());
    connect(job, &Job::stageChanged, this, &JobRow::showStage);
    connect(job, &Job::progressChanged, this, &JobRow::showProgress);
    connect(ui->pauseButton, &QPushButton::clicked, this, &JobRow::pressPause);
    connect(ui->cancelButton, &QPushButton::clicked, job, &Job::cancel);
    showStage();
    showProgress(job->progress());
}

JobRow::~JobRow()
{
    delete ui;
}

void JobRow::pressPause()
{
    if (!watched)
        return;
    if (watched->isPaused())
        watched->resume();
    else
        watched->pause();
}

void JobRow::showStage()
{
    if (!watched)
        return;
    const bool paused = watched->isPaused();
    if (paused)
        ui->pauseButton->resumeReady();
    else
        ui->pauseButton->pauseReady();
    ui->pauseButton->setEnabled(watched->canPause() || watched->canResume());
    ui->cancelButton->setEnabled(watched->canCancel());
    ui->pauseButton->setVisible(!watched->isFinished());
    ui->cancelButton->setVisible(!watched->isFinished());
}

void JobRow::showProgress(const JobProgress &progress)
{
    if (progress.bytesTotal <= 0)
        return;
    const int percent = progress.percent();
    ui->progressBar->setValue(percent);
    ui->progressPercentageLabel->setText(QString::number(percent) + QLatin1Char('%'));
    const QString unit = progress.bytesTotal < 0x40000000 ? QStringLiteral("MB") : QStringLiteral("GB");
    ui->sizeInfo->setText(Utilities::kbToReadable(double(progress.bytesDone / 1024), unit, false)
                          + QStringLiteral(" / ")
                          + Utilities::kbToReadable(double(progress.bytesTotal / 1024), unit, true));
}
