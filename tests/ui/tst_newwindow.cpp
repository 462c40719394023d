// The main window against the local chart service: what the tabs and card panel
// show, and no download, update, pause, cancel, error or close leaves it locked or lying.
#include <QtTest>

#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QStorageInfo>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolButton>

#include "base/appglobals.h"
#include "base/settings.h"
#include "base/startup.h"
#include "shell/applicationfont.h"
#include "widgets/productrow.h"
#include "chartserviceprocess.h"
#include "widgets/pausebutton.h"
#include "card/cardwatcher.h"
#include "modalanswerer.h"
#include "readability.h"
#include "testkit.h"
#include "dialogs/about.h"
#include "dialogs/signin.h"
#include "dialogs/termsofuse.h"
#include "window/newwindow.h"

namespace {

constexpr int Slow = 30000;

template<typename T = QWidget> T *child(QObject *parent, const char *name)
{
    return parent->findChild<T *>(QString::fromLatin1(name));
}

QString labelText(QObject *parent, const char *name)
{
    return child<QLabel>(parent, name)->text();
}

ProductRow *rowFor(QWidget *window, const QString &sku)
{
    return window->findChild<ProductRow *>(QStringLiteral("productRow_") + sku.trimmed());
}

QString statusOf(QWidget *window, const QString &sku)
{
    ProductRow *row = rowFor(window, sku);
    return row ? labelText(row, "productStatus") : QStringLiteral("<no row>");
}

} // namespace

class TestNewWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void dialogsAreReadable_data();
    void dialogsAreReadable();
    void busyWindowPausesAndCancels();
    void failedProductListIsSaidAndRefreshed();
    void legacyCardFillsTheTabs();
    void cardFoundAndMissedByItself();

    void productLargerThanCardIsRefused();
    void velmoraDownloadRunsToComplete();

    void rqCardUpdateRunsToUpdateComplete();

    void closingWithoutDownloadQuits();

private:
    QString makeCard(const QString &kind, const QStringList &extra = {});
    NewWindow *openWindow(const QString &card, int tab);
    void clickRow(NewWindow *window, const QString &sku);

    void pressDownload(NewWindow *window);
    // The watcher looks at the cards now rather than at its next poll.
    void lookForCards(NewWindow *window)
    {
        window->findChild<CardWatcher *>(QStringLiteral("cardWatcher"))->poll();
    }
    bool controlsLocked(NewWindow *window);
    bool controlsFree(NewWindow *window);

    // One service for the suite: no test binds what another expects free.
    ChartServiceProcess service;
    QString session;
    std::unique_ptr<QTemporaryDir> cards;
    QList<NewWindow *> windows;
    int cardCount = 0;
};

void TestNewWindow::initTestCase()
{
    prepareStartup();
    installApplicationFont(); // the window is laid out for it
    QVERIFY(service.start());
    qputenv("QUORVEL_SERVICE_URL", service.baseUrl().toUtf8());
    session = service.signIn();
    QVERIFY(!session.isEmpty());
}

void TestNewWindow::init()
{
    qunsetenv(CardWatcher::watchDirsVariable);
    Settings settings(configFilePath);
    settings.clear();
    settings.sync();
    QVERIFY(service.clearFaults());
    QVERIFY(service.clearRequestLog());
    cards = std::make_unique<QTemporaryDir>();
}

void TestNewWindow::cleanup()
{
    qDeleteAll(windows);
    windows.clear();
    cards.reset();
}

