#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFuture>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QMap>
#include <QNetworkReply>
#include <QSet>
#include <QString>
#include <QWidget>

#include <atomic>

#include "catalogue/abstractproduct.h"
#include "media/cardidentity.h"
#include "service/serviceclient.h"

class Download;
class QJsonArray;
namespace Mik {
class MikFile;
}
namespace Ui {
class ProductDownloader;
}

// Takes one product onto one card: activates it, sorts its files into kept,
// resumed, checked and fetched, runs the transfers a few at a time and reports
// to the main window by signals. One instance per download; the window
// deletes it when the download has ended.
class ProductDownloader : public QWidget
{
    Q_OBJECT

public:
    explicit ProductDownloader(QWidget *parent = nullptr, AbstractProduct *product = nullptr);
    ~ProductDownloader() override;
    Q_DISABLE_COPY_MOVE(ProductDownloader)

    void setProduct(AbstractProduct *product);
    void setMediaIdDir(const QString &dir);
    void activateProduct();

    void updateRQ(Mik::MikFile *container);
    void registerRQ(Mik::MikFile *container);
    void restoreRQ(const QString &sku, const QByteArray &drm);

    void queueDownload(const QString &file);
    void queueDownload(Download *download);
    bool busy();

    static QString formatTimeLeft(qint64 seconds);

    // The main window reads these and assigns the session id before activation.
    AbstractProduct *product = nullptr;
    int productId = 0;
    QString sku;
    QString name;
    QString sessionId;
    int subscriptionId = 0;

    qint64 totalBytes = 0;
    qint64 doneBytes = 0;
    QString deviceId;
    QString mediaIdDir;
    QString endPoint;
    QString cdnEndPoint;
    ProductTypeEnum productType = ProductTypeEnum(-1);
    int concurrency = 3;

    Mik::MikFile *container = nullptr;
    QString chartBaseName;
    QList<QFileInfo> backupList;
    QByteArray headerBlock;
    QByteArray drmBytes;
    QString expectedChartId;

    QElapsedTimer speedTimer;
    qint64 lastTick = 0;
    qint64 windowBytes = 0;

    QHash<QString, Download *> downloads;
    QHash<QString, Download *> sha1Checks;
    QHash<QString, Download *> activeDownloads;
    QHash<QString, Download *> queuedDownloads;
    QMap<QString, QString> downloadErrors;

    bool finished = false;
    bool cancelling = false;
    bool pausing = false;
    bool startPending = false;

    QNetworkReply *activationReply = nullptr;
    QNetworkReply *segmentsReply = nullptr;
    QNetworkReply *headerReply = nullptr;

signals:
    void backupFinished(QFileInfo fileInfo);
    void headerUpdated(QString sku);
    void mikRestored();
    void sha1Passed(QString file);
    void allDone(QString sku);
    void redownload(QString file);
    void errorPerm(QString title, QString message);
    void errorTmp(QString title, QString message);
    void cancel();
    void vmidUpdated(QString sku);
    void statusUpdate(QString sku, QString message);
    void stageUpdate(QString sku, QString message);
    void productActivated(int subscriptionId, int expiration, QString mediaId);
    void chartUpdateStatusChange(AbstractProduct::ChartUpdateStatus status);

public slots:
    void handleActivateProduct();
    void handleGetSegments();
    void startDwonloads();
    void startDownload(Download *download);
    void handleDownloadStarted(const QString &file);
    void handleBytesDone(qint64 bytes);
    void updateProgress();
    void handleFileFinished(const QString &file);
    void checkSha1(const QString &file);
    void handleSha1Passed(const QString &file);
    void handleRedownload(const QString &file);
    void checkAllDone();
    void writeMikFile(const QString &baseName);
    void handleAllDone();

    void handleHeaderUpdate();
    void handleHeaderUpdated(const QString &sku);
    void handleNetworkError(QNetworkReply::NetworkError code);
    void handleBackupFinished(const QFileInfo &fileInfo);
    void backupMik(const QFileInfo &fileInfo);

    void on_pauseButton_pressed();
    void on_pauseButton_released();
    void on_cancelButton_released();
    void handleDownloadCancelled(const QString &file);
    void handleDownloadError(const QString &file, const QString &message);
    void checkPauseCancel();
    void checkErrors();
    void disableBtns();
    // The card was taken out: stop every transfer now rather than at the
    // next failed write, and let Resume go on only on the same card.
    void pauseForMissingCard();

private:
    void connectDownload(Download *download);
    // False when the file ended the whole operation with a permanent error.
    bool classifyFile(Download *download);
    bool cardPresent();
    bool checkRecordPaths(const QJsonArray &files);
    bool insideCardRoot(const QString &relativePath) const;
    void writeVmid(const QJsonArray &files);
    void clearChartFolder(const QJsonArray &files);
    void startIdleAdmitted();
    bool running();
    bool everyFileDone() const;
    QString diskErrorText(const QString &message) const;

    Ui::ProductDownloader *ui;
    ServiceClient client;
    bool rqSignalsConnected = false;
    bool sha1Connected = false;
    QSet<Download *> classified;
    QString backupFolder;
    QList<QFuture<void>> sha1Futures;
    QList<QFuture<void>> backupFutures;
    std::atomic_bool abandonChecks{false};
    CardIdentity chosenCard;
    bool cardMissing = false;
};
