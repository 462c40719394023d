#include "window/newwindow.h"
#include "ui_newwindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QScrollBar>
#include <QTabBar>

#include <algorithm>

#include "base/appglobals.h"
#include "widgets/productgroup.h"
#include "widgets/productrow.h"
#include "widgets/refreshbutton.h"
#include "widgets/rqsdproduct.h"
#include "dialogs/about.h"
#include "window/cardpanel.h"
#include "window/catalogueloader.h"
#include "window/detailspane.h"
#include "window/downloadcontrol.h"
#include "window/rqcardscan.h"

NewWindow::NewWindow(QString sessionId, QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::NewWindow)
    , versionText(appVersionText())
    , sessionId(std::move(sessionId))
{
    ui->setupUi(this);
    ui->rqScrollWidget->layout()->setAlignment(Qt::AlignTop);
    ui->vmScrollWidget->layout()->setAlignment(Qt::AlignTop);
    ui->tvScrollWidget->layout()->setAlignment(Qt::AlignTop);
    ui->catalogueMessage->hide();

    card = new CardPanel(ui, client.settings, this);
    details = new DetailsPane(ui, this);
    catalogue = new CatalogueLoader(client, this->sessionId, this);
    catalogue->setRowParent(VelmoraRegion, ui->vmScrollWidget);
    catalogue->setRowParent(Talvos, ui->tvScrollWidget);
    control = new DownloadControl(this, ui, card, catalogue, details);

    tray = new QSystemTrayIcon(QIcon(QStringLiteral(":/icons/appIconPng")), this);
    auto *quitAction = new QAction(QStringLiteral("Quit"), this);
    auto *trayMenu = new QMenu(this);
    trayMenu->addAction(quitAction);
    tray->setContextMenu(trayMenu);
    tray->show();

    setWindowTitle(QStringLiteral("Quorvel Download Tool (") + copyrightNotice + QLatin1Char(')'));
    ui->versionLabel->setText(QStringLiteral("Version: ") + versionText);

    productScrollAreas.insert(VelmoraRegion, ui->vmScrollArea);
    productScrollAreas.insert(Talvos, ui->tvScrollArea);
    productScrollAreas.insert(RqSd, ui->rqScrollArea);

    for (int i = 0; i < ui->tabWidget->count(); ++i)
        ui->tabWidget->setTabEnabled(i, true);
    bool ok = false;
    const uint storedTab = client.settings.valueOrInit(SettingsKeys::tab, QString()).toUInt(&ok);
    // Connected only afterwards: the stored tab is restored, not "selected".
    ui->tabWidget->setCurrentIndex(ok && storedTab < uint(ui->tabWidget->count()) ? int(storedTab) : 0);
    currentProductType = ProductTypeEnum(ui->tabWidget->currentIndex());
    setMoreProductsLink(currentProductType);
    showNoRqIcon(true);

    refreshButton = new RefreshButton(currentProductType, ui->tabWidget);
    refreshButton->setProductType(currentProductType);
    ui->tabWidget->setCornerWidget(refreshButton, Qt::TopRightCorner);
    ui->noRqTooltipLabel->hide();

    connect(tray, &QSystemTrayIcon::messageClicked, this, &NewWindow::messageClicked);
    connect(tray, &QSystemTrayIcon::activated, this, &NewWindow::iconActivated);
    connect(quitAction, &QAction::triggered, this, &NewWindow::trayCloseTriggered);
    connect(client.manager, &QNetworkAccessManager::finished, this, &NewWindow::handleResponse);
    connect(refreshButton, &RefreshButton::refreshSubscriptions, this, &NewWindow::handleRefreshButtonClicked);
    connect(ui->tabWidget, &QTabWidget::tabBarClicked, this, &NewWindow::handleTabBarClicked);
    connect(ui->tabWidget, &QTabWidget::currentChanged, this, &NewWindow::tabSelected);
    connect(ui->sdSelBtn, &QPushButton::released, this, &NewWindow::chooseMediaIdFileFromDisk);
    connect(ui->noRQBtn, &QPushButton::released, this, &NewWindow::chooseMediaIdFileFromDisk);

    connect(catalogue, &CatalogueLoader::productListFailed, this, &NewWindow::showCatalogueProblem);
    connect(catalogue, &CatalogueLoader::rowCreated, this, [this](AbstractProduct *product) {
        connect(this, &NewWindow::rawMediaIdChanged, product, &AbstractProduct::rawMediaIdChanged);
        // Rows created while a download runs must follow the lock.
        if (control->running() && product->productType == currentProductType)
            catalogue->group(currentProductType)->setDisabled(true);
    });
    rq = new RqCardScan(ui, card, catalogue, details, control, this->sessionId, this);
    control->setRqCardScan(rq);
    connect(rq, &RqCardScan::errorReported, this, &NewWindow::handleTmpError);
    connect(rq, &RqCardScan::cardRegistered, this, [this] { getSubscriptionsRequest(RqSd); });
    connect(rq, &RqCardScan::containerRestored, this, &NewWindow::handleMikRestored);
    connect(catalogue, &CatalogueLoader::rqCardMatched, this, [this](const QString &sku) {
        rq->matchedRqSku = sku;
        card->cardProductType = RqSd;
    });
    connect(catalogue, &CatalogueLoader::productReplaced, this, [this](AbstractProduct *product) {
        if (shownProduct == product)
            clearSelections(currentProductType);
    });
    connect(control, &DownloadControl::speedEstimated, this, [this](const QString &msg) {
        if (ProductDownloader *downloader = control->current())
            tray->setToolTip(downloader->name + QStringLiteral(": ") + msg);
        control->showStatus(msg, true);
    });
    connect(card, &CardPanel::cardOffered, this, &NewWindow::chooseOfferedCard);
    connect(card, &CardPanel::chosenCardLost, this, &NewWindow::handleCardLost);
    connect(card, &CardPanel::chosenCardBack, this, &NewWindow::handleCardBack);

    catalogue->requestProducts();
    client.get(QStringLiteral("/firmware_versions"));

    card->showNoCard();
    card->watcher()->start();
}

