#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include "card/cardidentity.h"
#include "catalogue/product.h"
#include "catalogue/rqcardplan.h"
#include "window/jobtext.h"

class AutoResume;
class Catalogue;
class CardModel;
class ChartService;
class Job;
class JobRow;
class QSystemTrayIcon;
namespace Ui {
class NewWindow;
}

// The window's side of the jobs: it makes the job the user asked for, puts
// its row in the download area and keeps the lines under it, the tray's tip
// and the card model in step with what the job says. At most one job with
// a row runs; a registration or a restoration runs beside the window
// without one. While a job is unfinished the window's controls are locked.
class JobController : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(JobController)

public:
    JobController(Ui::NewWindow *ui, ChartService *service, Catalogue *catalogue, CardModel *card,
                  QSystemTrayIcon *tray, QObject *parent);
    ~JobController() override;

    void setSession(const QString &sessionId) { session = sessionId; }

    // replaces: the product on the card the user agreed to replace (empty: none).
    void download(const Product &product, const CardIdentity &card, const QString &replaces = QString());
    void verify(const Product &product, const CardIdentity &card);
    // validate: the card has the service's build already; the update checks it.
    void update(const RqCardPlan &plan, const CardIdentity &card, bool validate = false);
    // Registration or restoration of an RQ card, without a row.
    void prepareRqCard(const RqCardPlan &plan, const CardIdentity &card);
    bool preparingRqCard() const { return background; }

    Job *current() const { return job; }
    JobText::Kind currentKind() const { return kind; }
    qint64 elapsedMs() const { return clock.isValid() ? clock.elapsed() : 0; }
    // A job was started and has not ended: the controls stay locked.
    bool busy() const;
    // The row and the lines go (the user chose another product); a job that
    // has not ended stays.
    void clearFinished();
    // The chosen card went, or came back.
    void cardLost();
    void cardBack();

signals:
    void busyChanged(bool busy);
    // A job with a row ended (Done, Failed, Cancelled).
    void ended(Job *job);
    // The job with a row settled in Paused (by the user, the card, the
    // network or failed files: its pause reason says which).
    void paused(Job *job);
    // A registration or restoration ended.
    void rqCardPrepared(Job *job);
    // The job's words changed: for the tray and whoever shows them.
    void statusChanged();

private:
    void adopt(Job *job, JobText::Kind kind);
    void showLines();
    void handleFinished();

    Ui::NewWindow *ui;
    ChartService *service;
    Catalogue *catalogue;
    CardModel *card;
    QSystemTrayIcon *tray;
    QString session;
    QPointer<Job> job;
    QPointer<JobRow> row;
    QPointer<Job> background;
    QPointer<AutoResume> retry;
    // Counts the wait to the next try down on the status line.
    QTimer countdown;
    JobText::Kind kind = JobText::Kind::Download;
    QElapsedTimer clock;
    // The chosen card came back after the job paused for it.
    bool cardReturned = false;
};
