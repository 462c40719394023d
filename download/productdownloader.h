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
#include <memory>

#include "catalogue/abstractproduct.h"
#include "download/activationplan.h"
#include "download/filelist.h"
#include "download/readbackverifier.h"
#include "download/transferqueue.h"
#include "service/serviceclient.h"

class CardWriter;
class Download;
class RqUpdate;
namespace Mik {
class MikFile;
}
namespace Ui {
class ProductDownloader;
}

// Takes one product onto one card and reports to the main window by
// signals. The work is done by the classes behind it: the file list
// (FileList), the plan of what to keep, check, resume or fetch
// (ActivationPlan), the first-in-first-out queue of transfers
// (TransferQueue), one Download per file, the RQ update transaction
// (RqUpdate) and the card writer through which every byte reaches the card.
// One instance per download; the window deletes it when the download ended.
class ProductDownloader : public QWidget
{
    Q_OBJECT

    // Declared first: the tables of admitted and waiting transfers below are
    // views into it.
    TransferQueue queue;

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
    QHash<QString, Download *> &activeDownloads = queue.active;
    QHash<QString, Download *> &queuedDownloads = queue.waiting;
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
    // The chosen card has gone during the run (the window's card watcher
    // saw it): stop at once, as the pause button would, and say why.
    void pauseForMissingCard();

private:
    void connectDownload(Download *download);
    void handleRetryFromStart(const QString &file);
    // Both end the operation with errorPerm when they return false.
    bool failPermanently(const QString &message);
    bool cardReady();
    Download *makeDownload(int index);
    bool prepareProduct();
    bool prepareSegments();
    void applyPlan(const QList<ActivationPlan::Step> &steps);
    void startChecks();
    void startIdleAdmitted();
    bool running();
    bool everyFileDone() const;
    bool commitRqUpdate();
    // The card's file system can hold every file of the list (names, sizes).
    bool fitsCard();
    // Reads back what the run wrote; the run ends in handleReadbackFinished.
    void startReadback();
    void handleReadbackFinished();
    // Tells the window that the product (or the update) is complete.
    void finish();
    // Files counted as done that are no longer on the card at their length
    // are fetched (or checked) again; true when something was.
    bool requeueVanished();

    Ui::ProductDownloader *ui;
    ServiceClient client;
    std::shared_ptr<const CardWriter> writer;
    FileList list;
    QHash<QString, int> recordIndex;
    // Where a file under check lies on the card when that is not its target.
    QHash<QString, QString> checkPaths;
    // Files kept because their check passed, not fetched in this run.
    QSet<QString> proven;
    std::unique_ptr<RqUpdate> rqUpdate;
    bool rqSignalsConnected = false;
    bool sha1Connected = false;
    bool missingCard = false;
    QString backupFolder;
    QList<QFuture<void>> sha1Futures;
    QList<QFuture<void>> backupFutures;
    std::atomic_bool abandonChecks{false};
    // On unless config.ini turns it off.
    bool readBackOn = true;
    std::unique_ptr<ReadbackVerifier> readback;
};
