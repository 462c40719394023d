#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTimer>

#include "window/productdownloader.h"

class AbstractProduct;
class CardPanel;
class CatalogueLoader;
class DetailsPane;
class NewWindow;
class RqCardScan;
namespace Ui {
class NewWindow;
}

// The window's side of the running download: it starts the downloader in
// the download area (and holds the ones that rebuild or register an RQ card
// in the background), knows whether the controls are locked, and handles
// what the downloader reports on the window's behalf: the card and product
// state after activation, a new vmid, completion, errors and cancelling.
// The stage and status lines also say what the downloader itself does not:
// that it is paused, stopped by an error or cancelled, and how fast it goes
// before the downloader's own first estimate.
class DownloadControl : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DownloadControl)

public:
    DownloadControl(NewWindow *window, Ui::NewWindow *ui, CardPanel *card, CatalogueLoader *catalogue,
                    DetailsPane *details);
    void setRqCardScan(RqCardScan *scan) { rq = scan; }
    ~DownloadControl() override;

    ProductDownloader *current() const { return currentDownloader; }

    // "Download" pressed: the selected product onto the chosen card.
    void start();
    void productActivated(int subscriptionID, int expiration, const QString &mediaID);
    void vmidUpdated(const QString &sku);
    void allDone(const QString &sku);
    void tmpError(const QString &msg);
    void permError(const QString &msg);
    void cancelled();
    void statusUpdate(const QString &msg);
    // The control lock is on: a download has started and not yet ended.
    bool running() const { return locked; }

    // A downloader for the product in the download area, in place of the
    // form's placeholder.
    ProductDownloader *create(AbstractProduct *product);
    void started(ProductDownloader *downloader);
    void ended();
    // Lets go of the current downloader and empties the lines.
    void clear();
    // Empties the lines and lets go of a downloader that no longer runs.
    void dropIdle();

    // ownEstimate: the line comes from the window's speed estimate.
    void showStatus(const QString &msg, bool ownEstimate = false);
    void showStage(const QString &msg);
    void showOutcome(const QString &stage, const QString &status);
    void stoppedByError();
    // The card went while the download ran: failed writes are its
    // consequence, not news for the user.
    void setCardMissing(bool missing) { cardMissing = missing; }
    bool isCardMissing() const { return cardMissing; }

    qint64 elapsedMs() const { return clock.isValid() ? clock.elapsed() : 0; }
    // "5 seconds" below a minute, whole minutes ("1 minutes") from there on.
    static QString durationText(qint64 elapsedMs);
    // What the user can do about a failure the downloader reports.
    static QString withAdvice(const QString &msg);

    // Rebuilding a lost RQ container, and registering an unknown RQ card:
    // they run without a row and are not the current download.
    QPointer<ProductDownloader> restoringDownloader;
    QPointer<ProductDownloader> registeringDownloader;
    void forget(QPointer<ProductDownloader> &downloader);

signals:
    // A speed line of the window's own, in the downloader's words.
    void speedEstimated(const QString &msg);

private:
    void sampleSpeed();
    // Capacity and item number read again after the card was written to.
    void cardSummaryRefresh(bool *vmidRead = nullptr);
    bool pausedNow() const;

    NewWindow *window;
    Ui::NewWindow *ui;
    CardPanel *card;
    CatalogueLoader *catalogue;
    DetailsPane *details;
    RqCardScan *rq = nullptr;
    QPointer<ProductDownloader> currentDownloader;
    bool locked = false;
    bool cardMissing = false;
    QElapsedTimer clock;
    QTimer speedTimer;
    QElapsedTimer sinceDownloaderSpeed;
    QList<QPair<qint64, qint64>> samples;
};
