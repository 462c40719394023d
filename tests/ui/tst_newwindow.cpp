// The main window against the local chart service: what the user sees in the
// tabs and the card panel, and that a download, an RQ update, a pause, a
// cancel, an error or a close never leaves the window locked, lying or
// without the user's data.
#include <QtTest>

#include <QComboBox>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLayout>
#include <QJsonDocument>
#include <QProgressBar>
#include <QStorageInfo>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolButton>

#include "app/appglobals.h"
#include "app/settings.h"
#include "app/startup.h"
#include "catalogue/productrow.h"
#include "chartserviceprocess.h"
#include "download/pausebutton.h"
#include "media/cardwatcher.h"
#include "modalanswerer.h"
#include "readability.h"
#include "service/about.h"
#include "service/signin.h"
#include "service/termsofuse.h"
#include "ui/newwindow.h"

namespace {

constexpr int Slow = 30000;

template <typename T>
T *child(QObject *parent, const char *name)
{
    return parent->findChild<T *>(QString::fromLatin1(name));
}

QString labelText(QObject *parent, const char *name)
{
    return child<QLabel>(parent, name)->text();
}

} // namespace

class TestNewWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void everyWindowIsReadable_data();
    void everyWindowIsReadable();
    void legacyCardFillsTabsAndSurvivesRestart();
    void cardFoundAndMissedByItself();
    void cardTakenOutDuringDownload();
    void refreshAddsNothingTwice();
    void productLargerThanCardIsRefused();
    void velmoraDownloadRunsToComplete();
    void pauseResumeAndCancelFromTheDownloaderRow();
    void permanentErrorUnlocksControls();
    void failedTransferPausesAndCanBeResumed();
    void rqCardUpdateRunsToUpdateComplete();
    void lostContainerIsRestoredAndOffersResume();
    void unknownRqCardIsRegistered();
    void trayIconTogglesTheWindow();

private:
    QString makeCard(const QString &kind, const QStringList &extra = {});
    NewWindow *openWindow(const QString &card, int tab);
    ProductRow *rowFor(NewWindow *window, const QString &sku);
    QString statusOf(NewWindow *window, const QString &sku);
    void clickRow(NewWindow *window, const QString &sku);
    // Opens the window on the card and tab and chooses the product once its row is there.
    NewWindow *chooseProduct(const QString &card, int tab, const QString &sku);
    void pressDownload(NewWindow *window);
    bool controlsLocked(NewWindow *window);
    bool controlsFree(NewWindow *window);

    ChartServiceProcess *service = nullptr;
    QTemporaryDir *cards = nullptr;
    QString session;
    QList<NewWindow *> windows;
    int cardCount = 0;
};

void TestNewWindow::initTestCase()
{
    prepareStartup();
    // The window is laid out for the tool's own fonts.
    installApplicationFont();
    QVERIFY2(!ChartServiceProcess::binaryPath().isEmpty(), "the local chart service is not built");
}

void TestNewWindow::init()
{
    qunsetenv(CardWatcher::watchDirsVariable);
    Settings settings(configFilePath);
    settings.clear();
    settings.sync();
    service = new ChartServiceProcess;
    QVERIFY(service->start());
    qputenv("QUORVEL_SERVICE_URL", service->baseUrl().toUtf8());
    session = service->signIn();
    QVERIFY(!session.isEmpty());
    cards = new QTemporaryDir;
    QVERIFY(cards->isValid());
}

void TestNewWindow::cleanup()
{
    qDeleteAll(windows);
    windows.clear();
    delete service;
    service = nullptr;
    delete cards;
    cards = nullptr;
}

QString TestNewWindow::makeCard(const QString &kind, const QStringList &extra)
{
    const QString dir = cards->filePath(QStringLiteral("card%1").arg(++cardCount));
    if (!ChartServiceProcess::makeCard(dir, kind, extra))
        return {};
    return dir + QStringLiteral("/ENCRYPT.TXT");
}

NewWindow *TestNewWindow::openWindow(const QString &card, int tab)
{
    Settings settings(configFilePath);
    if (!card.isEmpty())
        settings.setValue(SettingsKeys::mediaIdFile, card);
    settings.setValue(SettingsKeys::tab, QString::number(tab));
    settings.sync();
    auto *window = new NewWindow(session);
    windows << window;
    window->show();
    return window;
}