NewWindow::~NewWindow()
{
    card->watcher()->stop();
    // The downloaders and products go before the form whose widgets hold
    // their rows.
    delete control;
    delete catalogue;
    delete ui;
}

int NewWindow::getCurrentTab() const
{
    return ui->tabWidget->currentIndex();
}

ProductGroup *NewWindow::productGroup(ProductTypeEnum line) const
{
    return catalogue->group(line);
}

ProductDownloader *NewWindow::downloader() const
{
    return control->current();
}

AbstractProduct::ChartUpdateStatus NewWindow::cardChartStatus() const
{
    return rq->chartUpdateStatus;
}

ProductTypeEnum NewWindow::cardType() const
{
    return card->cardProductType;
}

void NewWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    card->relayout();
    details->relayout();
}

// ---------------------------------------------------------------- shell

void NewWindow::setMoreProductsLink(int index)
{
    const QString base = client.baseUrl;
    if (index == RqSd)
        ui->moreProductsLnk->setText(QStringLiteral("<a style=\"color:#FFFFFF\" href=\"") + base
                                     + QStringLiteral("/rqinstructions\">Click here to learn how to update RQ Chart Cards</a>"));
    else
        ui->moreProductsLnk->setText(QStringLiteral("<a style=\"color:#FFFFFF\" href=\"") + base
                                     + QStringLiteral("/legacy\">Click here for more Legacy Chart Products</a>"));
}

void NewWindow::handleTabBarClicked(int index)
{
    setMoreProductsLink(index);
}

void NewWindow::tabSelected(int index)
{
    if (index < 0)
        return;
    clearSelections(currentProductType);

    const ProductTypeEnum line = ProductTypeEnum(index);
    ProductGroup *group = catalogue->group(line);
    if (group && !group->isInitialized())
        initTab(line);

    refreshButton->setProductType(line);
    currentProductType = line;
    client.settings.setValue(SettingsKeys::tab, QString::number(index));
    setMoreProductsLink(index);

    if (card->cardProductType == RqSd && index == RqSd && !card->skuOnCard.isEmpty()) {
        if (AbstractProduct *product = catalogue->group(RqSd)->getProduct(card->skuOnCard)) {
            if (product->row) {
                product->highlighted();
                product->selected = true;
            }
        }
    }
}

void NewWindow::clearSelections(ProductTypeEnum line)
{
    if (ProductGroup *group = catalogue->group(line))
        group->clearSelections();
    details->clear();
    control->dropIdle();
    if (shownProduct)
        disconnect(shownProduct, &AbstractProduct::infoLoaded, this, &NewWindow::updateProductDisplaySlot);
    shownProduct = nullptr;
}

