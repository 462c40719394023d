#pragma once

#include <QHash>
#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>

#include "widgets/abstractproduct.h"
#include "catalogue/producttypeenum.h"
#include "window/productdownloader.h"
#include "shell/serviceclient.h"

class CardPanel;
class CatalogueLoader;
class DetailsPane;
class DownloadControl;
class RqCardScan;
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
// panel, the details side bar, the download area and the tray icon. It is
// where the parts meet: the card panel knows the card, the catalogue loader
// the products, the details pane what is shown of one of them and the
// download control the running download; the window decides what each
// event means for the others.
class NewWindow : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NewWindow)
    // It acts on the window's behalf for everything a download reports.
    friend class DownloadControl;

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
    void handleGetAllProducts(QNetworkReply *reply);
    void handleGetSubscriptions(QNetworkReply *reply, ProductTypeEnum line);

    // Details and download control.
    void updateProductDisplay(AbstractProduct *product);
    ProductDownloader *addDownload(AbstractProduct *product);
    void clearProductDownloader();
    void showNoRqIcon(bool show);

    ProductGroup *productGroup(ProductTypeEnum line) const;
    ProductDownloader *downloader() const;
    QSystemTrayIcon *trayIcon() const { return tray; }
    AbstractProduct::ChartUpdateStatus cardChartStatus() const;
    ProductTypeEnum cardType() const;

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
    void showMessage(const QString &text);
    void showCatalogueProblem(const QString &message);
    void offerForSelected();
    void chooseOfferedCard(const QString &mediaFile);
    void handleCardLost();
    void handleCardBack();

    Ui::NewWindow *ui;
    ServiceClient client;
    CardPanel *card = nullptr;
    DetailsPane *details = nullptr;
    CatalogueLoader *catalogue = nullptr;
    DownloadControl *control = nullptr;
    RqCardScan *rq = nullptr;
    RefreshButton *refreshButton = nullptr;
    QSystemTrayIcon *tray = nullptr;
    QString versionText;
    QHash<ProductTypeEnum, QScrollArea *> productScrollAreas;
    ProductTypeEnum currentProductType = RqSd;
    QString sessionId;

    AbstractProduct *shownProduct = nullptr;
};