QString TestNewWindow::makeCard(const QString &kind, const QStringList &extra)
{
    const QString dir = cards->filePath(QStringLiteral("card%1").arg(++cardCount));
    return ChartServiceProcess::makeCard(dir, kind, extra) ? dir + QStringLiteral("/ENCRYPT.TXT") : QString();
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

void TestNewWindow::clickRow(NewWindow *window, const QString &sku)
{
    QTRY_VERIFY_WITH_TIMEOUT(rowFor(window, sku), Slow);
    QTest::mouseClick(child<QRadioButton>(rowFor(window, sku), "radioButton"), Qt::LeftButton);
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
        && !child(window, "sdSelBtn")->isEnabled() && !child(window, "toolButton")->isEnabled()
        && !child(window, "downloadBtn")->isVisible();
}

bool TestNewWindow::controlsFree(NewWindow *window)
{
    return child<QTabWidget>(window, "tabWidget")->tabBar()->isEnabled()
        && child(window, "sdSelBtn")->isEnabled() && child(window, "toolButton")->isEnabled();
}

void TestNewWindow::dialogsAreReadable_data()
{
    QTest::addColumn<QString>("what");
    QTest::newRow("terms") << "terms";
    QTest::newRow("sign-in") << "sign-in";
    QTest::newRow("about") << "about";
    QTest::newRow("file dialog") << "browse";
}

void TestNewWindow::dialogsAreReadable()
{
    QFETCH(QString, what);
    QStringList problems;
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
    } else {
        ModalAnswerer answerer;
        answerer.inspect = [&problems](QWidget *dialog) {
            // A folder is listed, and its columns widened, after the dialog opens.
            if (!QTest::qWaitFor([dialog] { return Readability::problems(dialog).isEmpty(); }, 5000))
                problems << Readability::problems(dialog);
        };
        NewWindow *window = openWindow(makeCard(QStringLiteral("velmora")), 1);
        QTRY_COMPARE_WITH_TIMEOUT(
            labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-ARD-01"), Slow);
        // A lower-case name is as good as the upper-case one.
        const QString other = makeCard(QStringLiteral("talvo"));
        answerer.fileToChoose = QFileInfo(other).absolutePath() + QStringLiteral("/encrypt.txt");
        QVERIFY(QFile::rename(other, answerer.fileToChoose));
        QTest::mouseClick(child(window, "sdSelBtn"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(
            labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # TV-SOUTH-2"), Slow);
        QCOMPARE(Settings(configFilePath).value(SettingsKeys::mediaIdFile).toString(), answerer.fileToChoose);
    }
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
}

void TestNewWindow::busyWindowPausesAndCancels()
{
    QVERIFY(service.addFault(QJsonObject { { "kind", "throttle" }, { "path", "*/VMBRE02/*" }, { "count", -1 },
        { "bytes_per_second", 200000 } }));
    qputenv(CardWatcher::watchDirsVariable, cards->path().toUtf8());
    const QString card = makeCard(QStringLiteral("velmora"));
    NewWindow *window = openWindow(card, 1);
    clickRow(window, QStringLiteral("VM-BRE-02"));
    ModalAnswerer answerer;
    answerer.choose = [](QMessageBox *box) { return box->button(QMessageBox::No); };
    pressDownload(window);
    QTRY_VERIFY_WITH_TIMEOUT(window->downloader() && window->downloader()->busy(), Slow);
    // Speed and time left show long before 10 MiB have come at this pace.
    QTRY_VERIFY_WITH_TIMEOUT(
        labelText(window, "downloadStatusLabel").contains(QStringLiteral(" Mbps - ")), Slow);
    QVERIFY(window->downloader()->doneBytes < 10 * 1024 * 1024);
    QVERIFY(service.firedCount(QStringLiteral("throttle")) > 0);

    // The longest texts, at the default size, the smallest and a full screen.
    QStringList problems;
    for (const QSize &wanted : { QSize(1190, 667), QSize(1, 1), QSize(1920, 1080) }) {
        const QSize size = wanted.expandedTo(window->minimumSizeHint());
        window->resize(size);
        QTRY_COMPARE(window->size(), size);
        for (const QString &problem : Readability::problems(window))
            problems << QStringLiteral("%1x%2: %3").arg(size.width()).arg(size.height()).arg(problem);
    }
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));

    // "No" (the default) keeps the window and the download.
    window->trayCloseTriggered(false);
    QCOMPARE(answerer.texts(),
        QStringList { QStringLiteral("Download in progress. Are you sure you wish to close this app?") });
    QVERIFY(window->isVisible() && window->downloader()->busy());
    answerer.choose = nullptr;

    // Taken out: paused at once, not at the next failed write, and still locked.
    ProductDownloader *downloader = window->downloader();
    auto *pause = child<PauseButton>(downloader, "pauseButton");
    const QString root = QFileInfo(card).absolutePath();
    QVERIFY(QDir().rename(root, root + QStringLiteral(".out")));
    lookForCards(window);
    QTRY_VERIFY_WITH_TIMEOUT(pause->isPaused() && pause->isEnabled(), Slow);
    QTRY_COMPARE(labelText(window, "downloadStatusLabel"), QStringLiteral("Please insert SD card."));
    QVERIFY(controlsLocked(window));

    // Back: Resume goes on.
    QVERIFY(QDir().rename(root + QStringLiteral(".out"), root));
    lookForCards(window);
    QTRY_VERIFY(labelText(window, "sdWatchLabel").contains(QStringLiteral("back")));
    QTest::mouseClick(pause, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(pause->isEnabled() && !pause->isPaused() && downloader->busy(), Slow);

    // Paused by the user: no longer claiming that data is coming.
    QTest::mouseClick(pause, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(pause->isEnabled() && pause->isPaused(), Slow);
    QVERIFY(controlsLocked(window));
    QTRY_COMPARE(labelText(window, "downloadStageLabel"), QStringLiteral("Paused"));

    // Cancel: the downloader goes, the controls come back, nothing is asked.
    const qsizetype shown = answerer.seen.size();
    auto *cancel = child<QPushButton>(downloader, "cancelButton");
    QTRY_VERIFY(cancel->isEnabled());
    QPointer<ProductDownloader> watched(downloader);
    QTest::mouseClick(cancel, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window->downloader(), Slow);
    QTRY_VERIFY(watched.isNull());
    QVERIFY(controlsFree(window));
    QCOMPARE(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Redownload"));
    QCOMPARE(answerer.seen.size(), shown);
    QCOMPARE(labelText(window, "downloadStageLabel"), QStringLiteral("Download Cancelled"));
}

void TestNewWindow::failedProductListIsSaidAndRefreshed()
{
    // Said so, the card shown all the same, and refresh loads it again.
    QVERIFY(service.addFault(
        { { "kind", "status" }, { "path", "*GetAllProducts" }, { "message", "Service under maintenance" } }));
    ModalAnswerer answerer;
    answerer.inspect = [](QWidget *box) { QCOMPARE(Readability::problems(box), QStringList()); };
    NewWindow *window = openWindow(makeCard(QStringLiteral("velmora")), 1);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 1, Slow);
    QVERIFY(answerer.seen.first().text.contains(QStringLiteral("Service under maintenance")));
    QVERIFY(child(window, "catalogueMessage")->isVisible());
    QCOMPARE(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-ARD-01"));
    QCOMPARE(service.firedCount(QStringLiteral("status")), 1);
    QTest::mouseClick(child(window, "toolButton"), Qt::LeftButton);
    clickRow(window, QStringLiteral("VM-BRE-02"));
    QTRY_VERIFY_WITH_TIMEOUT(child(window, "subscriptionDetails")->isVisible(), Slow);
    QVERIFY(!child(window, "catalogueMessage")->isVisible());
    QCOMPARE(service.requestLog(QStringLiteral("*GetAllProducts")).size(), 2);

    // Again: the choice is reset at once; the same subscriptions add no row twice.
    QVERIFY(service.clearRequestLog());
    QSignalSpy cardAnnounced(window, &NewWindow::rawMediaIdChanged);
    QTest::mouseClick(child(window, "toolButton"), Qt::LeftButton);
    QVERIFY(!child(window, "subscriptionDetails")->isVisible());
    QVERIFY(!child(window, "downloadBtn")->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(service.requestLog(QStringLiteral("*GetSubscriptions")).size(), 1, Slow);

    QTRY_VERIFY_WITH_TIMEOUT(cardAnnounced.size() >= 2, Slow);
    QCOMPARE(child(window, "vmScrollWidget")->layout()->count(), 3);
    QCOMPARE(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Replace"));
}

void TestNewWindow::legacyCardFillsTheTabs()
{
    NewWindow *window = openWindow(makeCard(QStringLiteral("velmora")), 1);

    // Owned products only, in the reply's order, with the card's statuses.
    QTRY_COMPARE_WITH_TIMEOUT(
        statusOf(window, QStringLiteral("VM-CAL-03")), QStringLiteral("Downloaded"), Slow);
    QCOMPARE(statusOf(window, QStringLiteral("VM-ARD-01")), QStringLiteral("Redownload"));
    QCOMPARE(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Replace"));
    QVERIFY(!rowFor(window, QStringLiteral("VM-DUN-04")));
    QLayout *list = child(window, "vmScrollWidget")->layout();
    QCOMPARE(list->count(), 3);
    QCOMPARE(list->itemAt(0)->widget(), rowFor(window, QStringLiteral("VM-ARD-01")));
    QCOMPARE(list->itemAt(2)->widget(), rowFor(window, QStringLiteral("VM-CAL-03")));
    QCOMPARE(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-ARD-01"));

    // Talvo products cannot go onto a card that holds a Velmora chart.
    QTabBar *tabs = child<QTabWidget>(window, "tabWidget")->tabBar();
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(2).center());
    QTRY_COMPARE_WITH_TIMEOUT(
        statusOf(window, QStringLiteral("TV-NORTH-1")), QStringLiteral("Incompatible"), Slow);
    QCOMPARE(Settings(configFilePath).value(SettingsKeys::tab).toString(), QStringLiteral("2"));
}

void TestNewWindow::cardFoundAndMissedByItself()
{
    qputenv(CardWatcher::watchDirsVariable, cards->path().toUtf8());
    NewWindow *window = openWindow(QString(), 2);
    const QString free = QStringLiteral("TV-NORTH-1");
    QTRY_VERIFY_WITH_TIMEOUT(rowFor(window, free), Slow);
    QCOMPARE(labelText(window, "sdPathLabel"), QStringLiteral("Please browse to an SD Card which has been"));
    // Without a card nothing is bound to it, so a free subscription reads as available.
    QCOMPARE(statusOf(window, free), QStringLiteral("Available"));
    ModalAnswerer answerer;
    clickRow(window, free);
    QTRY_COMPARE_WITH_TIMEOUT(
        answerer.texts(), QStringList { QStringLiteral("Please select an SD card.") }, Slow);
    QVERIFY(!child(window, "downloadBtn")->isVisible());

    // Put in: chosen without browsing; the panel says so.
    const QString first = makeCard(QStringLiteral("velmora"));
    lookForCards(window);
    QTRY_COMPARE_WITH_TIMEOUT(
        labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-ARD-01"), Slow);
    QVERIFY(child(window, "sdWatchLabel")->isVisible());
    QCOMPARE(Settings(configFilePath).value(SettingsKeys::mediaIdFile).toString(), first);

    // A second card is offered in a list; the chosen one stays chosen.
    const QString second =
        makeCard(QStringLiteral("talvo"), { QStringLiteral("--media-id"), QStringLiteral("QSECOND-01") });
    lookForCards(window);
    auto *list = child<QComboBox>(window, "sdCardList");
    QTRY_VERIFY(list->isVisible());
    QCOMPARE(list->count(), 2);
    QVERIFY(list->currentText().contains(QStringLiteral("QDEMO-0001")));

    // Taken out while nothing runs, the other card still in: that one is
    // chosen in its place, though it never left its slot.
    QVERIFY(QDir(QFileInfo(first).absolutePath()).removeRecursively());
    lookForCards(window);
    QTRY_COMPARE(Settings(configFilePath).value(SettingsKeys::mediaIdFile).toString(), second);

    // The last one taken out: the panel and the statuses say so at once.
    QVERIFY(QDir(QFileInfo(second).absolutePath()).removeRecursively());
    lookForCards(window);
    QTRY_COMPARE(
        labelText(window, "sdPathLabel"), QStringLiteral("Please browse to an SD Card which has been"));
    QVERIFY(labelText(window, "sdWatchLabel").contains(QStringLiteral("taken out")));
    QCOMPARE(statusOf(window, free), QStringLiteral("Available"));
}

void TestNewWindow::productLargerThanCardIsRefused()
{
    const QString card = makeCard(QStringLiteral("velmora"));
    // The card's capacity counts, not its free space: one product exactly
    // that size, one a KB larger, from a service of their own. The first
    // one's name is too long for its row.
    const QString longName = QStringLiteral(
        "Lakes of the Northern Highlands with every bay, inlet and reservoir charted in depth");
    const qint64 capacityKb = QStorageInfo(card).bytesTotal() / 1024;
    QJsonArray products;
    QJsonArray subscriptions;
    for (int i = 0; i < 2; ++i) {
        const QString sku = QStringLiteral("VM-BIG-9%1").arg(i);
        products.append(QJsonObject { { "product_id", 1190 + i }, { "type", "velmora_region" },
            { "name", i ? sku : longName }, { "sku", sku }, { "size_in_kb", double(capacityKb + i) } });
        subscriptions.append(QJsonObject { { "subscription_id", 9090 + i },
            { "account", ChartServiceProcess::DemoEmail }, { "product_id", 1190 + i } });
    }
    const QString extra = cards->filePath(QStringLiteral("extra-catalogue.json"));
    writeFile(extra,
        QJsonDocument(QJsonObject { { "products", products }, { "subscriptions", subscriptions } }).toJson());
    ChartServiceProcess own;
    QVERIFY(own.start({ QStringLiteral("--catalogue"), ChartServiceProcess::demoCataloguePath(),
        QStringLiteral("--catalogue"), extra }));
    qputenv("QUORVEL_SERVICE_URL", own.baseUrl().toUtf8());
    const QString shared = std::exchange(session, own.signIn());
    auto restore = qScopeGuard([&] {
        qDeleteAll(std::exchange(windows, {}));
        session = shared;
        qputenv("QUORVEL_SERVICE_URL", service.baseUrl().toUtf8());
    });
    NewWindow *window = openWindow(card, 1);

    // Cut with an ellipsis, and shown whole as a tooltip.
    QTRY_VERIFY_WITH_TIMEOUT(rowFor(window, QStringLiteral("VM-BIG-90")), Slow);
    auto *name = child<QLabel>(rowFor(window, QStringLiteral("VM-BIG-90")), "productName");
    QTRY_VERIFY(name->text().endsWith(QChar(0x2026)));
    QCOMPARE(name->toolTip(), longName);

    ModalAnswerer answerer;
    clickRow(window, QStringLiteral("VM-BIG-91"));
    QTRY_COMPARE_WITH_TIMEOUT(answerer.texts(),
        QStringList {
            QStringLiteral("You don't have enough space to download this chart onto the current SD card.") },
        Slow);
    QVERIFY(!child(window, "downloadBtn")->isVisible());
    clickRow(window, QStringLiteral("VM-BIG-90"));
    QTRY_VERIFY_WITH_TIMEOUT(child(window, "downloadBtn")->isVisible(), Slow);
    QCOMPARE(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Replace"));
    QCOMPARE(answerer.seen.size(), 1);
}

void TestNewWindow::velmoraDownloadRunsToComplete()
{
    QVERIFY(service.addFault({ { "kind", "status" }, { "path", "*ActivateProduct" }, { "status", 403 },
        { "message", "This chart cannot be activated now." } }));
    NewWindow *window = openWindow(makeCard(QStringLiteral("velmora")), 1);
    clickRow(window, QStringLiteral("VM-BRE-02"));
    // The details arrive from the service; the button offers what the card allows.
    QTRY_COMPARE_WITH_TIMEOUT(
        labelText(window, "statusLabel"), QStringLiteral("<b>Product Status:</b> Replace"), Slow);
    QCOMPARE(labelText(window, "quantityLabel"), QStringLiteral("<b>Quantity: </b>1"));
    auto *button = child<QPushButton>(window, "downloadBtn");
    QCOMPARE(button->text(), QStringLiteral("Replace"));

    // A refused activation ends the download and frees the controls at once.
    ModalAnswerer answerer;
    pressDownload(window);
    QTRY_COMPARE_WITH_TIMEOUT(
        answerer.texts(), QStringList { QStringLiteral("This chart cannot be activated now.") }, Slow);
    QTRY_VERIFY(!window->downloader());
    QVERIFY(controlsFree(window));
    QCOMPARE(service.firedCount(QStringLiteral("status")), 1);
    QCOMPARE(button->text(), QStringLiteral("Replace"));

    answerer.seen.clear();
    QVERIFY(service.clearFaults());
    pressDownload(window);
    QVERIFY(controlsLocked(window));
    // Neither another row nor another tab can be chosen while it runs.
    clickRow(window, QStringLiteral("VM-ARD-01"));
    QVERIFY(!child<QRadioButton>(rowFor(window, QStringLiteral("VM-ARD-01")), "radioButton")->isChecked());
    QTabBar *tabs = child<QTabWidget>(window, "tabWidget")->tabBar();
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(2).center());
    QCOMPARE(child<QTabWidget>(window, "tabWidget")->currentIndex(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(
        labelText(window, "downloadStageLabel"), QStringLiteral("Download Complete"), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.texts(),
        QStringList { QStringLiteral("Bremmer Basin has been successfully downloaded to your SD card") },
        Slow);
    QVERIFY(controlsFree(window));
    // The product can go onto the card again at once.
    QCOMPARE(button->text(), QStringLiteral("Redownload"));
    QCOMPARE(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-BRE-02"));
    QTRY_COMPARE(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Redownload"));
    QCOMPARE(statusOf(window, QStringLiteral("VM-ARD-01")), QStringLiteral("Replace"));

    // A click on the row already chosen is no new choice: nothing is asked again.
    clickRow(window, QStringLiteral("VM-BRE-02"));
    QCOMPARE(labelText(window, "downloadStageLabel"), QStringLiteral("Download Complete"));
    QCOMPARE(service.requestLog(QStringLiteral("*GetProductInfo")).size(), 1);
}

void TestNewWindow::rqCardUpdateRunsToUpdateComplete()
{
    NewWindow *window = openWindow(makeCard(QStringLiteral("rq")), 0);
    const QString sku = QString::fromLatin1(ChartServiceProcess::DemoRqSku);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, sku), QStringLiteral("Update Available"), Slow);
    QCOMPARE(labelText(rowFor(window, sku), "productSku"), QStringLiteral("4321-1"));
    QVERIFY(child(window, "rqScrollArea")->isVisible());
    // The RQ product on the card is chosen for the user; its build shows.
    QTRY_COMPARE_WITH_TIMEOUT(
        labelText(window, "quantityLabel"), QStringLiteral("<b>Build:</b> 5.001 (AAB000)"), Slow);
    QCOMPARE(labelText(window, "statusLabel"), QStringLiteral("<b>Product Status:</b> Update Available"));
    QCOMPARE(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Update"));

    ModalAnswerer answerer;
    pressDownload(window);
    QVERIFY(controlsLocked(window));
    QTRY_COMPARE_WITH_TIMEOUT(
        labelText(window, "downloadStageLabel"), QStringLiteral("Update Complete"), 60000);
    QVERIFY(controlsFree(window));
    QCOMPARE(statusOf(window, sku), QStringLiteral("Up To Date"));
    QTRY_COMPARE(answerer.seen.size(), 1);
    // The chart stays named on the panel, without its padding.
    QCOMPARE(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # 4321-1"));

    // A card whose container was lost offers to resume the update.
    NewWindow *lost = openWindow(
        makeCard(QStringLiteral("blank"), { QStringLiteral("--media-id"), QStringLiteral("QDEMO-RQ-LOST") }),
        0);
    QTRY_COMPARE_WITH_TIMEOUT(
        statusOf(lost, QStringLiteral("  7788-3")), QStringLiteral("Update In Progress"), Slow);
    QTRY_COMPARE(child<QPushButton>(lost, "downloadBtn")->text(), QStringLiteral("Resume"));
    QVERIFY(child(lost, "downloadBtn")->isVisible());
}

void TestNewWindow::closingWithoutDownloadQuits()
{
    NewWindow *window = openWindow(QString(), 0);
    QTimer::singleShot(0, window, [window] { window->close(); });
    QTimer::singleShot(Slow, [] { QCoreApplication::exit(-1); });
    ModalAnswerer answerer;
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(answerer.seen.isEmpty());
}

QTEST_MAIN(TestNewWindow)
#include "tst_newwindow.moc"
