#include "ui/downloadcontrol.h"
#include "ui_newwindow.h"

#include <QLayout>

#include "download/pausebutton.h"

namespace {

// The downloader's own estimate needs 10 MiB in one window, which a slow
// line or a small product may not reach for most of the download; the
// window fills in from the byte count over the last few seconds until it
// does.
constexpr int sampleEveryMs = 1000;
constexpr int samplesKept = 6;
constexpr qint64 downloaderQuietMs = 3000;

} // namespace

DownloadControl::DownloadControl(Ui::NewWindow *ui, QObject *parent)
    : QObject(parent)
    , ui(ui)
{
    ui->downloadStageLabel->hide();
    ui->downloaderWidget->hide();
    speedTimer.setInterval(sampleEveryMs);
    connect(&speedTimer, &QTimer::timeout, this, &DownloadControl::sampleSpeed);
}

DownloadControl::~DownloadControl()
{
    for (ProductDownloader *downloader : {currentDownloader.data(), restoringDownloader.data(), registeringDownloader.data()}) {
        if (downloader)
            downloader->deleteLater();
    }
}

void DownloadControl::forget(QPointer<ProductDownloader> &downloader)
{
    if (!downloader)
        return;
    downloader->disconnect(parent());
    downloader->deleteLater();
    downloader = nullptr;
}

ProductDownloader *DownloadControl::create(AbstractProduct *product)
{
    auto *downloader = new ProductDownloader(ui->downloadArea, product);
    ui->downloaderWidget->hide();
    ui->downloadArea->layout()->addWidget(downloader);
    currentDownloader = downloader;
    return downloader;
}

void DownloadControl::started(ProductDownloader *downloader)
{
    currentDownloader = downloader;
    locked = true;
    cardMissing = false;
    clock.restart();
    samples.clear();
    sinceDownloaderSpeed.invalidate();
    speedTimer.start();
}

void DownloadControl::ended()
{
    locked = false;
    speedTimer.stop();
}

void DownloadControl::clear()
{
    ui->downloadStatusLabel->clear();
    ui->downloadStageLabel->clear();
    ui->downloadStageLabel->hide();
    forget(currentDownloader);
    ui->downloaderWidget->hide();
}

void DownloadControl::dropIdle()
{
    ui->downloadStatusLabel->clear();
    ui->downloadStageLabel->clear();
    ui->downloadStageLabel->hide();
    // A finished or never-started downloader goes; one that still moves
    // bytes keeps running.
    if (!locked)
        forget(currentDownloader);
}

bool DownloadControl::pausedNow() const
{
    if (!currentDownloader)
        return false;
    // Paused and offering Resume; while a resume is starting the button is
    // disabled again.
    const auto *pause = currentDownloader->findChild<PauseButton *>(QStringLiteral("pauseButton"));
    return pause && pause->isPaused() && pause->isEnabled();
}

void DownloadControl::showStatus(const QString &msg, bool ownEstimate)
{
    if (!ownEstimate && msg.startsWith(QLatin1String("@ ")))
        sinceDownloaderSpeed.start();
    ui->downloadStatusLabel->setText(msg);
    // A settled pause is reported with an empty status only, and the stage
    // shown before it no longer holds. Judged once the downloader has
    // finished what it is doing, since a resume also clears the status
    // before it disables the button.
    QTimer::singleShot(0, this, [this] {
        if (!locked || !pausedNow())
            return;
        ui->downloadStageLabel->setText(tr("Paused"));
        ui->downloadStageLabel->show();
        if (cardMissing)
            ui->downloadStatusLabel->setText(QStringLiteral("Please insert SD card."));
        else if (ui->downloadStatusLabel->text().isEmpty())
            ui->downloadStatusLabel->setText(tr("Press Resume to go on, or Cancel to stop."));
    });
}

void DownloadControl::showStage(const QString &msg)
{
    ui->downloadStageLabel->show();
    ui->downloadStageLabel->setText(msg);
}

void DownloadControl::showOutcome(const QString &stage, const QString &status)
{
    ui->downloadStageLabel->setText(stage);
    ui->downloadStageLabel->setVisible(!stage.isEmpty());
    ui->downloadStatusLabel->setText(status);
}

void DownloadControl::stoppedByError()
{
    if (!locked)
        return;
    ui->downloadStageLabel->show();
    if (cardMissing) {
        ui->downloadStageLabel->setText(tr("Paused"));
        ui->downloadStatusLabel->setText(QStringLiteral("Please insert SD card."));
        return;
    }
    ui->downloadStageLabel->setText(tr("Stopped by an error"));
    ui->downloadStatusLabel->setText(tr("Press Resume to try the failed files again, or Cancel to stop."));
}

QString DownloadControl::durationText(qint64 elapsedMs)
{
    const qint64 seconds = elapsedMs / 1000;
    if (seconds < 60)
        return QString::number(seconds) + QStringLiteral(" seconds");
    return QString::number(seconds / 60) + QStringLiteral(" minutes");
}

QString DownloadControl::withAdvice(const QString &msg)
{
    if (!msg.contains(QLatin1String("Network Error")))
        return msg;
    return msg + tr("<p>The connection to the chart service was lost. Check the computer's internet connection "
                    "and try again: the files already on the SD card are kept.</p>");
}

void DownloadControl::sampleSpeed()
{
    ProductDownloader *downloader = currentDownloader;
    if (!downloader || !downloader->busy()) {
        samples.clear();
        return;
    }
    samples.append({clock.elapsed(), downloader->doneBytes});
    while (samples.size() > samplesKept)
        samples.removeFirst();
    if (sinceDownloaderSpeed.isValid() && sinceDownloaderSpeed.elapsed() < downloaderQuietMs)
        return;
    if (samples.size() < 3)
        return;
    const qint64 ms = samples.last().first - samples.first().first;
    const qint64 bytes = samples.last().second - samples.first().second;
    if (ms <= 0 || bytes <= 0)
        return;
    const qint64 rate = bytes * 1000 / ms;
    const qint64 secondsLeft = (downloader->totalBytes - downloader->doneBytes) / rate;
    const qint64 megabits = qint64(rate / 1024.0 / 1024.0 * 8);
    emit speedEstimated(QStringLiteral("@ ") + QString::number(megabits) + QStringLiteral(" Mbps - ")
                        + ProductDownloader::formatTimeLeft(secondsLeft) + QStringLiteral(" left"));
}
