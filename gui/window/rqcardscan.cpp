#include "window/rqcardscan.h"
#include "ui_newwindow.h"

#include <QDebug>
#include <QDir>
#include <QLayout>

#include <algorithm>

#include "widgets/productgroup.h"
#include "widgets/productrow.h"
#include "widgets/rqsdproduct.h"
#include "window/cardpanel.h"
#include "window/catalogueloader.h"
#include "window/detailspane.h"
#include "window/downloadcontrol.h"

RqCardScan::RqCardScan(Ui::NewWindow *ui, CardPanel *card, CatalogueLoader *catalogue, DetailsPane *details,
                       DownloadControl *control, QString sessionId, QObject *parent)
    : QObject(parent)
    , ui(ui)
    , card(card)
    , catalogue(catalogue)
    , details(details)
    , control(control)
    , sessionId(std::move(sessionId))
{
}

void RqCardScan::findMatchedRqSku()
{
    // The bound subscription may have come with an earlier card; what counts
    // is the card chosen now.
    if (card->rawMediaId.isEmpty())
        return;
    QList<AbstractProduct *> products = catalogue->group(RqSd)->getProducts();
    std::sort(products.begin(), products.end(),
              [](const AbstractProduct *a, const AbstractProduct *b) { return a->sku < b->sku; });
    matchedRqSku.clear();
    for (AbstractProduct *product : std::as_const(products)) {
        if (product->getSubscription(card->rawMediaId)) {
            matchedRqSku = product->sku;
            return;
        }
    }
}

bool RqCardScan::scan()
{
    card->skuOnCard.clear();
    QLayout *layout = ui->rqScrollWidget->layout();
    while (QLayoutItem *item = layout->takeAt(0)) {
        if (QWidget *widget = item->widget())
            widget->deleteLater();
        delete item;
    }
    if (card->mediaIdFile.isEmpty())
        return false;

    findMatchedRqSku();
    ProductGroup *rqGroup = catalogue->group(RqSd);
    const QFileInfoList files = QDir(card->mediaIdDir()).entryInfoList({QStringLiteral("*.kim")}, QDir::Files, QDir::Unsorted);
    for (const QFileInfo &fileInfo : files) {
        Mik::MikFile found;
        try {
            found = Mik::MikFile(fileInfo.absoluteFilePath());
        } catch (const QString &message) {
            // An unreadable container is not this card's chart; the next
            // file may still be.
            qDebug() << "Skipping container" << fileInfo.fileName() << message;
            continue;
        }
        auto *product = qobject_cast<RqSdProduct *>(rqGroup->getProduct(found.chartName()));
        if (!product)
            continue;

        card->cardProductType = RqSd;
        const bool unknownToService = matchedRqSku.isEmpty();
        product->createRow(ui->rqScrollWidget, rqGroup->getButtonGroup());
        card->skuOnCard = found.chartName();
        container = found;
        chartUpdateStatus = product->getStatus(container);
        if (product->row)
            product->row->updateStatusText(chartUpdateStatusText(chartUpdateStatus));
        if (ui->tabWidget->currentIndex() == RqSd) {
            product->highlighted();
            product->selected = true;
        }
        offerButton();
        if (unknownToService)
            startRegistration(product);
        return true;
    }
    return startRestoration();
}

bool RqCardScan::startRestoration()
{
    if (matchedRqSku.isEmpty() || !card->skuOnCard.isEmpty())
        return false;
    AbstractProduct *product = catalogue->group(RqSd)->getProduct(matchedRqSku);
    Subscription *subscription = product ? product->getSubscription(card->rawMediaId) : nullptr;
    if (!subscription)
        return false;
    if (control->restoringDownloader)
        return true; // one restoration at a time; its end scans again
    auto *restoring = new ProductDownloader(nullptr, product);
    control->restoringDownloader = restoring;
    restoring->sessionId = sessionId;
    restoring->setMediaIdDir(card->mediaIdDir());
    connect(restoring, &ProductDownloader::mikRestored, this, &RqCardScan::containerRestored);
    connect(restoring, &ProductDownloader::errorPerm, this, [this](const QString &sku, const QString &msg) {
        control->forget(control->restoringDownloader);
        emit errorReported(sku, msg);
    });
    card->skuOnCard = product->sku;
    card->cardProductType = RqSd;
    restoring->restoreRQ(card->skuOnCard, subscription->drm);
    return true;
}

void RqCardScan::startRegistration(AbstractProduct *product)
{
    control->dropIdle();
    control->forget(control->registeringDownloader);
    auto *registering = new ProductDownloader(nullptr, product);
    control->registeringDownloader = registering;
    registering->sessionId = sessionId;
    registering->setMediaIdDir(card->mediaIdDir());
    // Once the service knows the card, its subscriptions tell the window so.
    connect(registering, &ProductDownloader::productActivated, this, &RqCardScan::cardRegistered);
    connect(registering, &ProductDownloader::errorPerm, this, &RqCardScan::errorReported);
    registering->registerRQ(&container);
}

void RqCardScan::offerButton()
{
    details->offerForChartStatus(chartUpdateStatus);
}

void RqCardScan::setChartStatus(AbstractProduct::ChartUpdateStatus status)
{
    chartUpdateStatus = status;
    // The card's row tells the same state as the details pane.
    if (auto *product = qobject_cast<RqSdProduct *>(catalogue->group(RqSd)->getProduct(container.chartName())))
        product->chartUpdateStatusChanged(status);
    details->showChartStatus(status, RqSdProduct::containerBuildReference(container));
}
