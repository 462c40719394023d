#include "ui/newwindow.h"
#include "ui_newwindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPixmap>
#include <QScrollBar>
#include <QStorageInfo>
#include <QTabBar>

#include <algorithm>

#include "app/appglobals.h"
#include "app/utilities.h"
#include "catalogue/productgroup.h"
#include "catalogue/productrow.h"
#include "catalogue/refreshbutton.h"
#include "catalogue/rqsdproduct.h"
#include "catalogue/talvoproduct.h"
#include "catalogue/velmoraproduct.h"
#include "download/productdownloader.h"
#include "media/mediaid.h"
#include "service/about.h"
#include "ui/loadinggif.h"

namespace {

const QString noCardPicture = QStringLiteral("://resources/images/quorveldownloadtool_sdcard_nocard.png");

QString cardPicture(ProductTypeEnum type)
{
    switch (type) {
    case Talvos:
        return QStringLiteral(":/resources/images/quorveldownloadtool_sdcard_talvo.png");
    case VelmoraRegion:
        return QStringLiteral(":/resources/images/quorveldownloadtool_sdcard_legacy.png");
    case RqSd:
        return QStringLiteral(":/resources/images/quorveldownloadtool_sdcard_rq.png");
    default:
        return QStringLiteral(":/resources/images/quorveldownloadtool_sdcard_blank.png");
    }
}

QString statusNote(int code)
{
    switch (code) {
    case 0:
        return QStringLiteral("There is an available map ready to be downloaded to the selected Corvane encrypted SD card.");
    case 1:
        return QStringLiteral("The map can be downloaded to this Corvane encrypted SD card, replacing the existing Legacy subscription.");
    case 2:
        return QStringLiteral("The selected map has already been downloaded to an SD card.");
    case 3:
        return QStringLiteral("The selected map has already been downloaded to the selected Corvane encrypted SD card.");
    case 4:
        return QStringLiteral("The selected map is not compatible with the selected SD card.");
    default:
        return QString();
    }
}

const char *infoScrollStyle =
    "QScrollArea { border: none; background: transparent; }\n"
    "QScrollBar:vertical { border: none; background: #E4E4E4; width: 10px; margin: 0; }\n"
    "QScrollBar::handle:vertical { background: #B4B4B4; width: 8px; min-height: 20px; margin: 0 1px; }\n"
    "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; border: none; background: none; }\n"
    "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }\n"
    "QScrollBar:horizontal { border: none; background: #E4E4E4; height: 10px; margin: 0; }\n"
    "QScrollBar::handle:horizontal { background: #B4B4B4; height: 8px; min-width: 20px; margin: 1px 0; }\n"
    "QScrollBar::add-line:horizontal, QScrollBar::sub-line:horizontal { width: 0; border: none; background: none; }\n";

} // namespace

NewWindow::NewWindow(QString sessionId, QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::NewWindow)
    , versionText(appVersionText())
    , sessionId(std::move(sessionId))
{
    ui->setupUi(this);
    ui->downloadStageLabel->hide();
    ui->rqScrollWidget->layout()->setAlignment(Qt::AlignTop);
    ui->vmScrollWidget->layout()->setAlignment(Qt::AlignTop);
    ui->tvScrollWidget->layout()->setAlignment(Qt::AlignTop);

    tray = new QSystemTrayIcon(QIcon(QStringLiteral(":/icons/appIconPng")), this);
    auto *quitAction = new QAction(QStringLiteral("Quit"), this);
    auto *trayMenu = new QMenu(this);
    trayMenu->addAction(quitAction);
    tray->setContextMenu(trayMenu);
    tray->show();

    ui->downloaderWidget->hide();
    setWindowTitle(QStringLiteral("Quorvel Download Tool (") + copyrightNotice + QLatin1Char(')'));
    ui->versionLabel->setText(QStringLiteral("Version: ") + versionText);

    for (ProductTypeEnum line : {VelmoraRegion, Talvos, RqSd})
        productGroups.insert(line, new ProductGroup(productTypeToString(line), true));
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

    if (mediaIdFile.isEmpty())
        showNoRqIcon(true);

    refreshButton = new RefreshButton(currentProductType, ui->tabWidget);
    refreshButton->setProductType(currentProductType);
    ui->tabWidget->setCornerWidget(refreshButton, Qt::TopRightCorner);
    ui->subscriptionDetails->hide();
    ui->noRqTooltipLabel->hide();
    ui->productImageWidget->hide();
    ui->productInfoScrollArea->hide();
    // A Talvo description is a few pixels wider than the pane; a sideways
    // bar for its right margin would also push in a vertical one.
    ui->productInfoScrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    connect(tray, &QSystemTrayIcon::messageClicked, this, &NewWindow::messageClicked);
    connect(tray, &QSystemTrayIcon::activated, this, &NewWindow::iconActivated);
    connect(quitAction, &QAction::triggered, this, &NewWindow::trayCloseTriggered);
    connect(client.manager, &QNetworkAccessManager::finished, this, &NewWindow::handleResponse);
    connect(refreshButton, &RefreshButton::refreshSubscriptions, this, &NewWindow::handleRefreshButtonClicked);
    connect(ui->tabWidget, &QTabWidget::tabBarClicked, this, &NewWindow::handleTabBarClicked);
    connect(ui->tabWidget, &QTabWidget::currentChanged, this, &NewWindow::tabSelected);

    setDownloadButton(QStringLiteral("Download"), false);
    connect(ui->sdSelBtn, &QPushButton::released, this, &NewWindow::chooseMediaIdFileFromDisk);
    connect(ui->noRQBtn, &QPushButton::released, this, &NewWindow::chooseMediaIdFileFromDisk);

    client.post(QStringLiteral("GetAllProducts"), QStringLiteral("smn"), QJsonObject());
    client.get(QStringLiteral("/firmware_versions"));

    QPixmap picture(noCardPicture);
    if (!picture.isNull())
        ui->sdImg->setPixmap(picture.scaled(ui->sdImg->size(), Qt::KeepAspectRatio, Qt::FastTransformation));
}