ProductRow *TestNewWindow::rowFor(NewWindow *window, const QString &sku)
{
    for (QLabel *label : window->findChildren<QLabel *>(QStringLiteral("productSku"))) {
        if (label->text() != sku.trimmed())
            continue;
        for (QWidget *w = label->parentWidget(); w; w = w->parentWidget()) {
            if (auto *row = qobject_cast<ProductRow *>(w))
                return row;
        }
    }
    return nullptr;
}

QString TestNewWindow::statusOf(NewWindow *window, const QString &sku)
{
    ProductRow *row = rowFor(window, sku);
    return row ? labelText(row, "productStatus") : QStringLiteral("<no row>");
}

void TestNewWindow::clickRow(NewWindow *window, const QString &sku)
{
    ProductRow *row = rowFor(window, sku);
    QVERIFY2(row, qPrintable(sku));
    QTest::mouseClick(child<QRadioButton>(row, "radioButton"), Qt::LeftButton);
}

NewWindow *TestNewWindow::chooseProduct(const QString &card, int tab, const QString &sku)
{
    NewWindow *window = openWindow(card, tab);
    if (!QTest::qWaitFor([&] { return rowFor(window, sku) != nullptr; }, Slow))
        return window;
    QTest::mouseClick(child<QRadioButton>(rowFor(window, sku), "radioButton"), Qt::LeftButton);
    return window;
}

void TestNewWindow::pressDownload(NewWindow *window)
{
    auto *button = child<QPushButton>(window, "downloadBtn");
    QTRY_VERIFY_WITH_TIMEOUT(button->isVisible() && button->isEnabled(), Slow);
    QTest::mouseClick(button, Qt::LeftButton);
}

bool TestNewWindow::controlsLocked(NewWindow *window)
{
    return !child<QTabWidget>(window, "tabWidget")->tabBar()->isEnabled()
           && !child<QPushButton>(window, "sdSelBtn")->isEnabled()
           && !window->findChild<QToolButton *>(QStringLiteral("toolButton"))->isEnabled()
           && !child<QPushButton>(window, "downloadBtn")->isVisible();
}

bool TestNewWindow::controlsFree(NewWindow *window)
{
    return child<QTabWidget>(window, "tabWidget")->tabBar()->isEnabled()
           && child<QPushButton>(window, "sdSelBtn")->isEnabled()
           && window->findChild<QToolButton *>(QStringLiteral("toolButton"))->isEnabled();
}

