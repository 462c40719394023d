#include "window/jobcontroller.h"
#include "ui_newwindow.h"

#include <QLayout>
#include <QSystemTrayIcon>

#include "card/cardmodel.h"
#include "download/autoresume.h"
#include "catalogue/catalogue.h"
#include "download/joboptions.h"
#include "download/productjob.h"
#include "download/registrationjob.h"
#include "download/restorationjob.h"
#include "download/rqupdatejob.h"
#include "download/verifyjob.h"
#include "widgets/wrappabletext.h"
#include "window/jobrow.h"

JobController::JobController(Ui::NewWindow *ui, ChartService *chartService, Catalogue *products, CardModel *cardModel,
                             QSystemTrayIcon *trayIcon, QObject *parent)
    : QObject(parent)
    , ui(ui)
    , service(chartService)
    , catalogue(products)
    , card(cardModel)
    , tray(trayIcon)
{
    ui->downloadStageLabel->hide();
    ui->downloaderWidget->hide();
    countdown.setInterval(1000);
    connect(&countdown, &QTimer::timeout, this, &JobController::showLines);
}

JobController::~JobController()
{
    // The jobs end before the window's widgets their rows live in.
    delete row.data();
    delete job.data();
    delete background.data();
}

bool JobController::busy() const
{
    return job && job->isUnfinished();
}

void JobController::download(const Product &product, const CardIdentity &chosen, const QString &replaces)
{
    if (busy())
        return;
    auto *started = new ProductJob(service, product, session, chosen, JobOptions::fromSettings(), this);
    if (!replaces.isEmpty())
        started->agreeToReplace(replaces);
    connect(started, &ProductJob::activated, catalogue, &Catalogue::bind);
    adopt(started, JobText::Kind::Download);
}

void JobController::verify(const Product &product, const CardIdentity &chosen)
{
    if (busy())
        return;
    adopt(new VerifyJob(service, product, session, chosen, this), JobText::Kind::Verify);
}

void JobController::update(const RqCardPlan &plan, const CardIdentity &chosen, bool validate)
{
    if (busy())
        return;
    adopt(new RqUpdateJob(service, plan.product, chosen, plan.containerFile, JobOptions::fromSettings(), this),
          validate ? JobText::Kind::Validate : JobText::Kind::Update);
}

void JobController::prepareRqCard(const RqCardPlan &plan, const CardIdentity &chosen)
{
    // One at a time; its end reads the card again.
    if (background)
        return;
    Job *started = nullptr;
    if (plan.step == RqCardPlan::Register)
        started = new RegistrationJob(service, plan.product, session, chosen, plan.containerFile, this);
    else if (plan.step == RqCardPlan::Restore)
        started = new RestorationJob(service, plan.product, chosen, plan.chain, this);
    if (!started)
        return;
    background = started;
    connect(started, &Job::finished, this, [this, started] {
        emit rqCardPrepared(started);
        started->deleteLater();
    });
    started->start();
}

void JobController::adopt(Job *started, JobText::Kind jobKind)
{
    clearFinished();
    job = started;
    kind = jobKind;
    cardReturned = false;
    clock.restart();
    row = new JobRow(started, ui->downloadArea);
    row->setObjectName(QStringLiteral("jobRow"));
    ui->downloaderWidget->hide();
    ui->downloadArea->layout()->addWidget(row);
    connect(started, &Job::stageChanged, this, [this] {
        // What the card holds changes as the job goes (the vmid is written
        // while it prepares): each stage is read again.
        if (job && kind == JobText::Kind::Download)
            card->setWriting(job->isUnfinished() && job->stage() != Job::Stage::Activating);
        card->refresh();
        showLines();
        if (job && job->isPaused())
            emit paused(job);
    });
    connect(started, &Job::progressChanged, this, &JobController::showLines);
    connect(started, &Job::finished, this, &JobController::handleFinished);
    retry = new AutoResume(started, started);
    connect(retry, &AutoResume::scheduled, this, [this](qint64 ms) {
        if (ms >= 0)
            countdown.start();
        else
            countdown.stop();
        showLines();
    });
    started->start();
    showLines();
    // A job that ended at once (a card refused before anything ran) has
    // already said so.
    if (busy())
        emit busyChanged(true);
}

void JobController::showLines()
{
    if (!job)
        return;
    const QString stage = JobText::stage(*job, kind);
    ui->downloadStageLabel->setText(stage);
    ui->downloadStageLabel->setVisible(!stage.isEmpty());
    ui->downloadStatusLabel->setText(
        wrappableText(JobText::status(*job, kind, retry ? retry->msUntilTry() : -1, cardReturned)));
    tray->setToolTip(JobText::trayTip(*job, kind));
    emit statusChanged();
}

void JobController::handleFinished()
{
    Job *ended = qobject_cast<Job *>(sender());
    if (!ended || ended != job)
        return;
    card->setWriting(false);
    card->refresh();
    showLines();
    emit busyChanged(false);
    emit this->ended(ended);
}

void JobController::clearFinished()
{
    if (busy())
        return;
    ui->downloadStatusLabel->clear();
    ui->downloadStageLabel->clear();
    ui->downloadStageLabel->hide();
    delete row.data();
    if (job)
        job->deleteLater();
    job = nullptr;
}

void JobController::cardLost()
{
    cardReturned = false;
    if (busy())
        job->cardWentAway();
}

void JobController::cardBack()
{
    cardReturned = true;
    // The panel shows the card as it is now, not the blank of its absence.
    card->refresh();
    showLines();
}