NewWindow::~NewWindow()
{
    if (currentDownloader)
        currentDownloader->deleteLater();
    if (restoringDownloader)
        restoringDownloader->deleteLater();
    if (registeringDownloader)
        registeringDownloader->deleteLater();
    // Products and their rows go first: rows sit in the form's widgets and
    // products hold pointers into their groups' button groups.
    for (ProductGroup *group : std::as_const(productGroups)) {
        const auto products = group->getProducts();
        qDeleteAll(products);
    }
    qDeleteAll(productGroups);
    delete ui;
}

int NewWindow::getCurrentTab() const
{
    return ui->tabWidget->currentIndex();
}

void NewWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
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
    ProductGroup *group = productGroups.value(line);
    if (group && !group->isInitialized())
        initTab(line);

    refreshButton->setProductType(line);
    currentProductType = line;
    client.settings.setValue(SettingsKeys::tab, QString::number(index));
    setMoreProductsLink(index);

    if (cardProductType == RqSd && index == RqSd && !skuOnCard.isEmpty()) {
        if (AbstractProduct *product = productGroups.value(RqSd)->getProduct(skuOnCard)) {
            if (product->row) {
                product->highlighted();
                product->selected = true;
            }
        }
    }
}

void NewWindow::clearSelections(ProductTypeEnum line)
{
    if (ProductGroup *group = productGroups.value(line))
        group->clearSelections();

    ui->productName->setText(QString());
    ui->productName->setToolTip(QString());
    if (QLayoutItem *item = ui->productImageWidget->layout()->takeAt(0)) {
        if (QWidget *widget = item->widget())
            widget->hide();
        delete item;
    }
    ui->productImageWidget->hide();
    if (QWidget *old = ui->productInfoScrollArea->takeWidget()) {
        if (qobject_cast<LoadingGif *>(old))
            old->deleteLater();
        else
            old->hide();
    }
    ui->productInfoScrollArea->hide();
    setDownloadButton(QStringLiteral("Download"), false);
    ui->subscriptionDetails->hide();
    dropIdleDownloader();
    if (shownProduct)
        disconnect(shownProduct, &AbstractProduct::infoLoaded, this, &NewWindow::updateProductDisplaySlot);
    shownProduct = nullptr;
}

void NewWindow::disableBtns(bool disable)
{
    downloading = disable;
    setDownloadButton(ui->downloadBtn->text(), !disable);
    refreshButton->setDisabled(disable);
    ui->sdSelBtn->setDisabled(disable);
    ui->noRQBtn->setDisabled(disable);
    ui->tabWidget->tabBar()->setDisabled(disable);
    if (ProductGroup *group = productGroups.value(currentProductType))
        group->setDisabled(disable);
}

void NewWindow::setDownloadButton(const QString &text, bool offered)
{
    ui->downloadBtn->setText(text);
    ui->downloadBtn->setVisible(offered);
    ui->downloadBtn->setEnabled(offered);
}

void NewWindow::handleStatusUpdate(QString, QString msg)
{
    const QString productName = currentDownloader ? currentDownloader->name : QString();
    tray->setToolTip(productName + QStringLiteral(": ") + msg);
    ui->downloadStatusLabel->setText(msg);
}

void NewWindow::handleStageUpdate(QString, QString msg)
{
    ui->downloadStageLabel->show();
    ui->downloadStageLabel->setText(msg);
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
    close();
}

