#include "window/downloadcontrol.h"
#include "ui_newwindow.h"

#include <QFile>
#include <QJsonObject>
#include <QLayout>

#include "widgets/productgroup.h"
#include "widgets/pausebutton.h"
#include "window/cardpanel.h"
#include "window/catalogueloader.h"
#include "window/detailspane.h"
#include "window/newwindow.h"
#include "window/rqcardscan.h"

namespace {

// The downloader's own estimate needs 10 MiB in one window, which a slow
// line or a small product may not reach for most of the download; the
// window fills in from the byte count over the last few seconds until it
// does.
constexpr int sampleEveryMs = 1000;
constexpr int samplesKept = 6;
constexpr qint64 downloaderQuietMs = 3000;

} // namespace

DownloadControl::DownloadControl(NewWindow *window, Ui::NewWindow *ui, CardPanel *card, CatalogueLoader *catalogue,
                                 DetailsPane *details)
    : QObject(window)
    , window(window)
    , ui(ui)
    , card(card)
    , catalogue(catalogue)
    , details(details)
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

void DownloadControl::start()
{
    // A second press while a download runs would start a second one on the
    // same files.
    if (running())
        return;

    QFile media(card->mediaIdFile);
    if (card->mediaIdFile.isEmpty() || !media.open(QIODevice::ReadWrite)) {
        window->showMessage(QStringLiteral("Cannot open Media ID file."));
        window->disableBtns(false);
        return;
    }
    media.close();

    AbstractProduct *product = catalogue->group(window->currentProductType)->getSelectedProduct();
    if (!product)
        return;

    clear();
    ProductDownloader *downloader = window->addDownload(product);
    downloader->sessionId = window->sessionId;
    downloader->setMediaIdDir(card->mediaIdDir());

    started(downloader);
    window->disableBtns(true);
    window->tray->setToolTip(QStringLiteral("Download in progress: ") + downloader->name);

    if (product->productType == RqSd)
        downloader->updateRQ(&rq->container);
    else
        downloader->activateProduct();
}

void DownloadControl::productActivated(int subscriptionID, int expiration, const QString &mediaID)
{
    if (!current())
        return;
    AbstractProduct *product = catalogue->group(window->currentProductType)->getProduct(current()->productId);
    if (!product)
        return;
    Subscription *subscription = product->subscriptions.value(subscriptionID);
    if (!subscription) {
        subscription = new Subscription(QJsonObject{{QStringLiteral("subscription_id"), subscriptionID}});
        product->subscriptions.insert(subscriptionID, subscription);
    }
    subscription->deviceId = mediaID;
    subscription->expiration = expiration;
    // The product is now bound to this card; say so in its row and details
    // rather than keep the status read before the activation.
    emit window->rawMediaIdChanged(card->rawMediaId, card->skuOnCard, card->cardProductType);
    if (window->shownProduct == product)
        window->updateProductDisplay(product);
}

void DownloadControl::vmidUpdated(const QString &sku)
{
    card->skuOnCard = sku;
    bool vmidRead = false;
    cardSummaryRefresh(&vmidRead);
    if (vmidRead) {
        if (catalogue->group(VelmoraRegion)->getProduct(sku))
            card->cardProductType = VelmoraRegion;
        else if (catalogue->group(Talvos)->getProduct(sku))
            card->cardProductType = Talvos;
        card->showPicture();
    }
    const auto selected = catalogue->group(window->currentProductType)->getSelectedProducts();
    if (selected.size() == 1)
        window->updateProductDisplay(selected.first());
    emit window->rawMediaIdChanged(card->rawMediaId, card->skuOnCard, card->cardProductType);
}

void DownloadControl::allDone(const QString &sku)
{
    window->show();
    window->raise();
    window->activateWindow();
    card->skuOnCard = sku;
    cardSummaryRefresh();
    emit window->rawMediaIdChanged(card->rawMediaId, card->skuOnCard, card->cardProductType);

    window->disableBtns(false);
    details->setDownloadButton(ui->downloadBtn->text(), false);

    const QString productName = current() ? current()->name : sku;
    const QString duration = durationText(elapsedMs());
    const QString done = productName + QStringLiteral(" has been successfully downloaded to your SD card");
    window->tray->showMessage(productName + QStringLiteral(": download finished in ") + duration, done,
                      QSystemTrayIcon::Information, 10000);
    window->tray->setToolTip(QString());

    // The stage line is set before the modal box so that it is visible while
    // the box waits for the user.
    const bool rqCard = card->cardProductType == RqSd;
    if (rqCard)
        window->chartUpdateStatusChanged(AbstractProduct::UpToDateSameBuild);
    showOutcome(rqCard ? QStringLiteral("Update Complete") : QStringLiteral("Download Complete"), QString());

    const auto selected = catalogue->group(window->currentProductType)->getSelectedProducts();
    if (selected.size() == 1 && selected.first()->productType != RqSd)
        window->updateProductDisplay(selected.first());
    // The product can go onto the card again (or be checked again) without
    // choosing another one first.
    window->offerForSelected();

    if (window->isVisible())
        window->showMessage(done);
}

void DownloadControl::tmpError(const QString &msg)
{
    const QString productName = current() ? current()->name : QString();
    window->tray->showMessage(QStringLiteral("Download Error: ") + productName, msg, QSystemTrayIcon::Information, 10000);
    stoppedByError();
    if (window->isVisible() && !isCardMissing())
        window->showMessage(withAdvice(msg));
}

void DownloadControl::permError(const QString &msg)
{
    const QString productName = current() ? current()->name : QString();
    window->tray->showMessage(QStringLiteral("Download Error: ") + productName, msg, QSystemTrayIcon::Information, 10000);
    if (window->isVisible())
        window->showMessage(withAdvice(msg));
    clear();
    window->disableBtns(false);
    // The button comes back for the product still selected, so the user can
    // try again once the cause is fixed.
    window->offerForSelected();
    window->tray->setToolTip(QString());
}

void DownloadControl::cancelled()
{
    clear();
    window->disableBtns(false);
    const bool rqCard = card->cardProductType == RqSd;
    if (rqCard) {
        if (window->scanRQ())
            window->showNoRqIcon(false);
    } else {
        details->setDownloadButton(QStringLiteral("Redownload"), true);
        const auto selected = catalogue->group(window->currentProductType)->getSelectedProducts();
        if (selected.size() == 1)
            window->productButtonClicked(selected.first()->productId);
    }
    window->tray->setToolTip(QString());
    // The row disappears; say what became of the download.
    showOutcome(rqCard ? tr("Update Cancelled") : tr("Download Cancelled"),
                         tr("What is already on the SD card is kept; the next download goes on from there."));
}

void DownloadControl::cardSummaryRefresh(bool *vmidRead)
{
    card->refreshCapacity();
    const bool opened = card->readVmid();
    if (vmidRead)
        *vmidRead = opened;
    // An RQ card has no vmid file: its container names the chart.
    if (!opened && card->cardProductType == RqSd && !rq->container.chartName().isEmpty())
        card->skuOnCard = rq->container.chartName();
    card->showItemNumber();
}

void DownloadControl::statusUpdate(const QString &msg)
{
    const QString productName = current() ? current()->name : QString();
    // An empty status (the downloader clears it between stages) would leave
    // the tooltip ending in a bare colon.
    window->tray->setToolTip(msg.isEmpty() ? QStringLiteral("Download in progress: ") + productName
                                   : productName + QStringLiteral(": ") + msg);
    showStatus(msg);
}