void TestNewWindow::legacyCardFillsTabsAndSurvivesRestart()
{
    const QString card = makeCard(QStringLiteral("velmora"));
    NewWindow *window = openWindow(card, 1);
    QCOMPARE(child<QTabWidget>(window, "tabWidget")->currentIndex(), 1);

    // Owned products only, in the reply's order, with the status the card
    // gives each of them.
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, QStringLiteral("VM-CAL-03")), QStringLiteral("Downloaded"), Slow);
    QCOMPARE(statusOf(window, QStringLiteral("VM-ARD-01")), QStringLiteral("Redownload"));
    QCOMPARE(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Replace"));
    QVERIFY(!rowFor(window, QStringLiteral("VM-DUN-04")));
    auto *list = child<QWidget>(window, "vmScrollWidget")->layout();
    QCOMPARE(list->count(), 3);
    QCOMPARE(labelText(list->itemAt(0)->widget(), "productSku"), QStringLiteral("VM-ARD-01"));
    QCOMPARE(labelText(list->itemAt(2)->widget(), "productSku"), QStringLiteral("VM-CAL-03"));

    QCOMPARE(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-ARD-01"));
    QCOMPARE(window->cardType(), VelmoraRegion);
    QCOMPARE(labelText(window, "noRqLabel"), QStringLiteral("The selected card is not a RQ card"));
    QVERIFY(labelText(window, "moreProductsLnk").contains(QStringLiteral("/legacy\">Click here for more Legacy Chart Products")));

    // Talvo products cannot go onto a card that holds a Velmora chart.
    QTest::mouseClick(child<QTabWidget>(window, "tabWidget")->tabBar(), Qt::LeftButton, {},
                      child<QTabWidget>(window, "tabWidget")->tabBar()->tabRect(2).center());
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, QStringLiteral("TV-NORTH-1")), QStringLiteral("Incompatible"), Slow);
    QCOMPARE(statusOf(window, QStringLiteral("TV-SOUTH-2")), QStringLiteral("Incompatible"));
    QCOMPARE(Settings(configFilePath).value(SettingsKeys::tab).toString(), QStringLiteral("2"));

    // A restart opens on the same tab with the same card.
    qDeleteAll(windows);
    windows.clear();
    NewWindow *again = openWindow(QString(), 2);
    Settings(configFilePath).remove(SettingsKeys::tab);
    QCOMPARE(child<QTabWidget>(again, "tabWidget")->currentIndex(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(labelText(again, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-ARD-01"), Slow);
    QCOMPARE(Settings(configFilePath).value(SettingsKeys::mediaIdFile).toString(), card);
}

void TestNewWindow::everyWindowIsReadable_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QSize>("size");
    QTest::newRow("terms") << "terms" << QSize();
    QTest::newRow("sign-in") << "sign-in" << QSize();
    QTest::newRow("about") << "about" << QSize();
    QTest::newRow("main window, default size") << "main" << QSize(1190, 667);
    QTest::newRow("main window, smallest") << "main" << QSize(1, 1);
    QTest::newRow("main window, full screen") << "main" << QSize(1920, 1080);
    QTest::newRow("close confirmation") << "close" << QSize();
    QTest::newRow("file dialog") << "browse" << QSize();
    QTest::newRow("message box") << "message" << QSize();
}

void TestNewWindow::everyWindowIsReadable()
{
    QFETCH(QString, what);
    QFETCH(QSize, size);
    QStringList problems;
    ModalAnswerer answerer;
    answerer.choose = [](QMessageBox *box) { return box->button(QMessageBox::No); };
    answerer.inspect = [&problems](QWidget *dialog) {
        // A folder is listed, and its columns widened, after the dialog opens.
        if (!QTest::qWaitFor([dialog] { return Readability::problems(dialog).isEmpty(); }, 5000))
            problems << Readability::problems(dialog);
    };
    auto check = [&problems](QWidget *top) {
        top->show();
        QVERIFY(QTest::qWaitForWindowExposed(top));
        problems << Readability::problems(top);
    };

    SignIn signIn(nullptr);
    if (what == QLatin1String("terms")) {
        check(signIn.termsDialog());
    } else if (what == QLatin1String("sign-in")) {
        check(&signIn);
    } else if (what == QLatin1String("about")) {
        check(signIn.aboutDialog());
    } else if (what == QLatin1String("message")) {
        // A failed product list: said so, the card shown all the same, and refresh loads it again.
        QVERIFY(service->addFault({{QStringLiteral("kind"), QStringLiteral("status")},
                                   {QStringLiteral("path"), QStringLiteral("*GetAllProducts")},
                                   {QStringLiteral("message"), QStringLiteral("Service under maintenance")}}));
        NewWindow *window = openWindow(makeCard(QStringLiteral("velmora")), 1);
        QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 1, Slow);
        QCOMPARE(answerer.seen.first().title, QStringLiteral("Quorvel Download Tool"));
        QVERIFY(answerer.seen.first().text.contains(QStringLiteral("Service under maintenance")));
        QVERIFY(child<QLabel>(window, "catalogueMessage")->isVisible());
        QCOMPARE(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-ARD-01"));
        QTest::mouseClick(window->findChild<QToolButton *>(QStringLiteral("toolButton")), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Replace"), Slow);
        QVERIFY(!child<QLabel>(window, "catalogueMessage")->isVisible());
        QCOMPARE(service->requestLog(QStringLiteral("*GetAllProducts")).size(), 2);
    } else {
        const QString card = makeCard(QStringLiteral("velmora"));
        QVERIFY(service->addFault({{QStringLiteral("kind"), QStringLiteral("throttle")},
                                   {QStringLiteral("path"), QStringLiteral("*/VMBRE02/*")},
                                   {QStringLiteral("count"), -1},
                                   {QStringLiteral("bytes_per_second"), 100000}}));
        NewWindow *window = chooseProduct(card, 1, QStringLiteral("VM-BRE-02"));
        if (what == QLatin1String("browse")) {
            // A lower-case name is as good as the upper-case one.
            const QString other = makeCard(QStringLiteral("talvo"));
            answerer.fileToChoose = QFileInfo(other).absolutePath() + QStringLiteral("/encrypt.txt");
            QVERIFY(QFile::rename(other, answerer.fileToChoose));
            QTest::mouseClick(child<QPushButton>(window, "sdSelBtn"), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # TV-SOUTH-2"), Slow);
            QCOMPARE(Settings(configFilePath).value(SettingsKeys::mediaIdFile).toString(), answerer.fileToChoose);
            QCOMPARE(window->cardType(), Talvos);
            QTRY_COMPARE(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Incompatible"));
        } else {
            pressDownload(window);
            QTRY_VERIFY_WITH_TIMEOUT(window->downloader() && window->downloader()->busy(), Slow);
            QTRY_VERIFY_WITH_TIMEOUT(!labelText(window, "downloadStatusLabel").isEmpty(), Slow);
            if (what == QLatin1String("close")) {
                // "No" (the default) keeps the window, the download and the tray icon.
                window->trayCloseTriggered(false);
                QVERIFY(window->trayIcon()->isVisible());
                QCOMPARE(answerer.seen.size(), 1);
                QCOMPARE(answerer.seen.first().title, QStringLiteral("Close Confirmation"));
                QCOMPARE(answerer.seen.first().text, QStringLiteral("Download in progress. Are you sure you wish to close this app?"));
                QVERIFY(window->isVisible() && window->downloader()->busy());
            } else {
                window->resize(size.expandedTo(window->minimumSizeHint()));
                QTRY_COMPARE(window->size(), size.expandedTo(window->minimumSizeHint()));
                check(window);
            }
        }
    }
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QStringLiteral("\n"))));
}

void TestNewWindow::cardFoundAndMissedByItself()
{
    qputenv(CardWatcher::watchDirsVariable, cards->path().toUtf8());
    NewWindow *window = openWindow(QString(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(rowFor(window, QStringLiteral("VM-BRE-02")), Slow);
    QCOMPARE(labelText(window, "sdPathLabel"), QStringLiteral("Please browse to an SD Card which has been"));
    // Without a card nothing is bound to it, so free subscriptions read as available.
    QCOMPARE(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Available"));
    ModalAnswerer answerer;
    clickRow(window, QStringLiteral("VM-BRE-02"));
    QTRY_COMPARE_WITH_TIMEOUT(answerer.texts(), QStringList{QStringLiteral("Please select an SD card.")}, Slow);
    QVERIFY(!child<QPushButton>(window, "downloadBtn")->isVisible());

    // Put in: chosen without browsing; the panel says so.
    const QString first = makeCard(QStringLiteral("velmora"));
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-ARD-01"), Slow);
    QVERIFY(child<QLabel>(window, "sdWatchLabel")->isVisible());
    QCOMPARE(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Replace"));
    QCOMPARE(Settings(configFilePath).value(SettingsKeys::mediaIdFile).toString(), first);

    // A second card is offered in a list; the chosen one stays chosen.
    makeCard(QStringLiteral("talvo"), {QStringLiteral("--media-id"), QStringLiteral("QSECOND-01")});
    auto *list = child<QComboBox>(window, "sdCardList");
    QTRY_VERIFY_WITH_TIMEOUT(list->isVisible(), Slow);
    QCOMPARE(list->count(), 2);
    QVERIFY(list->currentText().contains(QStringLiteral("QDEMO-0001")));

    // Taken out while nothing runs: the panel and the statuses say so at once.
    QVERIFY(QDir(QFileInfo(first).absolutePath()).removeRecursively());
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "sdPathLabel"), QStringLiteral("Please browse to an SD Card which has been"), Slow);
    QVERIFY(labelText(window, "sdWatchLabel").contains(QStringLiteral("taken out")));
    QCOMPARE(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Available"));
}

void TestNewWindow::cardTakenOutDuringDownload()
{
    qputenv(CardWatcher::watchDirsVariable, cards->path().toUtf8());
    QVERIFY(service->addFault({{QStringLiteral("kind"), QStringLiteral("throttle")},
                               {QStringLiteral("path"), QStringLiteral("*/VMBRE02/*")},
                               {QStringLiteral("count"), -1},
                               {QStringLiteral("bytes_per_second"), 300000}}));
    const QString card = makeCard(QStringLiteral("velmora"));
    const QString root = QFileInfo(card).absolutePath();
    NewWindow *window = chooseProduct(card, 1, QStringLiteral("VM-BRE-02"));
    ModalAnswerer answerer;
    pressDownload(window);
    ProductDownloader *downloader = window->downloader();
    auto *pause = child<PauseButton>(downloader, "pauseButton");
    QTRY_VERIFY_WITH_TIMEOUT(downloader->busy() && downloader->doneBytes > 0, Slow);

    // Out: paused at once, not at the next failed write.
    QVERIFY(QDir().rename(root, root + QStringLiteral(".out")));
    QTRY_VERIFY_WITH_TIMEOUT(pause->isPaused() && pause->isEnabled(), Slow);
    QTRY_COMPARE(labelText(window, "downloadStatusLabel"), QStringLiteral("Please insert SD card."));

    // Another card where it was is refused.
    QVERIFY(ChartServiceProcess::makeCard(root, QStringLiteral("blank"), {QStringLiteral("--media-id"), QStringLiteral("QSTRANGER")}));
    // (A write may fail before the watcher's next look; its report may come first.)
    const qsizetype shown = answerer.seen.size();
    QTest::mouseClick(pause, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), shown + 1, Slow);
    QCOMPARE(answerer.seen.last().text, QStringLiteral("Please insert SD card."));
    QVERIFY(pause->isPaused());

    // The same card back: Resume goes on to the end.
    QVERIFY(QDir(root).removeRecursively());
    QVERIFY(QDir().rename(root + QStringLiteral(".out"), root));
    QTRY_VERIFY_WITH_TIMEOUT(labelText(window, "sdWatchLabel").contains(QStringLiteral("back")), Slow);
    QVERIFY(service->clearFaults());
    QTest::mouseClick(pause, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "downloadStageLabel"), QStringLiteral("Download Complete"), 60000);
}

void TestNewWindow::refreshAddsNothingTwice()
{
    NewWindow *window = openWindow(makeCard(QStringLiteral("velmora")), 1);
    QTRY_VERIFY_WITH_TIMEOUT(rowFor(window, QStringLiteral("VM-CAL-03")), Slow);
    clickRow(window, QStringLiteral("VM-BRE-02"));
    QTRY_VERIFY_WITH_TIMEOUT(child<QWidget>(window, "subscriptionDetails")->isVisible(), Slow);

    service->clearRequestLog();
    QSignalSpy cardAnnounced(window, &NewWindow::rawMediaIdChanged);
    QTest::mouseClick(window->findChild<QToolButton *>(QStringLiteral("toolButton")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(service->requestLog(QStringLiteral("*GetSubscriptions")).size(), 1, Slow);
    const QJsonObject sent = service->requestLog(QStringLiteral("*GetSubscriptions")).first().toObject();
    QCOMPARE(sent.value(QStringLiteral("json")).toObject().value(QStringLiteral("product_type")).toString(),
             QStringLiteral("velmora_region"));
    // The selection and the details pane are reset at once.
    QVERIFY(!child<QWidget>(window, "subscriptionDetails")->isVisible());
    QVERIFY(!child<QPushButton>(window, "downloadBtn")->isVisible());

    // The same subscriptions again (announced once by the list, once by the
    // card rescan): still one row per owned product.
    QTRY_VERIFY_WITH_TIMEOUT(cardAnnounced.size() >= 2, Slow);
    QCOMPARE(child<QWidget>(window, "vmScrollWidget")->layout()->count(), 3);
    QCOMPARE(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Replace"));
}

void TestNewWindow::productLargerThanCardIsRefused()
{
    const QString card = makeCard(QStringLiteral("velmora"));
    // The card's capacity counts, not its free space: one product exactly
    // that size, one a KB larger.
    const qint64 capacityKb = QStorageInfo(card).bytesTotal() / 1024;
    auto product = [](int id, const QString &sku, qint64 sizeKb) {
        return QJsonObject{{QStringLiteral("product_id"), id},
                           {QStringLiteral("type"), QStringLiteral("velmora_region")},
                           {QStringLiteral("name"), sku},
                           {QStringLiteral("sku"), sku},
                           {QStringLiteral("size_in_kb"), double(sizeKb)},
                           {QStringLiteral("files"), QJsonArray{QJsonObject{{QStringLiteral("file"), sku + QStringLiteral("/a.bin")},
                                                                            {QStringLiteral("size"), 1024}}}}};
    };
    auto subscription = [](int id, int productId) {
        return QJsonObject{{QStringLiteral("subscription_id"), id},
                           {QStringLiteral("account"), QString::fromLatin1(ChartServiceProcess::DemoEmail)},
                           {QStringLiteral("product_id"), productId},
                           {QStringLiteral("expiration"), 1924992000}};
    };
    const QJsonObject extra{{QStringLiteral("products"), QJsonArray{product(1198, QStringLiteral("VM-FIT-98"), capacityKb),
                                                                    product(1199, QStringLiteral("VM-BIG-99"), capacityKb + 1)}},
                            {QStringLiteral("subscriptions"), QJsonArray{subscription(9098, 1198), subscription(9099, 1199)}}};
    QFile file(cards->filePath(QStringLiteral("extra-catalogue.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(extra).toJson());
    file.close();
    service->stop();
    QVERIFY(service->start({QStringLiteral("--catalogue"), ChartServiceProcess::demoCataloguePath(),
                            QStringLiteral("--catalogue"), file.fileName()}));
    qputenv("QUORVEL_SERVICE_URL", service->baseUrl().toUtf8());
    session = service->signIn();

    NewWindow *window = openWindow(card, 1);
    QTRY_VERIFY_WITH_TIMEOUT(rowFor(window, QStringLiteral("VM-BIG-99")), Slow);
    ModalAnswerer answerer;
    clickRow(window, QStringLiteral("VM-BIG-99"));
    QTRY_COMPARE_WITH_TIMEOUT(answerer.texts(),
                              QStringList{QStringLiteral("You don't have enough space to download this chart onto the current SD card.")},
                              Slow);
    QVERIFY(!child<QPushButton>(window, "downloadBtn")->isVisible());

    clickRow(window, QStringLiteral("VM-FIT-98"));
    QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>(window, "downloadBtn")->isVisible(), Slow);
    QCOMPARE(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Replace"));
    QCOMPARE(answerer.seen.size(), 1);
}

void TestNewWindow::velmoraDownloadRunsToComplete()
{
    const QString card = makeCard(QStringLiteral("velmora"));
    NewWindow *window = openWindow(card, 1);
    QTRY_VERIFY_WITH_TIMEOUT(rowFor(window, QStringLiteral("VM-BRE-02")), Slow);

    clickRow(window, QStringLiteral("VM-BRE-02"));
    // The details arrive from the service; the button offers what the card allows.
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "statusLabel"), QStringLiteral("<b>Product Status:</b> Replace"), Slow);
    QCOMPARE(labelText(window, "quantityLabel"), QStringLiteral("<b>Quantity: </b>1"));
    QVERIFY(labelText(window, "noteBodyLabel").contains(QStringLiteral("replacing the existing Legacy subscription")));
    QCOMPARE(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Replace"));

    ModalAnswerer answerer;
    pressDownload(window);
    QVERIFY(window->downloader());
    QVERIFY(controlsLocked(window));
    // Switching tabs is not possible while the download runs.
    QTest::mouseClick(child<QTabWidget>(window, "tabWidget")->tabBar(), Qt::LeftButton, {},
                      child<QTabWidget>(window, "tabWidget")->tabBar()->tabRect(2).center());
    QCOMPARE(child<QTabWidget>(window, "tabWidget")->currentIndex(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "downloadStageLabel"), QStringLiteral("Download Complete"), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.texts(),
                              QStringList{QStringLiteral("Bremmer Basin has been successfully downloaded to your SD card")},
                              Slow);
    QVERIFY(controlsFree(window));
    // The product can go onto the card again at once.
    QCOMPARE(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Redownload"));
    QVERIFY(child<QPushButton>(window, "downloadBtn")->isVisible());
    QCOMPARE(window->trayIcon()->toolTip(), QString());
    QCOMPARE(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-BRE-02"));
    QTRY_COMPARE(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Redownload"));
    QCOMPARE(statusOf(window, QStringLiteral("VM-ARD-01")), QStringLiteral("Replace"));

    // A click on the row already chosen is no new choice: the outcome stays
    // on screen and the details are not asked for again.
    clickRow(window, QStringLiteral("VM-BRE-02"));
    QCOMPARE(labelText(window, "downloadStageLabel"), QStringLiteral("Download Complete"));
    QCOMPARE(service->requestLog(QStringLiteral("*GetProductInfo")).size(), 1);
}

void TestNewWindow::pauseResumeAndCancelFromTheDownloaderRow()
{
    QVERIFY(service->addFault({{QStringLiteral("kind"), QStringLiteral("throttle")},
                               {QStringLiteral("path"), QStringLiteral("*/VMBRE02/*")},
                               {QStringLiteral("count"), -1},
                               {QStringLiteral("bytes_per_second"), 200000}}));
    const QString card = makeCard(QStringLiteral("velmora"));
    NewWindow *window = chooseProduct(card, 1, QStringLiteral("VM-BRE-02"));
    ModalAnswerer answerer;
    pressDownload(window);

    ProductDownloader *downloader = window->downloader();
    auto *pause = child<PauseButton>(downloader, "pauseButton");
    QTRY_VERIFY_WITH_TIMEOUT(pause->isEnabled() && !pause->isPaused(), Slow);
    QTest::mouseClick(pause, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(pause->isEnabled() && pause->isPaused(), Slow);
    QVERIFY(!downloader->busy());
    QVERIFY(controlsLocked(window));
    // The stage line no longer claims that data is coming.
    QTRY_COMPARE(labelText(window, "downloadStageLabel"), QStringLiteral("Paused"));

    QTest::mouseClick(pause, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(pause->isEnabled() && !pause->isPaused(), Slow);
    QVERIFY(downloader->busy());
    QTRY_COMPARE(labelText(window, "downloadStageLabel"), QStringLiteral("Downloading Data"));
    QVERIFY(!window->trayIcon()->toolTip().trimmed().endsWith(QLatin1Char(':')));
    // Speed and time left show within seconds, long before 10 MiB have
    // come at this pace.
    QTRY_VERIFY_WITH_TIMEOUT(labelText(window, "downloadStatusLabel").contains(QStringLiteral(" Mbps - ")), Slow);
    QVERIFY(downloader->doneBytes < 10 * 1024 * 1024);

    QTRY_VERIFY_WITH_TIMEOUT(child<QProgressBar>(downloader, "progressBar")->value() > 0, Slow);
    auto *cancel = child<QPushButton>(downloader, "cancelButton");
    QTRY_VERIFY(cancel->isEnabled());
    QPointer<ProductDownloader> watched(downloader);
    QTest::mouseClick(cancel, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window->downloader(), Slow);
    QTRY_VERIFY(watched.isNull());
    QVERIFY(controlsFree(window));
    QCOMPARE(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Redownload"));
    QVERIFY(child<QPushButton>(window, "downloadBtn")->isVisible());
    QCOMPARE(window->trayIcon()->toolTip(), QString());
    QVERIFY(answerer.seen.isEmpty());
    QCOMPARE(labelText(window, "downloadStageLabel"), QStringLiteral("Download Cancelled"));
    // The part already fetched stays on the card for the next attempt.
    QVERIFY(!QDir(QFileInfo(card).absolutePath() + QStringLiteral("/VMBRE02")).entryList(QDir::Files).isEmpty());
}

void TestNewWindow::permanentErrorUnlocksControls()
{
    QVERIFY(service->addFault({{QStringLiteral("kind"), QStringLiteral("status")},
                               {QStringLiteral("path"), QStringLiteral("*ActivateProduct")},
                               {QStringLiteral("status"), 403},
                               {QStringLiteral("message"), QStringLiteral("This chart cannot be activated now.")}}));
    NewWindow *window = openWindow(makeCard(QStringLiteral("velmora")), 1);
    QTRY_VERIFY_WITH_TIMEOUT(rowFor(window, QStringLiteral("VM-BRE-02")), Slow);
    clickRow(window, QStringLiteral("VM-BRE-02"));
    ModalAnswerer answerer;
    pressDownload(window);

    QTRY_COMPARE_WITH_TIMEOUT(answerer.texts(), QStringList{QStringLiteral("This chart cannot be activated now.")}, Slow);
    QTRY_VERIFY(!window->downloader());
    QVERIFY(controlsFree(window));
    // The user can try again at once.
    QVERIFY(child<QPushButton>(window, "downloadBtn")->isVisible());
    QCOMPARE(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Replace"));
}

void TestNewWindow::failedTransferPausesAndCanBeResumed()
{
    QVERIFY(service->addFault({{QStringLiteral("kind"), QStringLiteral("status")},
                               {QStringLiteral("path"), QStringLiteral("*/VMBRE02/*")},
                               {QStringLiteral("method"), QStringLiteral("GET")},
                               {QStringLiteral("status"), 500},
                               {QStringLiteral("count"), -1}}));
    const QString card = makeCard(QStringLiteral("velmora"));
    NewWindow *window = chooseProduct(card, 1, QStringLiteral("VM-BRE-02"));
    ModalAnswerer answerer;
    pressDownload(window);

    // The failed files are reported once every transfer has stopped; the
    // downloader stays, paused, and the controls stay locked.
    QTRY_VERIFY_WITH_TIMEOUT(!answerer.seen.isEmpty(), 60000);
    QVERIFY(answerer.seen.first().text.startsWith(QStringLiteral("<p>VMBRE02/")));
    ProductDownloader *downloader = window->downloader();
    QVERIFY(downloader);
    auto *pause = child<PauseButton>(downloader, "pauseButton");
    QTRY_VERIFY(pause->isPaused() && pause->isEnabled());
    QVERIFY(controlsLocked(window));

    QVERIFY(service->clearFaults());
    answerer.seen.clear();
    QTest::mouseClick(pause, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "downloadStageLabel"), QStringLiteral("Download Complete"), 60000);
    QVERIFY(controlsFree(window));
}

void TestNewWindow::rqCardUpdateRunsToUpdateComplete()
{
    const QString card = makeCard(QStringLiteral("rq"));
    NewWindow *window = openWindow(card, 0);
    const QString sku = QString::fromLatin1(ChartServiceProcess::DemoRqSku);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, sku), QStringLiteral("Update Available"), Slow);
    QCOMPARE(window->cardType(), RqSd);
    QVERIFY(child<QWidget>(window, "rqScrollArea")->isVisible());
    QVERIFY(!child<QWidget>(window, "outerRqIconWidget")->isVisible());
    // The RQ product on the card is chosen for the user; its build shows.
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "quantityLabel"), QStringLiteral("<b>Build:</b> 5.001 (AAB000)"), Slow);
    QCOMPARE(labelText(window, "statusLabel"), QStringLiteral("<b>Product Status:</b> Update Available"));
    QCOMPARE(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Update"));

    ModalAnswerer answerer;
    pressDownload(window);
    QVERIFY(controlsLocked(window));
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "downloadStageLabel"), QStringLiteral("Update Complete"), 60000);
    QVERIFY(controlsFree(window));
    QCOMPARE(statusOf(window, sku), QStringLiteral("Up To Date"));
    QCOMPARE(labelText(window, "statusLabel"), QStringLiteral("<b>Product Status:</b> Up To Date"));
    QTRY_COMPARE(answerer.seen.size(), 1);
    // The chart stays named on the panel, without its padding.
    QCOMPARE(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # 4321-1"));
}

void TestNewWindow::lostContainerIsRestoredAndOffersResume()
{
    const QString card = makeCard(QStringLiteral("blank"), {QStringLiteral("--media-id"), QStringLiteral("QDEMO-RQ-LOST")});
    NewWindow *window = openWindow(card, 0);
    const QString sku = QStringLiteral("  7788-3");
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, sku), QStringLiteral("Update In Progress"), Slow);
    QVERIFY(QFileInfo::exists(QFileInfo(card).absolutePath() + QLatin1Char('/') + sku + QStringLiteral(".kim")));
    QTRY_COMPARE(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Resume"));
    QVERIFY(child<QPushButton>(window, "downloadBtn")->isVisible());

    // "Resume" brings the rebuilt container up to date.
    ModalAnswerer answerer;
    pressDownload(window);
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "downloadStageLabel"), QStringLiteral("Update Complete"), 60000);
    QCOMPARE(statusOf(window, sku), QStringLiteral("Up To Date"));
}

void TestNewWindow::unknownRqCardIsRegistered()
{
    const QString card = makeCard(QStringLiteral("rq"), {QStringLiteral("--sku"), QStringLiteral("123456-2"),
                                                         QStringLiteral("--media-id"), QStringLiteral("QNEW-0042")});
    NewWindow *window = openWindow(card, 0);
    QTRY_VERIFY_WITH_TIMEOUT(rowFor(window, QStringLiteral("123456-2")), Slow);
    // The service learns the card: the free subscription becomes bound to it.
    QTRY_VERIFY_WITH_TIMEOUT(
        [this] {
            for (const QJsonValue &value : service->subscriptions()) {
                const QJsonObject sub = value.toObject();
                if (sub.value(QStringLiteral("media_id")).toString() == QStringLiteral("QNEW-0042"))
                    return true;
            }
            return false;
        }(),
        Slow);
}

void TestNewWindow::trayIconTogglesTheWindow()
{
    NewWindow *window = openWindow(QString(), 0);
    window->iconActivated(QSystemTrayIcon::Context);
    QVERIFY(window->isVisible());
    window->iconActivated(QSystemTrayIcon::Trigger);
    QVERIFY(!window->isVisible());
    window->iconActivated(QSystemTrayIcon::DoubleClick);
    QVERIFY(window->isVisible());

    // Without a download, closing ends the tool at once.
    QTimer::singleShot(0, window, [window] { window->close(); });
    QTimer::singleShot(Slow, [] { QCoreApplication::exit(-1); });
    ModalAnswerer answerer;
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(answerer.seen.isEmpty());
}

QTEST_MAIN(TestNewWindow)
#include "tst_newwindow.moc"
