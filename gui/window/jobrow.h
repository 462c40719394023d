#pragma once

#include <QPointer>
#include <QWidget>

#include "download/job.h"

namespace Ui {
class JobRow;
}

// The row under the product list that shows one job: its name, a bar with
// the stage's progress, the bytes, and the buttons that pause, resume and
// cancel it. It shows what the job says and nothing else; the buttons are
// the job's commands.
class JobRow : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(JobRow)

public:
    JobRow(Job *job, QWidget *parent = nullptr);
    ~JobRow() override;

    Job *job() const { return watched; }

private:
    void showStage();
    void showProgress(const JobProgress &progress);
    void pressPause();

    Ui::JobRow *ui;
    QPointer<Job> watched;
};