void NewWindow::disableBtns(bool disable)
{
    if (!disable)
        control->ended();
    details->setDownloadButton(ui->downloadBtn->text(), !disable);
    refreshButton->setDisabled(disable);
    card->setLocked(disable);
    ui->noRQBtn->setDisabled(disable);
    ui->tabWidget->tabBar()->setDisabled(disable);
    if (ProductGroup *group = catalogue->group(currentProductType))
        group->setDisabled(disable);
}


void NewWindow::handleStatusUpdate(QString, QString msg)
{
    control->statusUpdate(msg);
}

void NewWindow::handleStageUpdate(QString, QString msg)
{
    control->showStage(msg);
}

void NewWindow::messageClicked()
{
    show();
    raise();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
}

void NewWindow::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Context)
        return;
    if (isHidden()) {
        show();
        raise();
        activateWindow();
    } else {
        hide();
    }
}

void NewWindow::trayCloseTriggered(bool)
{
    tray->hide();
    // Answering "No" keeps the tool running, and a running tool without its
    // icon could not be quit from the tray again.
    if (!close())
        tray->show();
}

void NewWindow::closeEvent(QCloseEvent *event)
{
    if (control->current() && control->current()->busy()) {
        const auto answer = QMessageBox::question(this, QStringLiteral("Close Confirmation"),
                                                  QStringLiteral("Download in progress. Are you sure you wish to close this app?"),
                                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    tray->hide();
    event->accept();
    QCoreApplication::exit(0);
}

void NewWindow::showMessage(const QString &text)
{
    client.messageBox.setText(text);
    client.messageBox.exec();
}

// ---------------------------------------------------------------- catalogue

void NewWindow::handleResponse(QNetworkReply *response)
{
    const QString last = response->url().path().section(QLatin1Char('/'), -1);
    if (last == QLatin1String("GetSubscriptions")) {
        const ProductTypeEnum line = productTypeFromString(response->property("id").toString());
        handleGetSubscriptions(response, line);
        // Re-reading the card mid-download would swap the container under the
        // running update; the card is read again when the download ends.
        if (!control->running())
            chooseMediaIdFile(false);
    } else if (last == QLatin1String("GetAllProducts")) {
        handleGetAllProducts(response);
    } else if (last == QLatin1String("firmware_versions")) {
        handleVersionReply(response);
    }
    response->deleteLater();
}

void NewWindow::handleVersionReply(QNetworkReply *reply)
{
    // A failed request reads as an empty object, which is older than any
    // version: the line then simply shows this build's version.
    const QJsonObject object = QJsonDocument::fromJson(reply->readAll()).object();
    const double difference = versionDifference(versionText, object);
    if (difference < 0) {
        ui->updateLnk->setText(QStringLiteral("(<a href=\"") + latestVersionUrl(object)
                               + QStringLiteral("\" style=\"color:#FFFFFF\">Update Available</a>)"));
        ui->versionLabel->setText(QStringLiteral("Version ") + versionText);
        qDebug() << "New application version available.";
    } else if (difference > 0) {
        ui->versionLabel->setText(QStringLiteral("Version: ") + versionText);
    } else {
        ui->updateLnk->hide();
    }
}

void NewWindow::handleGetAllProducts(QNetworkReply *reply)
{
    if (!catalogue->handleGetAllProducts(reply))
        return;
    ui->catalogueMessage->hide();
    tabSelected(ui->tabWidget->currentIndex());
}

void NewWindow::showCatalogueProblem(const QString &message)
{
    ui->catalogueMessage->setText(message);
    ui->catalogueMessage->show();
    // The card does not depend on the product list; show it all the same.
    chooseMediaIdFile(false);
    showMessage(message);
}

void NewWindow::initTab(ProductTypeEnum line)
{
    ProductGroup *group = catalogue->group(line);
    if (!group || group->isInitialized())
        return;
    if (line == RqSd)
        scanMediaIdFile(false);
    getSubscriptionsRequest(line);
    connect(group->getButtonGroup(), &QButtonGroup::idClicked, this, &NewWindow::productButtonClicked);
    group->setInitialized(true);
}

void NewWindow::getSubscriptionsRequest(ProductTypeEnum line)
{
    catalogue->getSubscriptionsRequest(line);
}

void NewWindow::handleGetSubscriptions(QNetworkReply *reply, ProductTypeEnum line)
{
    if (catalogue->handleGetSubscriptions(reply, line, card->rawMediaId))
        emit rawMediaIdChanged(card->rawMediaId, card->skuOnCard, card->cardProductType);
}

void NewWindow::handleRefreshButtonClicked(int _productType)
{
    // After a failed product list there are no products to attach
    // subscriptions to: the list itself is what to ask for again.
    if (!catalogue->productsLoaded()) {
        ui->catalogueMessage->setText(tr("Loading your products\u2026"));
        catalogue->requestProducts();
        return;
    }
    const ProductTypeEnum line = ProductTypeEnum(_productType);
    getSubscriptionsRequest(line);
    clearSelections(currentProductType);
    if (QScrollArea *area = productScrollAreas.value(line))
        area->verticalScrollBar()->setValue(0);
}

// ---------------------------------------------------------------- card

QString NewWindow::mediaIdDir() const
{
    return card->mediaIdDir();
}

void NewWindow::showNoRqIcon(bool show)
{
    ui->outerRqIconWidget->setVisible(show);
    ui->rqScrollArea->setVisible(!show);
}

void NewWindow::resetToNoCard()
{
    card->showNoCard();
    ui->noRqLabel->setText(QStringLiteral("Check for updates by clicking the icon above."));
    ui->noRq2Label->setText(QStringLiteral("Select a RQ card and open the \u201cencrypt.txt\u201d file."));
    ui->noRqTooltipLabel->show();
    showNoRqIcon(true);
    clearSelections(currentProductType);
    emit rawMediaIdChanged(card->rawMediaId, card->skuOnCard, card->cardProductType);
}

bool NewWindow::scanMediaIdFile(bool browse)
{
    switch (card->readMediaFile(browse)) {
    case CardPanel::MediaFile::Valid:
        return true;
    case CardPanel::MediaFile::NoCard:
        resetToNoCard();
        return false;
    case CardPanel::MediaFile::Invalid:
        showMessage(QStringLiteral("Invalid Media ID file"));
        return false;
    }
    return false;
}

void NewWindow::chooseMediaIdFile(bool browse)
{
    if (!scanMediaIdFile(browse))
        return;
    card->showChosenCard();

    if (scanRQ()) {
        showNoRqIcon(false);
    } else {
        showNoRqIcon(true);
        ui->noRqLabel->setText(QStringLiteral("The selected card is not a RQ card"));
        ui->noRq2Label->setText(QString());
        ui->noRqTooltipLabel->hide();
        if (!card->readVmid() || card->skuOnCard.isEmpty())
            card->cardProductType = NoProductType;
        else if (catalogue->group(VelmoraRegion)->getProduct(card->skuOnCard))
            card->cardProductType = VelmoraRegion;
        else if (catalogue->group(Talvos)->getProduct(card->skuOnCard))
            card->cardProductType = Talvos;
    }
    card->showItemNumber();

    emit rawMediaIdChanged(card->rawMediaId, card->skuOnCard, card->cardProductType);
    if (getCurrentTab() != RqSd)
        clearSelections(currentProductType);
    card->showPicture();
}

void NewWindow::chooseMediaIdFileFromDisk()
{
    card->say(QString());
    chooseMediaIdFile(true);
}

void NewWindow::chooseOfferedCard(const QString &mediaFile)
{
    if (control->running())
        return;
    client.settings.setValue(SettingsKeys::mediaIdFile, mediaFile);
    chooseMediaIdFile(false);
    if (card->chosenCard().isValid())
        card->say(tr("Card found and chosen for you."));
}

void NewWindow::handleCardLost()
{
    if (control->running()) {
        // Waiting for a write to fail could take a while and would then
        // report every file at once; the user only needs to put it back.
        control->setCardMissing(true);
        if (ProductDownloader *downloader = control->current())
            downloader->pauseForMissingCard();
        card->say(tr("The SD card was taken out. Put it back, then press Resume."));
        return;
    }
    resetToNoCard();
    card->say(tr("The SD card was taken out."));
}

void NewWindow::handleCardBack()
{
    if (control->running()) {
        card->say(tr("The SD card is back. Press Resume to go on."));
        return;
    }
    if (!card->chosenCard().isValid()) {
        chooseMediaIdFile(false);
        card->say(tr("The SD card is back."));
    }
}


// ---------------------------------------------------------------- RQ card

bool NewWindow::scanRQ()
{
    clearSelections(RqSd);
    return rq->scan();
}

void NewWindow::handleMikRestored()
{
    control->forget(control->restoringDownloader);
    if (scanRQ())
        showNoRqIcon(false);
}

void NewWindow::updateRqDlBtn()
{
    rq->offerButton();
}

void NewWindow::chartUpdateStatusChanged(AbstractProduct::ChartUpdateStatus status)
{
    rq->setChartStatus(status);
}

// ---------------------------------------------------------------- details

void NewWindow::offerForSelected()
{
    AbstractProduct *product = catalogue->group(currentProductType)->getSelectedProduct();
    if (!product)
        return;
    if (product->productType == RqSd)
        updateRqDlBtn();
    else
        details->offerForStatus(product, product->currentSubscriptionStatus(card->rawMediaId, card->skuOnCard,
                                                                            card->cardProductType));
}

void NewWindow::productButtonClicked(int productId)
{
    ProductGroup *group = catalogue->group(currentProductType);
    AbstractProduct *product = group ? group->getProduct(productId) : nullptr;
    // One press on a row arrives twice: from the row's highlight and, on
    // release, from the button group itself. Neither that echo nor a press
    // on the row already chosen is a new choice, and neither may wipe what
    // the downloader reports about it.
    if (product && product == shownProduct)
        return;
    clearProductDownloader();
    if (!product)
        return;
    shownProduct = product;
    updateProductDisplay(product);

    if (card->mediaIdFile.isEmpty()) {
        showMessage(QStringLiteral("Please select an SD card."));
        return;
    }
    if (product->sizeInKb > card->totalKb) {
        showMessage(QStringLiteral("You don't have enough space to download this chart onto the current SD card."));
        return;
    }

    for (AbstractProduct *other : group->getProducts())
        other->selected = false;
    product->selected = true;
    if (product->productType == RqSd && product->row)
        product->row->setSelected(true);
    offerForSelected();
}

void NewWindow::updateProductDisplaySlot(AbstractProduct *product)
{
    // Details of a product the user has moved away from are not shown.
    if (product != shownProduct)
        return;
    disconnect(product, &AbstractProduct::infoLoaded, this, &NewWindow::updateProductDisplaySlot);
    updateProductDisplay(product);
}

void NewWindow::updateProductDisplay(AbstractProduct *product)
{
    if (!product)
        return;
    if (!product->infoRequested) {
        connect(product, &AbstractProduct::infoLoaded, this, &NewWindow::updateProductDisplaySlot,
                Qt::UniqueConnection);
        details->showLoading();
        return;
    }
    details->showProduct(product, card->rawMediaId, card->skuOnCard, card->cardProductType);
    if (product->productType == RqSd)
        chartUpdateStatusChanged(rq->chartUpdateStatus);
}

// ---------------------------------------------------------------- download

void NewWindow::clearProductDownloader()
{
    control->clear();
}

ProductDownloader *NewWindow::addDownload(AbstractProduct *product)
{
    ProductDownloader *downloader = control->create(product);
    connect(downloader, &ProductDownloader::vmidUpdated, this, &NewWindow::handleVmidUpdated);
    connect(downloader, &ProductDownloader::allDone, this, &NewWindow::handleAllDone);
    connect(downloader, &ProductDownloader::errorPerm, this, &NewWindow::handlePermError);
    connect(downloader, &ProductDownloader::errorTmp, this, &NewWindow::handleTmpError);
    connect(downloader, &ProductDownloader::cancel, this, &NewWindow::handleCancel);
    connect(downloader, &ProductDownloader::statusUpdate, this, &NewWindow::handleStatusUpdate);
    connect(downloader, &ProductDownloader::stageUpdate, this, &NewWindow::handleStageUpdate);
    connect(downloader, &ProductDownloader::productActivated, this, &NewWindow::handleProductActivated);
    connect(downloader, &ProductDownloader::chartUpdateStatusChange, this, &NewWindow::chartUpdateStatusChanged);
    downloader->show();
    return downloader;
}

void NewWindow::on_downloadBtn_released()
{
    control->start();
}

void NewWindow::handleProductActivated(int subscriptionID, int expiration, QString mediaID)
{
    control->productActivated(subscriptionID, expiration, mediaID);
}

void NewWindow::handleVmidUpdated(QString sku)
{
    control->vmidUpdated(sku);
}

void NewWindow::handleAllDone(QString sku)
{
    control->allDone(sku);
}

void NewWindow::handleTmpError(QString, QString msg)
{
    control->tmpError(msg);
}

void NewWindow::handlePermError(QString, QString msg)
{
    control->permError(msg);
}

void NewWindow::handleCancel()
{
    control->cancelled();
}