void NewWindow::closeEvent(QCloseEvent *event)
{
    if (currentDownloader && currentDownloader->busy()) {
        const auto answer = QMessageBox::question(this, QStringLiteral("Close Confirmation"),
                                                  QStringLiteral("Download in progress. Are you sure you wish to close this app?"),
                                                  QMessageBox::Yes | QMessageBox::No);
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

// ---------------------------------------------------------------- replies

void NewWindow::handleResponse(QNetworkReply *response)
{
    const QString last = response->url().path().section(QLatin1Char('/'), -1);
    if (last == QLatin1String("GetSubscriptions")) {
        const ProductTypeEnum line = getProductTypeFromString(response->property("id").toString());
        handleGetSubscriptions(response, line);
        // Re-reading the card mid-download would swap the container under the
        // running update; the card is read again when the download ends.
        if (!downloading)
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

ProductTypeEnum NewWindow::getProductTypeFromString(const QString &name) const
{
    for (auto it = productGroups.cbegin(); it != productGroups.cend(); ++it) {
        if (it.value()->getProductTypeName() == name)
            return it.key();
    }
    return NoProductType;
}

void NewWindow::handleGetAllProducts(QNetworkReply *reply)
{
    const QJsonObject object = QJsonDocument::fromJson(reply->readAll()).object();
    if (reply->error() != QNetworkReply::NoError) {
        qDebug() << reply->errorString();
        return;
    }
    // QJsonObject keys come sorted, which is the order rows should follow.
    for (auto lineIt = object.constBegin(); lineIt != object.constEnd(); ++lineIt) {
        const ProductTypeEnum line = getProductTypeFromString(lineIt.key());
        if (line == NoProductType) {
            qDebug() << "Skipping products of unknown line" << lineIt.key();
            continue;
        }
        const QJsonObject products = lineIt.value().toObject();
        for (auto it = products.constBegin(); it != products.constEnd(); ++it)
            addProduct(it.value().toObject(), line);
    }
    tabSelected(ui->tabWidget->currentIndex());
}

void NewWindow::addProduct(const QJsonObject &product, ProductTypeEnum line)
{
    ProductGroup *group = productGroups.value(line);
    if (!group)
        return;
    const int id = product.value(QStringLiteral("product_id")).toInt(0);
    AbstractProduct *created = nullptr;
    switch (line) {
    case Talvos:
        created = new TalvoProduct(product);
        created->productType = Talvos;
        break;
    case VelmoraRegion:
        created = new VelmoraProduct(product);
        created->productType = VelmoraRegion;
        break;
    case RqSd:
        created = new RqSdProduct(product);
        break;
    default:
        return;
    }
    // The group keeps only the latest product of an id; the one it drops
    // would otherwise leak.
    AbstractProduct *replaced = group->getProduct(id);
    group->addProduct(id, created);
    if (replaced && replaced != created) {
        if (shownProduct == replaced)
            clearSelections(currentProductType);
        delete replaced;
    }
}

void NewWindow::initTab(ProductTypeEnum line)
{
    ProductGroup *group = productGroups.value(line);
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
    QJsonObject body;
    body.insert(QStringLiteral("product_type"), productTypeToString(line));
    body.insert(QStringLiteral("session_id"), sessionId);
    client.post(QStringLiteral("/GetSubscriptions"), QStringLiteral("smn"), body, productTypeToString(line));
}

void NewWindow::handleGetSubscriptions(QNetworkReply *reply, ProductTypeEnum line)
{
    const QJsonObject object = QJsonDocument::fromJson(reply->readAll()).object();
    if (reply->error() != QNetworkReply::NoError) {
        qDebug() << reply->errorString();
        return;
    }
    ProductGroup *group = productGroups.value(line);
    if (!group)
        return;

    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        bool ok = false;
        int id = it.key().toInt(&ok, 10);
        if (!ok)
            id = 0;
        QJsonObject subscription = it.value().toObject();
        const int productId = subscription.value(QStringLiteral("product_id")).toInt(0);
        subscription.insert(QStringLiteral("subscription_id"), id);

        AbstractProduct *product = group->getProduct(productId);
        if (!product || product->subscriptions.contains(id))
            continue;
        group->addSubscription(productId, id, &subscription);
        if (product->subscriptions.size() != 1)
            continue;

        if (line == RqSd) {
            if (mediaIdFromContent(subscription.value(QStringLiteral("device_id")).toString()) == rawMediaId) {
                matchedRqSku = product->sku;
                cardProductType = RqSd;
            }
        } else {
            QWidget *parent = line == Talvos ? ui->tvScrollWidget : ui->vmScrollWidget;
            product->createRow(parent, group->getButtonGroup());
            connect(this, &NewWindow::rawMediaIdChanged, product, &AbstractProduct::rawMediaIdChanged);
            // Rows created while a download runs must follow the lock.
            if (downloading && line == currentProductType)
                group->setDisabled(true);
        }
    }
    emit rawMediaIdChanged(rawMediaId, skuOnCard, cardProductType);
}

void NewWindow::handleRefreshButtonClicked(int _productType)
{
    const ProductTypeEnum line = ProductTypeEnum(_productType);
    getSubscriptionsRequest(line);
    clearSelections(currentProductType);
    if (QScrollArea *area = productScrollAreas.value(line))
        area->verticalScrollBar()->setValue(0);
}

// ---------------------------------------------------------------- card

QString NewWindow::mediaIdDir() const
{
    return QFileInfo(mediaIdFile).absoluteDir().absolutePath();
}

void NewWindow::resetToNoCard()
{
    ui->sdPathLabel->setText(QStringLiteral("Please browse to an SD Card which has been"));
    ui->sdPathLabel->setToolTip(QString());
    ui->sdSkuOnCardLabel->setText(QStringLiteral("encrypted on your Corvane Control Head"));
    ui->sdSkuOnCardLabel->setToolTip(QString());
    ui->sdSpaceLabel->setText(QStringLiteral("and select the \u201cencrypt.txt\u201d file."));

    ui->noRqLabel->setText(QStringLiteral("Check for updates by clicking the icon above."));
    ui->noRq2Label->setText(QStringLiteral("Select a RQ card and open the \u201cencrypt.txt\u201d file."));
    ui->noRqTooltipLabel->show();
    showNoRqIcon(true);

    QPixmap picture(noCardPicture);
    if (!picture.isNull())
        ui->sdImg->setPixmap(picture.scaled(ui->sdImg->size(), Qt::KeepAspectRatio, Qt::FastTransformation));

    clearSelections(currentProductType);
    rawMediaId.clear();
    skuOnCard.clear();
    cardProductType = NoProductType;
    emit rawMediaIdChanged(rawMediaId, skuOnCard, cardProductType);
}

bool NewWindow::scanMediaIdFile(bool browse)
{
    if (client.settings.contains(SettingsKeys::mediaIdFile))
        mediaIdFile = client.settings.value(SettingsKeys::mediaIdFile).toString();
    if (mediaIdFile.isEmpty() || !QFileInfo::exists(mediaIdFile))
        mediaIdFile.clear();

    if (browse) {
        const QString chosen = QFileDialog::getOpenFileName(
            this, tr("Please select the encrypt.txt file on your SD Card."),
            mediaIdFile.isEmpty() ? QStringLiteral("/") : mediaIdDir(),
            tr("Quorvel Download Tool Media File(ENCRYPT.TXT  encrypt.txt)"));
        if (!chosen.isEmpty())
            mediaIdFile = chosen;
    }

    if (mediaIdFile.isEmpty()) {
        resetToNoCard();
        return false;
    }

    // Read-write on purpose: a locked or write-protected card cannot take a
    // download, so it counts as no card at all.
    QFile file(mediaIdFile);
    if (!file.open(QIODevice::ReadWrite)) {
        resetToNoCard();
        return false;
    }

    const QFileInfo info(mediaIdFile);
    if (!info.isFile() || info.fileName().compare(QStringLiteral("ENCRYPT.TXT"), Qt::CaseInsensitive) != 0) {
        showMessage(QStringLiteral("Invalid Media ID file"));
        return false;
    }

    // A real ENCRYPT.TXT is a few hundred bytes; anything far larger is not one.
    rawMediaId = mediaIdFromContent(QString::fromUtf8(file.read(1 << 20)));
    if (!rawMediaId.isEmpty())
        return true;
    showMessage(QStringLiteral("Invalid Media ID file"));
    return false;
}

void NewWindow::setElidedLabel(QLabel *label, const QString &text, const QString &tooltip)
{
    const QString shown = QFontMetrics(label->font()).elidedText(text, Qt::ElideRight, label->width());
    label->setText(shown);
    label->setToolTip(shown != text ? tooltip : QString());
}

void NewWindow::chooseMediaIdFile(bool browse)
{
    if (!scanMediaIdFile(browse))
        return;

    const QStorageInfo storage(mediaIdFile);
    freeKb = qint32(storage.bytesAvailable() / 1024);
    totalKb = qint32(storage.bytesTotal() / 1024);

    setElidedLabel(ui->sdPathLabel, QStringLiteral("File Path: ") + mediaIdDir(), mediaIdDir());
    ui->sdSpaceLabel->setText(QStringLiteral("SD Card Capacity: ") + Utilities::kbToReadable(freeKb)
                              + QStringLiteral(" / ") + Utilities::kbToReadable(totalKb));
    client.settings.setValue(SettingsKeys::mediaIdFile, mediaIdFile);

    if (scanRQ()) {
        showNoRqIcon(false);
    } else {
        showNoRqIcon(true);
        ui->noRqLabel->setText(QStringLiteral("The selected card is not a RQ card"));
        ui->noRq2Label->setText(QString());
        ui->noRqTooltipLabel->hide();

        const QString vmidPath = mediaIdDir() + QStringLiteral("/vmid");
        QFile vmid(vmidPath);
        if (!vmid.exists()) {
            cardProductType = NoProductType;
            ui->sdSkuOnCardLabel->clear();
            ui->sdSkuOnCardLabel->setToolTip(QString());
            skuOnCard.clear();
        } else if (!vmid.open(QIODevice::ReadOnly)) {
            skuOnCard.clear();
            cardProductType = NoProductType;
        } else {
            skuOnCard = QString::fromUtf8(vmid.readLine(4096).simplified());
            vmid.close();
            if (skuOnCard.isEmpty()) {
                cardProductType = NoProductType;
                vmid.remove();
            } else if (productGroups.value(VelmoraRegion)->getProduct(skuOnCard)) {
                cardProductType = VelmoraRegion;
            } else if (productGroups.value(Talvos)->getProduct(skuOnCard)) {
                cardProductType = Talvos;
            }
        }
    }

    if (!skuOnCard.isEmpty()) {
        const QString shown = QFontMetrics(ui->sdSkuOnCardLabel->font())
                                  .elidedText(skuOnCard, Qt::ElideRight, ui->sdSkuOnCardLabel->width());
        ui->sdSkuOnCardLabel->setText(QStringLiteral("Item # ") + shown);
        ui->sdSkuOnCardLabel->setToolTip(shown != skuOnCard ? skuOnCard : QString());
    }

    emit rawMediaIdChanged(rawMediaId, skuOnCard, cardProductType);
    if (getCurrentTab() != RqSd)
        clearSelections(currentProductType);
    showCardPicture();
}

void NewWindow::showCardPicture()
{
    QPixmap picture(cardPicture(cardProductType));
    if (!picture.isNull())
        ui->sdImg->setPixmap(picture.scaled(ui->sdImg->size(), Qt::KeepAspectRatio, Qt::FastTransformation));
}

void NewWindow::chooseMediaIdFileFromDisk()
{
    chooseMediaIdFile(true);
}

void NewWindow::showNoRqIcon(bool show)
{
    ui->outerRqIconWidget->setVisible(show);
    ui->rqScrollArea->setVisible(!show);
}

// ---------------------------------------------------------------- RQ card

void NewWindow::findMatchedRqSku()
{
    // The bound subscription may have come with an earlier card; what counts
    // is the card chosen now.
    if (rawMediaId.isEmpty())
        return;
    QList<AbstractProduct *> products = productGroups.value(RqSd)->getProducts();
    std::sort(products.begin(), products.end(),
              [](const AbstractProduct *a, const AbstractProduct *b) { return a->sku < b->sku; });
    matchedRqSku.clear();
    for (AbstractProduct *product : std::as_const(products)) {
        if (product->getSubscription(rawMediaId)) {
            matchedRqSku = product->sku;
            return;
        }
    }
}

bool NewWindow::scanRQ()
{
    clearSelections(RqSd);
    skuOnCard.clear();

    QLayout *layout = ui->rqScrollWidget->layout();
    while (QLayoutItem *item = layout->takeAt(0)) {
        if (QWidget *widget = item->widget())
            widget->deleteLater();
        delete item;
    }

    if (mediaIdFile.isEmpty())
        return false;

    findMatchedRqSku();
    ProductGroup *rqGroup = productGroups.value(RqSd);
    const QFileInfoList files = QDir(mediaIdDir()).entryInfoList({QStringLiteral("*.kim")}, QDir::Files, QDir::Unsorted);
    for (const QFileInfo &fileInfo : files) {
        Mik::MikFile container;
        try {
            container = Mik::MikFile(fileInfo.absoluteFilePath());
        } catch (const QString &message) {
            // An unreadable container is not this card's chart; the next
            // file may still be.
            qDebug() << "Skipping container" << fileInfo.fileName() << message;
            continue;
        }
        auto *product = qobject_cast<RqSdProduct *>(rqGroup->getProduct(container.chartName()));
        if (!product)
            continue;

        cardProductType = RqSd;
        const bool unknownToService = matchedRqSku.isEmpty();
        product->createRow(ui->rqScrollWidget, rqGroup->getButtonGroup());
        skuOnCard = container.chartName();
        cardContainer = container;
        chartUpdateStatus = product->getStatus(cardContainer);
        if (product->row)
            product->row->updateStatusText(chartUpdateStatusText(chartUpdateStatus));
        if (getCurrentTab() == RqSd) {
            product->highlighted();
            product->selected = true;
        }
        updateRqDlBtn();
        if (unknownToService)
            startRegistration(product);
        return true;
    }

    if (!matchedRqSku.isEmpty() && skuOnCard.isEmpty()) {
        AbstractProduct *product = rqGroup->getProduct(matchedRqSku);
        if (!product)
            return false;
        Subscription *subscription = product->getSubscription(rawMediaId);
        if (!subscription)
            return false;
        if (restoringDownloader)
            return true; // one restoration at a time; its end scans again
        restoringDownloader = new ProductDownloader(nullptr, product);
        restoringDownloader->sessionId = sessionId;
        restoringDownloader->setMediaIdDir(mediaIdDir());
        connect(restoringDownloader, &ProductDownloader::mikRestored, this, &NewWindow::handleMikRestored);
        connect(restoringDownloader, &ProductDownloader::errorPerm, this, [this](const QString &sku, const QString &msg) {
            if (restoringDownloader) {
                restoringDownloader->disconnect(this);
                restoringDownloader->deleteLater();
                restoringDownloader = nullptr;
            }
            handleTmpError(sku, msg);
        });
        skuOnCard = product->sku;
        cardProductType = RqSd;
        restoringDownloader->restoreRQ(skuOnCard, subscription->drm);
        return true;
    }
    return false;
}

void NewWindow::dropIdleDownloader()
{
    ui->downloadStatusLabel->clear();
    ui->downloadStageLabel->clear();
    ui->downloadStageLabel->hide();

    // A finished or never-started downloader goes; one that still moves
    // bytes keeps running.
    if (currentDownloader && !downloading) {
        currentDownloader->disconnect(this);
        currentDownloader->deleteLater();
        currentDownloader = nullptr;
    }
}

void NewWindow::startRegistration(AbstractProduct *product)
{
    dropIdleDownloader();
    if (registeringDownloader) {
        registeringDownloader->disconnect(this);
        registeringDownloader->deleteLater();
    }
    registeringDownloader = new ProductDownloader(nullptr, product);
    registeringDownloader->sessionId = sessionId;
    registeringDownloader->setMediaIdDir(mediaIdDir());
    // Once the service knows the card, its subscriptions tell the window so.
    connect(registeringDownloader, &ProductDownloader::productActivated, this,
            [this] { getSubscriptionsRequest(RqSd); });
    connect(registeringDownloader, &ProductDownloader::errorPerm, this,
            [this](const QString &sku, const QString &msg) { handleTmpError(sku, msg); });
    registeringDownloader->registerRQ(&cardContainer);
}

void NewWindow::handleMikRestored()
{
    if (restoringDownloader) {
        restoringDownloader->disconnect(this);
        restoringDownloader->deleteLater();
        restoringDownloader = nullptr;
    }
    if (scanRQ())
        showNoRqIcon(false);
}

void NewWindow::updateRqDlBtn()
{
    switch (chartUpdateStatus) {
    case AbstractProduct::UpToDateSameBuild:
        setDownloadButton(QStringLiteral("Validate"), true);
        break;
    case AbstractProduct::UpToDate:
        setDownloadButton(ui->downloadBtn->text(), false);
        break;
    case AbstractProduct::UpdateInProgress:
        setDownloadButton(QStringLiteral("Resume"), true);
        break;
    default:
        setDownloadButton(QStringLiteral("Update"), true);
        break;
    }
}

void NewWindow::chartUpdateStatusChanged(AbstractProduct::ChartUpdateStatus status)
{
    chartUpdateStatus = status;
    // The card's row tells the same state as the details pane.
    if (auto *product = qobject_cast<RqSdProduct *>(productGroups.value(RqSd)->getProduct(cardContainer.chartName())))
        product->chartUpdateStatusChanged(status);
    ui->subDetailLabel->setText(QStringLiteral("Product Details"));
    ui->quantityLabel->setText(QStringLiteral("<b>Build:</b> ") + RqSdProduct::containerBuildReference(cardContainer));
    ui->noteHeaderLabel->setText(QStringLiteral("<b>Note:</b> "));
    ui->statusLabel->setText(QStringLiteral("<b>Product Status:</b> ") + chartUpdateStatusText(status));
    ui->statusLabel->show();
    switch (status) {
    case AbstractProduct::UpdateInProgress:
        ui->noteBodyLabel->setText(QStringLiteral("The RQ Chart Card update is in progress."));
        break;
    case AbstractProduct::UpToDate:
    case AbstractProduct::UpToDateSameBuild:
        ui->noteBodyLabel->setText(QStringLiteral("The RQ Chart Card is up to date with the latest data."));
        break;
    default:
        ui->noteBodyLabel->setText(
            QStringLiteral("Select \"Update\" to download the latest chart information to your card."));
        break;
    }
}

// ---------------------------------------------------------------- details

void NewWindow::applyStatusButton(AbstractProduct *product, int code)
{
    switch (code) {
    case 0:
        setDownloadButton(QStringLiteral("Download"), true);
        break;
    case 1:
    case 3:
        setDownloadButton(product->statusNames.value(code), true);
        break;
    default:
        setDownloadButton(ui->downloadBtn->text(), false);
        break;
    }
}

void NewWindow::productButtonClicked(int productId)
{
    ProductGroup *group = productGroups.value(currentProductType);
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

    if (mediaIdFile.isEmpty()) {
        showMessage(QStringLiteral("Please select an SD card."));
        return;
    }
    if (product->sizeInKb > totalKb) {
        showMessage(QStringLiteral("You don't have enough space to download this chart onto the current SD card."));
        return;
    }

    for (AbstractProduct *other : group->getProducts())
        other->selected = false;

    if (product->productType == RqSd) {
        product->selected = true;
        if (product->row)
            product->row->setSelected(true);
        updateRqDlBtn();
    } else {
        product->selected = true;
        applyStatusButton(product, product->currentSubscriptionStatus(rawMediaId, skuOnCard, cardProductType));
    }
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
        if (QWidget *old = ui->productInfoScrollArea->takeWidget()) {
            if (qobject_cast<LoadingGif *>(old))
                old->deleteLater();
            else
                old->hide();
        }
        ui->productInfoScrollArea->setWidget(new LoadingGif);
        ui->productInfoScrollArea->show();
        return;
    }

    const QString elided = QFontMetrics(ui->productName->font())
                               .elidedText(product->name, Qt::ElideRight, ui->productName->width());
    ui->productName->setText(elided);
    ui->productName->setToolTip(product->name);

    QWidget *image = product->createImageWidget();
    QLayout *imageLayout = ui->productImageWidget->layout();
    if (QLayoutItem *item = imageLayout->takeAt(0)) {
        if (QWidget *old = item->widget())
            old->hide();
        delete item;
    }
    if (image) {
        ui->productImageWidget->setMinimumHeight(image->minimumHeight());
        ui->productImageWidget->setMaximumHeight(image->maximumHeight());
        imageLayout->addWidget(image);
        image->show();
    }
    ui->productImageWidget->show();

    if (product->productType == RqSd) {
        chartUpdateStatusChanged(chartUpdateStatus);
    } else {
        ui->subDetailLabel->setText(QStringLiteral("Product Details"));
        const int code = product->currentSubscriptionStatus(rawMediaId, skuOnCard, cardProductType);
        ui->statusLabel->setText(QStringLiteral("<b>Product Status:</b> ") + product->statusNames.value(code));
        ui->statusLabel->show();

        QString quantity = QStringLiteral("1");
        if (product->subscriptions.size() >= 2) {
            QString list;
            const QMap<int, int> counts = product->currentSubscriptionCount(rawMediaId, skuOnCard);
            for (auto it = counts.cbegin(); it != counts.cend(); ++it)
                list += QStringLiteral("%1 - %2, ").arg(it.value()).arg(product->statusNames.value(it.key()));
            list.chop(2);
            quantity = QStringLiteral("%1 (%2)").arg(product->subscriptions.size()).arg(list);
        }
        ui->quantityLabel->setText(QStringLiteral("<b>Quantity: </b>") + quantity);
        ui->noteHeaderLabel->setText(QStringLiteral("<b>Note:</b> "));
        ui->noteBodyLabel->setText(statusNote(code));
        ui->noteBodyLabel->adjustSize();
    }

    ui->subscriptionDetails->show();
    QWidget *description = product->createDescriptionWidget(0);
    if (QWidget *old = ui->productInfoScrollArea->takeWidget()) {
        if (qobject_cast<LoadingGif *>(old))
            old->deleteLater();
        else if (old != description)
            old->hide();
    }
    if (description) {
        ui->productInfoScrollArea->setMinimumHeight(description->minimumHeight());
        ui->productInfoScrollFrame->setMinimumHeight(ui->productInfoScrollArea->minimumHeight());
        ui->productInfoScrollArea->setWidget(description);
        description->show();
    }
    ui->productInfoScrollArea->setStyleSheet(QString::fromLatin1(infoScrollStyle));
    ui->productInfoScrollArea->setVisible(product->productType != RqSd);
}

// ---------------------------------------------------------------- download

void NewWindow::clearProductDownloader()
{
    ui->downloadStatusLabel->clear();
    ui->downloadStageLabel->clear();
    ui->downloadStageLabel->hide();
    if (currentDownloader) {
        currentDownloader->disconnect(this);
        currentDownloader->deleteLater();
        currentDownloader = nullptr;
    }
    ui->downloaderWidget->hide();
}

ProductDownloader *NewWindow::addDownload(AbstractProduct *product)
{
    auto *downloader = new ProductDownloader(ui->downloadArea, product);
    ui->downloaderWidget->hide();
    ui->downloadArea->layout()->addWidget(downloader);
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
    // A second press while a download runs would start a second one on the
    // same files.
    if (downloading)
        return;

    QFile media(mediaIdFile);
    if (mediaIdFile.isEmpty() || !media.open(QIODevice::ReadWrite)) {
        showMessage(QStringLiteral("Cannot open Media ID file."));
        disableBtns(false);
        return;
    }
    media.close();

    ProductGroup *group = productGroups.value(currentProductType);
    AbstractProduct *product = group ? group->getSelectedProduct() : nullptr;
    if (!product)
        return;

    clearProductDownloader();
    currentDownloader = addDownload(product);
    currentDownloader->sessionId = sessionId;
    currentDownloader->setMediaIdDir(mediaIdDir());

    disableBtns(true);
    tray->setToolTip(QStringLiteral("Download in progress: ") + currentDownloader->name);
    downloadClock.restart();

    if (product->productType == RqSd)
        currentDownloader->updateRQ(&cardContainer);
    else
        currentDownloader->activateProduct();
}

void NewWindow::handleProductActivated(int subscriptionID, int expiration, QString mediaID)
{
    if (!currentDownloader)
        return;
    ProductGroup *group = productGroups.value(currentProductType);
    AbstractProduct *product = group ? group->getProduct(currentDownloader->productId) : nullptr;
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
    emit rawMediaIdChanged(rawMediaId, skuOnCard, cardProductType);
    if (shownProduct == product)
        updateProductDisplay(product);
}

void NewWindow::cardSummaryRefresh(bool *vmidRead)
{
    const QStorageInfo storage(mediaIdFile);
    freeKb = qint32(storage.bytesAvailable() / 1024);
    totalKb = qint32(storage.bytesTotal() / 1024);
    ui->sdSpaceLabel->setText(QStringLiteral("SD Card Capacity: ") + Utilities::kbToReadable(freeKb)
                              + QStringLiteral(" / ") + Utilities::kbToReadable(totalKb));

    QFile vmid(mediaIdDir() + QStringLiteral("/vmid"));
    const bool opened = vmid.exists() && vmid.open(QIODevice::ReadOnly);
    if (vmidRead)
        *vmidRead = opened;
    if (opened) {
        skuOnCard = QString::fromUtf8(vmid.readLine(4096).simplified());
        const QString shown = QFontMetrics(ui->sdSkuOnCardLabel->font())
                                  .elidedText(skuOnCard, Qt::ElideRight, ui->sdSkuOnCardLabel->width());
        ui->sdSkuOnCardLabel->setText(QStringLiteral("Item # ") + shown);
        ui->sdSkuOnCardLabel->setToolTip(shown != skuOnCard ? skuOnCard : QString());
    } else {
        ui->sdSkuOnCardLabel->clear();
        skuOnCard.clear();
    }
}

void NewWindow::handleVmidUpdated(QString sku)
{
    skuOnCard = sku;
    bool vmidRead = false;
    cardSummaryRefresh(&vmidRead);
    if (vmidRead) {
        if (productGroups.value(VelmoraRegion)->getProduct(sku))
            cardProductType = VelmoraRegion;
        else if (productGroups.value(Talvos)->getProduct(sku))
            cardProductType = Talvos;
        showCardPicture();
    }
    ProductGroup *group = productGroups.value(currentProductType);
    const auto selected = group->getSelectedProducts();
    if (selected.size() == 1)
        updateProductDisplay(selected.first());
    emit rawMediaIdChanged(rawMediaId, skuOnCard, cardProductType);
}

QString NewWindow::durationText(qint64 elapsedMs)
{
    const qint64 seconds = elapsedMs / 1000;
    if (seconds < 60)
        return QString::number(seconds) + QStringLiteral(" seconds");
    return QString::number(seconds / 60) + QStringLiteral(" minutes");
}

void NewWindow::handleAllDone(QString sku)
{
    show();
    raise();
    activateWindow();
    skuOnCard = sku;
    cardSummaryRefresh();
    emit rawMediaIdChanged(rawMediaId, skuOnCard, cardProductType);

    disableBtns(false);
    setDownloadButton(ui->downloadBtn->text(), false);

    const QString productName = currentDownloader ? currentDownloader->name : sku;
    const QString duration = durationText(downloadClock.isValid() ? downloadClock.elapsed() : 0);
    const QString done = productName + QStringLiteral(" has been successfully downloaded to your SD card");
    tray->showMessage(productName + QStringLiteral(": download finished in ") + duration, done,
                      QSystemTrayIcon::Information, 10000);
    tray->setToolTip(QString());

    // The stage line is set before the modal box so that it is visible while
    // the box waits for the user.
    if (cardProductType != RqSd) {
        ui->downloadStageLabel->setText(QStringLiteral("Download Complete"));
    } else {
        chartUpdateStatusChanged(AbstractProduct::UpToDateSameBuild);
        ui->downloadStageLabel->setText(QStringLiteral("Update Complete"));
    }
    ui->downloadStageLabel->show();
    ui->downloadStatusLabel->clear();

    ProductGroup *group = productGroups.value(currentProductType);
    const auto selected = group->getSelectedProducts();
    if (selected.size() == 1 && selected.first()->productType != RqSd)
        updateProductDisplay(selected.first());

    if (isVisible())
        showMessage(done);
}

void NewWindow::handleTmpError(QString, QString msg)
{
    const QString productName = currentDownloader ? currentDownloader->name : QString();
    tray->showMessage(QStringLiteral("Download Error: ") + productName, msg, QSystemTrayIcon::Information, 10000);
    if (isVisible())
        showMessage(msg);
}

void NewWindow::handlePermError(QString sku, QString msg)
{
    handleTmpError(sku, msg);
    clearProductDownloader();
    disableBtns(false);
    // The button comes back for the product still selected, so the user can
    // try again once the cause is fixed.
    ProductGroup *group = productGroups.value(currentProductType);
    if (AbstractProduct *product = group->getSelectedProduct()) {
        if (product->productType == RqSd)
            updateRqDlBtn();
        else
            applyStatusButton(product, product->currentSubscriptionStatus(rawMediaId, skuOnCard, cardProductType));
    }
    tray->setToolTip(QString());
}

void NewWindow::handleCancel()
{
    clearProductDownloader();
    disableBtns(false);
    if (cardProductType == RqSd) {
        if (scanRQ())
            showNoRqIcon(false);
    } else {
        setDownloadButton(QStringLiteral("Redownload"), true);
        ProductGroup *group = productGroups.value(currentProductType);
        const auto selected = group->getSelectedProducts();
        if (selected.size() == 1)
            productButtonClicked(selected.first()->productId);
    }
    tray->setToolTip(QString());
}
