#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFuture>
#include <QFutureWatcher>
#include <QHash>
#include <QList>
#include <QMap>
#include <QNetworkReply>
#include <QSet>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

#include "widgets/abstractproduct.h"
#include "download/completion.h"
#include "service/filelist.h"
#include "download/preparation.h"
#include "download/readbackverifier.h"
#include "shell/serviceclient.h"

class CardWriter;
class CheckRunner;
class RqUpdate;
class TransferRunner;
namespace Mik {
class MikFile;
}
namespace Ui {
class ProductDownloader;
}

// Takes one product onto one card and reports to the main window by
// signals. The work is done by the classes behind it: the preparation on
// the thread pool (Preparation: the file list, the card's side and the plan
// of what to keep, check, resume or fetch), the checks of files already on
// the card (CheckRunner), the transfers on a thread of their own
// (TransferRunner), the last look and the RQ commit on the pool
// (Completion), and the card writer through which every byte reaches the
// card. This object keeps the state the window sees (progress, buttons,
// pause, cancel and errors) and never waits on the network or the card
// itself. One instance per download; the window deletes it when the
// download ended.
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
    bool busy();
    // Files in the product's list, and the most transfers that ran at once.
    int fileCount() const { return int(list.records.size()); }
    int transfersAtOnce() const;

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
    // The user's ceiling on files at once (downloadConcurrency); how many
    // run depends on their sizes (TransferRunner).
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

    // Files whose SHA-1 check runs or waits.
    QSet<QString> sha1Checks;
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
    void prepare(std::function<Preparation::Result()> work);
    void handlePrepared();
    void startChecks();
    void stopAll();
    bool running();
    bool everyFileDone() const;
    void handleCompletion();
    // Reads back what the run wrote; the run ends in handleReadbackFinished.
    void startReadback();
    void handleReadbackFinished();
    // Every file is proven on the card (and read back from it) and an RQ
    // update committed: the one place a download is declared complete.
    void completeProduct();
    // Files counted as done that are no longer on the card at their length
    // are fetched (or checked) again.
    void requeue(const QStringList &vanished);
    // Reported like a failed file: the card is as it was left, and Resume
    // runs the last step again.
    void stopForCardProblem(const QString &path, const QString &message);
    const FileRecord *recordOf(const QString &file) const;

    Ui::ProductDownloader *ui;
    ServiceClient client;
    std::shared_ptr<const CardWriter> writer;
    FileList list;
    QHash<QString, int> recordIndex;
    // Where each file is fetched to, and where a file under check lies on
    // the card when that is not its target.
    QHash<QString, QString> targets;
    QHash<QString, QString> checkPaths;
    // Files kept because their check passed, not fetched in this run.
    QSet<QString> proven;
    // Files handed to the transfers that have not finished yet.
    QSet<QString> pendingTransfers;
    std::shared_ptr<RqUpdate> rqUpdate;
    TransferRunner *transfers;
    CheckRunner *checks;
    QFutureWatcher<Preparation::Result> preparing;
    QFutureWatcher<Completion::Result> completing;
    bool rqSignalsConnected = false;
    bool sha1Connected = false;
    bool missingCard = false;
    bool cancelEmitted = false;
    QString backupFolder;
    QList<QFuture<void>> backupFutures;
    // On unless config.ini turns it off.
    bool readBackOn = true;
    std::unique_ptr<ReadbackVerifier> readback;
};
