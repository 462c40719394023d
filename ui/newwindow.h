#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

#include "catalogue/abstractproduct.h"
#include "catalogue/producttypeenum.h"
#include "download/productdownloader.h"
#include "media/mikfile.h"
#include "service/serviceclient.h"

class QCloseEvent;
class QNetworkReply;
class QResizeEvent;
class QScrollArea;
class ProductGroup;
class RefreshButton;

namespace Ui {
class NewWindow;
}

// The application's only main window: the three product tabs, the card
// panel, the details side bar, the download area and the tray icon. Every
// part of the window's work reports here.
class NewWindow : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NewWindow)

public:
    explicit NewWindow(QString sessionId, QWidget *parent = nullptr);
    ~NewWindow() override;

    int getCurrentTab() const;
    void disableBtns(bool disable);
    void clearSelections(ProductTypeEnum line);

    // Card selection.
    QString mediaIdDir() const;
    bool scanMediaIdFile(bool browse);
    void chooseMediaIdFile(bool browse);

    // Catalogue loading.
    void getSubscriptionsRequest(ProductTypeEnum line);
    void initTab(ProductTypeEnum line);
    void addProduct(const QJsonObject &product, ProductTypeEnum line);
    void handleGetAllProducts(QNetworkReply *reply);
    void handleGetSubscriptions(QNetworkReply *reply, ProductTypeEnum line);
    ProductTypeEnum getProductTypeFromString(const QString &name) const;

    // Details and download control.
    void updateProductDisplay(AbstractProduct *product);
    ProductDownloader *addDownload(AbstractProduct *product);
    void clearProductDownloader();
    void showNoRqIcon(bool show);

    ProductGroup *productGroup(ProductTypeEnum line) const { return productGroups.value(line); }
    ProductDownloader *downloader() const { return currentDownloader; }
    QSystemTrayIcon *trayIcon() const { return tray; }
    AbstractProduct::ChartUpdateStatus cardChartStatus() const { return chartUpdateStatus; }
    ProductTypeEnum cardType() const { return cardProductType; }

    // "5 seconds" below a minute, whole minutes ("1 minutes") from there on.
    static QString durationText(qint64 elapsedMs);

signals:
    void rawMediaIdChanged(QString rawMediaId, QString sku, ProductTypeEnum productType);

public slots:
    void handleRefreshButtonClicked(int _productType);
    void handleResponse(QNetworkReply *response);
    void handleAllDone(QString sku);
    void handlePermError(QString sku, QString msg);
    void handleTmpError(QString sku, QString msg);
    void handleTabBarClicked(int index);
    void tabSelected(int index);
    void chooseMediaIdFileFromDisk();
    void productButtonClicked(int productId);
    void updateProductDisplaySlot(AbstractProduct *product);
    void updateRqDlBtn();
    void chartUpdateStatusChanged(AbstractProduct::ChartUpdateStatus status);
    void handleCancel();
    void on_downloadBtn_released();
    void handleVmidUpdated(QString sku);
    void closeEvent(QCloseEvent *event) override;
    void messageClicked();
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    void trayCloseTriggered(bool checked);
    void handleStatusUpdate(QString sku, QString msg);
    void handleStageUpdate(QString sku, QString msg);
    void handleProductActivated(int subscriptionID, int expiration, QString mediaID);
    bool scanRQ();
    void handleMikRestored();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void handleVersionReply(QNetworkReply *reply);
    void setMoreProductsLink(int index);
    void resetToNoCard();
    void showCardPicture();
    void cardSummaryRefresh(bool *vmidRead = nullptr);
    void setElidedLabel(class QLabel *label, const QString &text, const QString &tooltip);
    void setDownloadButton(const QString &text, bool offered);
    void applyStatusButton(AbstractProduct *product, int code);
    void showMessage(const QString &text);
    // Clears the download texts and lets go of a downloader that no longer runs.
    void dropIdleDownloader();
    void startRegistration(AbstractProduct *product);
    void findMatchedRqSku();

    Ui::NewWindow *ui;
    ServiceClient client;
    RefreshButton *refreshButton = nullptr;
    QSystemTrayIcon *tray = nullptr;
    QElapsedTimer downloadClock;
    QString versionText;
    QHash<ProductTypeEnum, ProductGroup *> productGroups;
    QHash<ProductTypeEnum, QScrollArea *> productScrollAreas;
    ProductTypeEnum currentProductType = RqSd;
    QString sessionId;

    QString mediaIdFile;
    QString rawMediaId;
    QString skuOnCard;
    ProductTypeEnum cardProductType = NoProductType;
    QString matchedRqSku;

    // The downloaders hold the container's address, so it is a member that
    // is assigned to, never replaced.
    Mik::MikFile cardContainer;
    AbstractProduct::ChartUpdateStatus chartUpdateStatus = AbstractProduct::UpToDate;

    qint32 freeKb = 0;
    qint32 totalKb = 0;

    QPointer<ProductDownloader> currentDownloader;
    QPointer<ProductDownloader> restoringDownloader;
    // Kept apart from the current downloader: clearing the details pane or
    // clicking a row must not cut a registration short.
    QPointer<ProductDownloader> registeringDownloader;
    AbstractProduct *shownProduct = nullptr;
    // The control lock is on: a download has started and not yet ended.
    bool downloading = false;
};
