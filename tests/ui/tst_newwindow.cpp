// The main window against the local chart service: what the tabs and card panel
// show, and that the window says what the job and the card say, whatever
// happens (a cancel, a pulled card, a network that gives out, a close).
#include <QtTest>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QSpinBox>
#include <QDirIterator>
#include <QPixmap>
#include <QRegularExpression>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QStorageInfo>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolButton>

#include "base/appglobals.h"
#include "base/logsink.h"
#include "base/settings.h"
#include "base/startup.h"
#include "card/cardmodel.h"
#include "card/cardwatcher.h"
#include "chartserviceprocess.h"
#include "fakeudisks.h"
#include "dialogs/about.h"
#include "dialogs/signin.h"
#include "dialogs/termsofuse.h"
#include "download/job.h"
#include "modalanswerer.h"
#include "readability.h"
#include "service/account.h"
#include "service/chartservice.h"
#include "shell/appcontroller.h"
#include "shell/applicationfont.h"
#include "shell/singleinstance.h"
#include "testkit.h"
#include "widgets/pausebutton.h"
#include "widgets/productrow.h"
#include "window/cardpanel.h"
#include "window/jobcontroller.h"
#include "window/jobrow.h"
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

Job *jobOf(NewWindow *window)
{
    return window->jobs()->current();
}

bool transferring(NewWindow *window)
{
    return jobOf(window) && jobOf(window)->stage() == Job::Stage::Transferring;
}

PauseButton *pauseOf(NewWindow *window)
{
    auto *row = window->findChild<JobRow *>(QStringLiteral("jobRow"));
    return row ? child<PauseButton>(row, "pauseButton") : nullptr;
}

QPushButton *cancelOf(NewWindow *window)
{
    auto *row = window->findChild<JobRow *>(QStringLiteral("jobRow"));
    return row ? child<QPushButton>(row, "cancelButton") : nullptr;
}

void triggerTrayQuit(NewWindow *window)
{
    for (QAction *action : window->trayIcon()->contextMenu()->actions()) {
        if (action->text() == QLatin1String("Quit"))
            action->trigger();
    }
}

} // namespace

class TestNewWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void picturesLoad_data();
    void picturesLoad();
    void dialogsAreReadable_data();
    void dialogsAreReadable();
    void windowSaysWhatHappened_data();
    void windowSaysWhatHappened();
    void failedProductListIsSaidAndRefreshed();
    void legacyCardFillsTheTabs();
    void cardFoundAndMissedByItself();
    void productLargerThanCardIsRefused();
    void velmoraDownloadRunsToComplete();
    void rqCardUpdateRunsToUpdateComplete();
    void closingWithoutJobQuits();
    void keyboardAndMenu();
    void ejectAfterProvenJob();
    void secondStartBringsTheWindowForward();
    // Last: it binds TV-NORTH-1, which the cases before count on being free.
    void productPutOnTheCardByAnotherProgram();

private:
    QString makeCard(const QString &kind, const QStringList &extra = {});
    NewWindow *openWindow(const QString &card, int tab);
    void clickRow(NewWindow *window, const QString &sku);
    void pressDownload(NewWindow *window);
    // The watcher looks at the cards now rather than at its next poll.
    void lookForCards(NewWindow *window) { window->findChild<CardWatcher *>(QStringLiteral("cardWatcher"))->poll(); }
    bool controlsLocked(NewWindow *window);
    bool controlsFree(NewWindow *window);

    // One service for the suite: no test binds what another expects free.
    ChartServiceProcess service;
    std::unique_ptr<ChartService> chart;
    std::unique_ptr<Account> account;
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
    chart = std::make_unique<ChartService>();
    account = std::make_unique<Account>(chart.get());
    QSignalSpy signedIn(account.get(), &Account::signedIn);
    account->signIn(QString::fromLatin1(ChartServiceProcess::DemoEmail),
                    QString::fromLatin1(ChartServiceProcess::DemoPassword), Account::Remember::Forget);
    QVERIFY(signedIn.wait(Slow));
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
    auto *window = new NewWindow(chart.get(), account.get());
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
    return !child<QTabWidget>(window, "tabWidget")->tabBar()->isEnabled() && !child(window, "sdSelBtn")->isEnabled()
           && !child(window, "toolButton")->isEnabled() && !child(window, "downloadBtn")->isVisible();
}

bool TestNewWindow::controlsFree(NewWindow *window)
{
    return child<QTabWidget>(window, "tabWidget")->tabBar()->isEnabled() && child(window, "sdSelBtn")->isEnabled()
           && child(window, "toolButton")->isEnabled();
}

void TestNewWindow::picturesLoad_data()
{
    QTest::addColumn<QString>("path");

    // Every picture the code and the forms name, written as they write it,
    // and every one the bundle is made from: a parallel build once compiled
    // an empty bundle, and the window came up without them.
    const QString gui = QStringLiteral(QUORVEL_GUI_SOURCE_DIR);
    QStringList paths;
    static const QRegularExpression named(QStringLiteral(":/+resources/[^\"'()<>\\s]+\\.(?:png|gif|jpg)"));
    QDirIterator sources(gui, {QStringLiteral("*.cpp"), QStringLiteral("*.h"), QStringLiteral("*.ui")}, QDir::Files,
                         QDirIterator::Subdirectories);
    while (sources.hasNext()) {
        QFile source(sources.next());
        QVERIFY(source.open(QIODevice::ReadOnly));
        for (const QRegularExpressionMatch &match : named.globalMatch(QString::fromUtf8(source.readAll())))
            paths << match.captured(0);
    }
    QDirIterator images(gui + QStringLiteral("/resources/images"), QDir::Files);
    while (images.hasNext())
        paths << QStringLiteral(":/resources/images/") + QFileInfo(images.next()).fileName();
    paths.removeDuplicates();
    paths.sort();
    for (const QString &path : std::as_const(paths))
        QTest::newRow(qPrintable(path)) << path;
}

void TestNewWindow::picturesLoad()
{
    QFETCH(QString, path);
    QVERIFY(!QPixmap(path).isNull());
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
    if (what == QLatin1String("sign-in"))
        Settings(configFilePath).setValue(SettingsKeys::termsAgreed, QStringLiteral("1"));
    AppController controller;
    if (what == QLatin1String("terms")) {
        controller.showTerms();
        check(controller.termsWindow());
    } else if (what == QLatin1String("sign-in")) {
        controller.start();
        check(controller.signInDialog());
    } else if (what == QLatin1String("about")) {
        controller.showAbout();
        check(controller.aboutDialog());
    } else {
        ModalAnswerer answerer;
        answerer.inspect = [&problems](QWidget *dialog) {
            // A folder is listed, and its columns widened, after the dialog opens.
            if (!QTest::qWaitFor([dialog] { return Readability::problems(dialog).isEmpty(); }, 5000))
                problems << Readability::problems(dialog);
        };
        NewWindow *window = openWindow(makeCard(QStringLiteral("velmora")), 1);
        QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-ARD-01"), Slow);
        // A lower-case name is as good as the upper-case one.
        const QString other = makeCard(QStringLiteral("talvo"));
        answerer.fileToChoose = QFileInfo(other).absolutePath() + QStringLiteral("/encrypt.txt");
        QVERIFY(QFile::rename(other, answerer.fileToChoose));
        QTest::mouseClick(child(window, "sdSelBtn"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # TV-SOUTH-2"), Slow);
        QCOMPARE(Settings(configFilePath).value(SettingsKeys::mediaIdFile).toString(), answerer.fileToChoose);
    }
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
}

void TestNewWindow::windowSaysWhatHappened_data()
{
    QTest::addColumn<QString>("situation");
    QTest::newRow("a cancelled replace reads incomplete") << "cancel";
    QTest::newRow("the network lost after the card came back") << "network";
    QTest::newRow("another card in the chosen one's place") << "another card";
    QTest::newRow("cancelled while something else is in the card's place") << "cancel without the card";
    QTest::newRow("closing while paused asks") << "paused close";
    QTest::newRow("the question goes away when the job ends") << "question";
}

void TestNewWindow::windowSaysWhatHappened()
{
    QFETCH(QString, situation);
    QVERIFY(service.addFault(QJsonObject{{"kind", "throttle"}, {"path", "*/VMBRE02/*"}, {"count", -1},
                                         {"bytes_per_second", 200000}}));
    qputenv(CardWatcher::watchDirsVariable, cards->path().toUtf8());
    const QString card = makeCard(QStringLiteral("velmora"));
    NewWindow *window = openWindow(card, 1);
    clickRow(window, QStringLiteral("VM-BRE-02"));
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Replace"), Slow);
    std::optional<ModalAnswerer> answerer(std::in_place);
    answerer->choose = [](QMessageBox *box) {
        return box->windowTitle() == QLatin1String("Close Confirmation") ? box->button(QMessageBox::No) : nullptr;
    };
    pressDownload(window);
    QTRY_VERIFY_WITH_TIMEOUT(transferring(window), Slow);
    QCOMPARE(answerer->seen.first().title, QStringLiteral("Replace"));
    QTRY_VERIFY_WITH_TIMEOUT(service.firedCount(QStringLiteral("throttle")) > 0, Slow);
    // While it runs the product is neither on the card nor off it; the one it
    // replaces can no longer be called complete either.
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("In Progress"), Slow);
    QCOMPARE(statusOf(window, QStringLiteral("VM-ARD-01")), QStringLiteral("Replace"));
    QTRY_VERIFY_WITH_TIMEOUT(labelText(window, "downloadStatusLabel").endsWith(QStringLiteral(" left")), Slow);
    QVERIFY(controlsLocked(window));
    Job *job = jobOf(window);

    if (situation == QLatin1String("cancel")) {
        // The longest texts, as they are shown first (a text shown again must
        // not lose the room the layout gave it), then at the default size, the
        // smallest and a full screen; while it runs and once it has ended.
        auto readable = [window] {
            QStringList problems = Readability::problems(window);
            for (const QSize &wanted : {QSize(1190, 667), QSize(1, 1), QSize(1920, 1080)}) {
                const QSize size = wanted.expandedTo(window->minimumSizeHint());
                window->resize(size);
                if (!QTest::qWaitFor([window, size] { return window->size() == size; }))
                    problems << QStringLiteral("not resized to %1x%2").arg(size.width()).arg(size.height());
                for (const QString &problem : Readability::problems(window))
                    problems << QStringLiteral("%1x%2: %3").arg(size.width()).arg(size.height()).arg(problem);
            }
            return problems.join(QLatin1Char('\n'));
        };
        QCOMPARE(readable(), QString());
        QTest::mouseClick(cancelOf(window), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(job->stage(), Job::Stage::Cancelled, Slow);
        QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Incomplete"), Slow);
        QCOMPARE(statusOf(window, QStringLiteral("VM-ARD-01")), QStringLiteral("Replace"));
        QTRY_COMPARE(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Resume"));
        // The card read again: the same note is shown again.
        QSignalSpy reread(window->cardModel(), &CardModel::changed);
        window->cardModel()->refresh();
        QVERIFY(reread.wait(Slow));
        QCOMPARE(readable(), QString());
        QVERIFY(controlsFree(window));
        QCOMPARE(labelText(window, "downloadStageLabel"), QStringLiteral("Download Cancelled"));
        QCOMPARE(answerer->seen.size(), 1);
    } else if (situation == QLatin1String("network")) {
        // Taken out: paused at once, one calm line, no box of file names.
        const QString root = QFileInfo(card).absolutePath();
        QVERIFY(QDir().rename(root, root + QStringLiteral(".out")));
        lookForCards(window);
        QTRY_COMPARE_WITH_TIMEOUT(job->stage(), Job::Stage::Paused, Slow);
        QCOMPARE(job->pauseReason(), Job::PauseReason::CardGone);
        QTRY_COMPARE(labelText(window, "downloadStatusLabel"), QStringLiteral("Please insert SD card."));
        QVERIFY(labelText(window, "sdWatchLabel").contains(QStringLiteral("taken out")));
        QVERIFY(controlsLocked(window));
        // Back, resumed, and then the network gives out: that is what is said.
        QVERIFY(QDir().rename(root + QStringLiteral(".out"), root));
        lookForCards(window);
        QTRY_VERIFY(labelText(window, "sdWatchLabel").contains(QStringLiteral("back")));
        // The row says what the panel says: nothing is to be inserted any more.
        QCOMPARE(labelText(window, "downloadStatusLabel"),
                 QStringLiteral("Press Resume to go on, or Cancel to stop."));
        QTRY_COMPARE(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-BRE-02"));
        QVERIFY(service.addFault(QJsonObject{{"kind", "close_after"}, {"path", "*/VMBRE02/*"}, {"count", -1}}));
        QTest::mouseClick(pauseOf(window), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(job->stage() == Job::Stage::Paused && service.firedCount(QStringLiteral("close_after")) > 0,
                                 Slow);
        QCOMPARE(job->pauseReason(), Job::PauseReason::NetworkLost);
        QVERIFY(labelText(window, "downloadStatusLabel").startsWith(QStringLiteral("The connection to the chart service was lost")));
        QCOMPARE(labelText(window, "downloadStageLabel"), QStringLiteral("Paused"));
        QVERIFY(!labelText(window, "sdWatchLabel").contains(QStringLiteral("back")));
        QVERIFY(!window->trayIcon()->toolTip().contains(QLatin1Char('<')));
        QCOMPARE(answerer->seen.size(), 1);
    } else if (situation == QLatin1String("another card")) {
        // The panel says what the row says: not out, but another card in.
        const QString root = QFileInfo(card).absolutePath();
        QVERIFY(QDir().rename(root, root + QStringLiteral(".out")));
        QVERIFY(ChartServiceProcess::makeCard(root, QStringLiteral("talvo"),
                                              {QStringLiteral("--media-id"), QStringLiteral("QSWAP-0002")}));
        lookForCards(window);
        QTRY_COMPARE_WITH_TIMEOUT(job->stage(), Job::Stage::Paused, Slow);
        QTRY_VERIFY(labelText(window, "sdWatchLabel").startsWith(QStringLiteral("Another SD card is in place")));
        QTRY_VERIFY(labelText(window, "downloadStatusLabel").startsWith(QStringLiteral("Another SD card is in place")));
        // The panel's longest line, read whole.
        QCOMPARE(Readability::problems(window), QStringList());
        QVERIFY(QDir(root).removeRecursively() && QDir().rename(root + QStringLiteral(".out"), root));
        lookForCards(window);
        QTRY_VERIFY(labelText(window, "sdWatchLabel").contains(QStringLiteral("back")));
    } else if (situation == QLatin1String("cancel without the card")) {
        // Paused, the card out and a folder that is no card in its place,
        // then cancelled: the window has no card until the card is back,
        // and then it has that card, as it is.
        QTest::mouseClick(pauseOf(window), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(job->stage(), Job::Stage::Paused, Slow);
        // Out of every reader: not in the folder the watcher looks in.
        const QString root = QFileInfo(card).absolutePath();
        QTemporaryDir away;
        const QString out = away.filePath(QStringLiteral("card"));
        QVERIFY(QDir().rename(root, out));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/VMBRE02")));
        lookForCards(window);
        QTRY_VERIFY(labelText(window, "sdWatchLabel").contains(QStringLiteral("taken out")));
        QTest::mouseClick(cancelOf(window), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(job->stage(), Job::Stage::Cancelled, Slow);
        QTRY_COMPARE(labelText(window, "sdPathLabel"), QStringLiteral("Please browse to an SD Card which has been"));
        QVERIFY(!child(window, "ejectBtn")->isVisible());
        QVERIFY(QDir(root).removeRecursively() && QDir().rename(out, root));
        lookForCards(window);
        QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-BRE-02"), Slow);
        QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Incomplete"), Slow);
    } else if (situation == QLatin1String("paused close")) {
        QTest::mouseClick(pauseOf(window), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(job->stage(), Job::Stage::Paused, Slow);
        QCOMPARE(labelText(window, "downloadStatusLabel"),
                 QStringLiteral("Press Resume to go on, or Cancel to stop."));
        // Closed from the tray's menu: "No" (the default) keeps it all.
        triggerTrayQuit(window);
        QCOMPARE(answerer->texts().last(), QStringLiteral("Download in progress. Are you sure you wish to close this app?"));
        QVERIFY(window->isVisible() && window->trayIcon()->isVisible());
        QCOMPARE(job->stage(), Job::Stage::Paused);
    } else {
        // Asked while it runs; the job ends meanwhile: the question goes by
        // itself, nothing is stacked on it, and the window stays.
        answerer.reset();
        QSignalSpy quit(window, &NewWindow::quitRequested);
        QTimer::singleShot(200, job, [window, job] {
            QVERIFY(window->closeQuestion() && window->closeQuestion()->isVisible());
            job->cancel();
        });
        QVERIFY(!window->close());
        QCOMPARE(job->stage(), Job::Stage::Cancelled);
        QVERIFY(!window->closeQuestion());
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(window->isVisible());
        QCOMPARE(quit.size(), 0);
    }
}

void TestNewWindow::failedProductListIsSaidAndRefreshed()
{
    // Said so, the card shown all the same, and refresh loads it again.
    QVERIFY(service.addFault({{"kind", "status"}, {"path", "*GetAllProducts"}, {"message", "Service under maintenance"}}));
    ModalAnswerer answerer;
    answerer.inspect = [](QWidget *box) { QCOMPARE(Readability::problems(box), QStringList()); };
    NewWindow *window = openWindow(makeCard(QStringLiteral("velmora")), 1);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 1, Slow);
    QVERIFY(answerer.seen.first().text.contains(QStringLiteral("Service under maintenance")));
    QVERIFY(child(window, "catalogueMessage")->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-ARD-01"), Slow);
    QCOMPARE(service.firedCount(QStringLiteral("status")), 1);
    QTest::mouseClick(child(window, "toolButton"), Qt::LeftButton);
    clickRow(window, QStringLiteral("VM-BRE-02"));
    QTRY_VERIFY_WITH_TIMEOUT(child(window, "subscriptionDetails")->isVisible(), Slow);
    QVERIFY(!child(window, "catalogueMessage")->isVisible());
    QCOMPARE(service.requestLog(QStringLiteral("*GetAllProducts")).size(), 2);

    // Again: the choice is reset at once; the same subscriptions add no row twice.
    QVERIFY(service.clearRequestLog());
    QTest::mouseClick(child(window, "toolButton"), Qt::LeftButton);
    QVERIFY(!child(window, "subscriptionDetails")->isVisible());
    QVERIFY(!child(window, "downloadBtn")->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(service.requestLog(QStringLiteral("*GetSubscriptions")).size(), 1, Slow);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Replace"), Slow);
    QCOMPARE(child(window, "vmScrollWidget")->layout()->count(), 3);
}

void TestNewWindow::legacyCardFillsTheTabs()
{
    NewWindow *window = openWindow(makeCard(QStringLiteral("velmora")), 1);

    // Owned products only, in the reply's order, with the card's statuses:
    // the card's vmid names a product but holds none of its files.
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, QStringLiteral("VM-CAL-03")), QStringLiteral("Downloaded"), Slow);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, QStringLiteral("VM-ARD-01")), QStringLiteral("Incomplete"), Slow);
    QCOMPARE(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Replace"));
    QVERIFY(!rowFor(window, QStringLiteral("VM-DUN-04")));
    QLayout *list = child(window, "vmScrollWidget")->layout();
    QCOMPARE(list->count(), 3);
    QCOMPARE(list->itemAt(0)->widget(), rowFor(window, QStringLiteral("VM-ARD-01")));
    QCOMPARE(list->itemAt(2)->widget(), rowFor(window, QStringLiteral("VM-CAL-03")));
    QCOMPARE(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-ARD-01"));
    clickRow(window, QStringLiteral("VM-ARD-01"));
    QTRY_COMPARE_WITH_TIMEOUT(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Resume"), Slow);

    // Talvo products cannot go onto a card that holds a Velmora chart.
    QTabBar *tabs = child<QTabWidget>(window, "tabWidget")->tabBar();
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(2).center());
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, QStringLiteral("TV-NORTH-1")), QStringLiteral("Incompatible"), Slow);
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
    QTRY_COMPARE_WITH_TIMEOUT(answerer.texts(), QStringList{QStringLiteral("Please select an SD card.")}, Slow);
    QVERIFY(!child(window, "downloadBtn")->isVisible());

    // Put in: chosen without browsing; the panel says so.
    const QString first = makeCard(QStringLiteral("velmora"));
    lookForCards(window);
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-ARD-01"), Slow);
    QVERIFY(child(window, "sdWatchLabel")->isVisible());
    QCOMPARE(Settings(configFilePath).value(SettingsKeys::mediaIdFile).toString(), first);

    // A second card is offered in a list; the chosen one stays chosen. Its
    // folder's long name is cut in the middle, whole in the tooltip.
    const QString folder = QStringLiteral("Card_In_The_Reader_At_The_Back_Of_The_Boat");
    const QString second = cards->filePath(folder) + QStringLiteral("/ENCRYPT.TXT");
    QVERIFY(ChartServiceProcess::makeCard(QFileInfo(second).absolutePath(), QStringLiteral("talvo"),
                                          {QStringLiteral("--media-id"), QStringLiteral("QSECOND-01")}));
    lookForCards(window);
    auto *list = child<QComboBox>(window, "sdCardList");
    QTRY_VERIFY(list->isVisible());
    QCOMPARE(list->count(), 2);
    QVERIFY(list->currentText().contains(QStringLiteral("QDEMO-0001")));
    const int longOne = 1 - list->currentIndex();
    QVERIFY(list->itemText(longOne).contains(QChar(0x2026)));
    QVERIFY(list->itemText(longOne).endsWith(QStringLiteral("(QSECOND-01)")));
    QVERIFY(list->itemData(longOne, Qt::ToolTipRole)
                .toString()
                .startsWith(folder + QStringLiteral(" (QSECOND-01)")));
    QCOMPARE(Readability::problems(window), QStringList());

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
    const QString longName =
        QStringLiteral("Lakes of the Northern Highlands with every bay, inlet and reservoir charted in depth");
    const qint64 capacityKb = QStorageInfo(card).bytesTotal() / 1024;
    QJsonArray products;
    QJsonArray subscriptions;
    for (int i = 0; i < 2; ++i) {
        const QString sku = QStringLiteral("VM-BIG-9%1").arg(i);
        products.append(QJsonObject{{"product_id", 1190 + i}, {"type", "velmora_region"}, {"name", i ? sku : longName},
                                    {"sku", sku}, {"size_in_kb", double(capacityKb + i)}});
        subscriptions.append(QJsonObject{{"subscription_id", 9090 + i},
                                         {"account", ChartServiceProcess::DemoEmail},
                                         {"product_id", 1190 + i}});
    }
    const QString extra = cards->filePath(QStringLiteral("extra-catalogue.json"));
    writeFile(extra, QJsonDocument(QJsonObject{{"products", products}, {"subscriptions", subscriptions}}).toJson());
    ChartServiceProcess own;
    QVERIFY(own.start({QStringLiteral("--catalogue"), ChartServiceProcess::demoCataloguePath(),
                       QStringLiteral("--catalogue"), extra}));
    ChartService ownChart(own.baseUrl());
    Account ownAccount(&ownChart);
    QSignalSpy signedIn(&ownAccount, &Account::signedIn);
    ownAccount.signIn(QString::fromLatin1(ChartServiceProcess::DemoEmail),
                      QString::fromLatin1(ChartServiceProcess::DemoPassword), Account::Remember::Forget);
    QVERIFY(signedIn.wait(Slow));
    Settings(configFilePath).setValue(SettingsKeys::mediaIdFile, card);
    Settings(configFilePath).setValue(SettingsKeys::tab, QStringLiteral("1"));
    NewWindow window(&ownChart, &ownAccount);
    window.show();

    // Cut with an ellipsis, and shown whole as a tooltip.
    QTRY_VERIFY_WITH_TIMEOUT(rowFor(&window, QStringLiteral("VM-BIG-90")), Slow);
    auto *name = child<QLabel>(rowFor(&window, QStringLiteral("VM-BIG-90")), "productName");
    QTRY_VERIFY(name->text().endsWith(QChar(0x2026)));
    QCOMPARE(name->toolTip(), longName);

    ModalAnswerer answerer;
    QTRY_VERIFY_WITH_TIMEOUT(window.cardModel()->state().isValid(), Slow);
    QTest::mouseClick(child<QRadioButton>(rowFor(&window, QStringLiteral("VM-BIG-91")), "radioButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(
        answerer.texts(),
        QStringList{QStringLiteral("You don't have enough space to download this chart onto the current SD card.")}, Slow);
    QVERIFY(!child(&window, "downloadBtn")->isVisible());
    QTest::mouseClick(child<QRadioButton>(rowFor(&window, QStringLiteral("VM-BIG-90")), "radioButton"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(child(&window, "downloadBtn")->isVisible(), Slow);
    QCOMPARE(child<QPushButton>(&window, "downloadBtn")->text(), QStringLiteral("Replace"));
    QCOMPARE(answerer.seen.size(), 1);
}

void TestNewWindow::velmoraDownloadRunsToComplete()
{
    // Longer than the list is wide, as a service's reason may be.
    const QString refusal =
        QStringLiteral("This chart cannot be activated now: the subscription it belongs to is being moved to "
                       "another account of the same household. Wait until the move has finished, which may "
                       "take up to an hour, then try again.");
    QVERIFY(service.addFault({{"kind", "status"}, {"path", "*ActivateProduct"}, {"status", 403},
                              {"message", refusal}}));
    NewWindow *window = openWindow(makeCard(QStringLiteral("velmora")), 1);
    const QSize shownSize = window->size();
    clickRow(window, QStringLiteral("VM-BRE-02"));
    // The details arrive from the service; the button offers what the card allows.
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "statusLabel"), QStringLiteral("<b>Product Status:</b> Replace"), Slow);
    QCOMPARE(labelText(window, "quantityLabel"), QStringLiteral("<b>Quantity: </b>1"));
    auto *button = child<QPushButton>(window, "downloadBtn");
    QCOMPARE(button->text(), QStringLiteral("Replace"));

    // A refused activation ends the job and frees the controls at once.
    ModalAnswerer answerer;
    pressDownload(window);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.texts().last(), refusal, Slow);
    QCOMPARE(jobOf(window)->stage(), Job::Stage::Failed);
    // The row's line wraps rather than widening the window, and is whole.
    QCOMPARE(labelText(window, "downloadStatusLabel"), refusal);
    QCOMPARE(window->size(), shownSize);
    QCOMPARE(Readability::problems(window), QStringList());
    QVERIFY(controlsFree(window));
    QCOMPARE(service.firedCount(QStringLiteral("status")), 1);
    QTRY_COMPARE(button->text(), QStringLiteral("Replace"));

    answerer.seen.clear();
    // A session the service no longer takes: said, then the user is sent to sign in again.
    QVERIFY(service.addFault({{"kind", "status"}, {"path", "*ActivateProduct"}, {"status", 401},
                              {"message", "Your session has expired. Please sign in again."}}));
    QSignalSpy signInAgain(window, &NewWindow::signInAgainRequested);
    pressDownload(window);
    QTRY_COMPARE_WITH_TIMEOUT(signInAgain.size(), 1, Slow);
    QCOMPARE(answerer.texts().last(), QStringLiteral("Your session has expired. Please sign in again."));
    QCOMPARE(jobOf(window)->stage(), Job::Stage::Failed);

    QVERIFY(service.clearFaults());
    pressDownload(window);
    QVERIFY(controlsLocked(window));
    // Neither another row nor another tab can be chosen while it runs.
    clickRow(window, QStringLiteral("VM-ARD-01"));
    QVERIFY(!child<QRadioButton>(rowFor(window, QStringLiteral("VM-ARD-01")), "radioButton")->isChecked());
    QTabBar *tabs = child<QTabWidget>(window, "tabWidget")->tabBar();
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(2).center());
    QCOMPARE(child<QTabWidget>(window, "tabWidget")->currentIndex(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "downloadStageLabel"), QStringLiteral("Download Complete"), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.texts().last(),
                              QStringLiteral("Bremmer Basin has been successfully downloaded to your SD card"), Slow);
    QVERIFY(controlsFree(window));
    // Proven: the product can go onto the card again at once.
    QTRY_COMPARE(button->text(), QStringLiteral("Redownload"));
    QCOMPARE(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-BRE-02"));
    QTRY_COMPARE(statusOf(window, QStringLiteral("VM-BRE-02")), QStringLiteral("Redownload"));
    QCOMPARE(statusOf(window, QStringLiteral("VM-ARD-01")), QStringLiteral("Replace"));
    QVERIFY(child<QRadioButton>(rowFor(window, QStringLiteral("VM-BRE-02")), "radioButton")->isChecked());

    // A click on the row already chosen is no new choice: nothing is asked again.
    const qsizetype asked = service.requestLog(QStringLiteral("*GetProductInfo")).size();
    clickRow(window, QStringLiteral("VM-BRE-02"));
    QTest::qWait(100);
    QCOMPARE(service.requestLog(QStringLiteral("*GetProductInfo")).size(), asked);
}

void TestNewWindow::rqCardUpdateRunsToUpdateComplete()
{
    qputenv(CardWatcher::watchDirsVariable, cards->path().toUtf8());
    const QString rqCard = makeCard(QStringLiteral("rq"));
    NewWindow *window = openWindow(rqCard, 0);
    const QString sku = QString::fromLatin1(ChartServiceProcess::DemoRqSku);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, sku), QStringLiteral("Update Available"), Slow);
    QCOMPARE(labelText(rowFor(window, sku), "productSku"), QStringLiteral("4321-1"));
    QVERIFY(child(window, "rqScrollArea")->isVisible());
    // The RQ product on the card is chosen for the user; its build and the
    // one the update brings show.
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "quantityLabel"),
                              QStringLiteral("<b>Build:</b> 5.001 (AAB000) &rarr; 5.002 (ABB123)"), Slow);
    QCOMPARE(labelText(window, "statusLabel"), QStringLiteral("<b>Product Status:</b> Update Available"));
    QCOMPARE(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Update"));

    ModalAnswerer answerer;
    pressDownload(window);
    QVERIFY(controlsLocked(window));
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "downloadStageLabel"), QStringLiteral("Update Complete"), 60000);
    QVERIFY(controlsFree(window));
    QTRY_COMPARE(statusOf(window, sku), QStringLiteral("Up To Date"));
    QTRY_COMPARE(answerer.seen.size(), 1);
    // The chart stays named on the panel, without its padding.
    QCOMPARE(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # 4321-1"));

    // A segment the card no longer holds right: "Validate" puts it right
    // and says so, for a card that loses data is worth knowing about.
    QFile segment(QFileInfo(rqCard).absolutePath() + QStringLiteral("/R004321_1.k02"));
    QVERIFY(segment.open(QIODevice::ReadWrite) && segment.seek(5000));
    QVERIFY(segment.putChar('\x55') && segment.flush());
    segment.close();
    QCOMPARE(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Validate"));
    pressDownload(window);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 2, 60000);
    QVERIFY2(answerer.seen.last().text.contains(
                 QStringLiteral("1 file (R004321_1.k02) did not hold what the chart service published")),
             qPrintable(answerer.seen.last().text));

    // Taken out with a legacy card in the other reader: that card is chosen,
    // and nothing of the RQ card is left in the pane, the job's lines or what
    // the panel says.
    makeCard(QStringLiteral("velmora"), {QStringLiteral("--media-id"), QStringLiteral("QSECOND-01")});
    lookForCards(window);
    QVERIFY(QDir(QFileInfo(rqCard).absolutePath()).removeRecursively());
    lookForCards(window);
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # VM-ARD-01"),
                              Slow);
    QCOMPARE(labelText(window, "sdWatchLabel"), QStringLiteral("Card found and chosen for you."));
    QTRY_COMPARE(labelText(window, "noRqLabel"), QStringLiteral("The selected card is not a RQ card"));
    QVERIFY(!child(window, "subscriptionDetails")->isVisible());
    QCOMPARE(labelText(window, "productName"), QString());
    QCOMPARE(labelText(window, "downloadStatusLabel"), QString());
    QVERIFY(!window->findChild<JobRow *>(QStringLiteral("jobRow")));
    qunsetenv(CardWatcher::watchDirsVariable);

    // A card whose container was lost gets it back and offers to resume the update.
    NewWindow *lost =
        openWindow(makeCard(QStringLiteral("blank"), {QStringLiteral("--media-id"), QStringLiteral("QDEMO-RQ-LOST")}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(lost, QStringLiteral("  7788-3")), QStringLiteral("Update In Progress"), Slow);
    // Nothing was pressed: the window says what it wrote on the card.
    QVERIFY(labelText(lost, "sdWatchLabel").contains(QStringLiteral("was rebuilt from the chart service")));
    QTRY_COMPARE(child<QPushButton>(lost, "downloadBtn")->text(), QStringLiteral("Resume"));
    QVERIFY(child(lost, "downloadBtn")->isVisible());
}

void TestNewWindow::closingWithoutJobQuits()
{
    NewWindow *window = openWindow(QString(), 0);
    QSignalSpy quit(window, &NewWindow::quitRequested);
    ModalAnswerer answerer;
    QVERIFY(window->close());
    QCOMPARE(quit.size(), 1);
    QVERIFY(answerer.seen.isEmpty());
}

void TestNewWindow::keyboardAndMenu()
{
    NewWindow *window = openWindow(makeCard(QStringLiteral("velmora")), 1);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, QStringLiteral("VM-CAL-03")), QStringLiteral("Downloaded"), Slow);
    // A row laid out in a shown list is shown a turn of the event loop later.
    QTRY_VERIFY(rowFor(window, QStringLiteral("VM-ARD-01"))->isVisibleTo(window));

    // Tab goes from the tabs through the rows, in their order, to the card's
    // buttons and the menu.
    QWidget *tabs = child<QTabWidget>(window, "tabWidget")->tabBar();
    QStringList chain;
    QWidget *at = tabs;
    for (int i = 0; i < 12 && at; ++i) {
        chain << at->objectName();
        do
            at = at->nextInFocusChain();
        while (at && at != tabs && (!(at->focusPolicy() & Qt::TabFocus) || !at->isVisibleTo(window)));
    }
    const QString order = chain.join(QLatin1Char(' '));
    QVERIFY2(order.indexOf(QStringLiteral("productRow_VM-ARD-01")) < order.indexOf(QStringLiteral("productRow_VM-BRE-02"))
                 && order.indexOf(QStringLiteral("productRow_VM-BRE-02")) < order.indexOf(QStringLiteral("sdSelBtn"))
                 && order.indexOf(QStringLiteral("sdSelBtn")) < order.indexOf(QStringLiteral("menuButton"))
                 && order.indexOf(QStringLiteral("productRow_VM-ARD-01")) > 0,
             qPrintable(order));

    // Up and Down move through the list; Space chooses what has the focus.
    rowFor(window, QStringLiteral("VM-ARD-01"))->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    QCOMPARE(QApplication::focusWidget(), rowFor(window, QStringLiteral("VM-BRE-02")));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QTRY_VERIFY(child<QRadioButton>(rowFor(window, QStringLiteral("VM-BRE-02")), "radioButton")->isChecked());
    QTRY_COMPARE_WITH_TIMEOUT(child<QPushButton>(window, "downloadBtn")->text(), QStringLiteral("Replace"), Slow);

    // The menu holds what the window offers beyond the card; its settings
    // go to config.ini.
    auto *menu = child<QMenu>(window, "mainMenu");
    QStringList entries;
    for (QAction *action : menu->actions()) {
        if (!action->isSeparator())
            entries << action->text();
    }
    QCOMPARE(entries, (QStringList{QStringLiteral("About"), QStringLiteral("Settings\u2026"),
                                   QStringLiteral("Open Log Folder"), QStringLiteral("Sign Out"), QStringLiteral("Quit")}));
    QAction *settings = menu->findChild<QAction *>(QStringLiteral("settingsAction"));
    QVERIFY(settings);
    // The dialog is modal: it is looked at and accepted from its own loop.
    QTimer::singleShot(0, window, [window] {
        auto *dialog = window->findChild<QDialog *>(QStringLiteral("settingsDialog"));
        if (!dialog)
            return;
        dialog->findChild<QSpinBox *>(QStringLiteral("concurrencyBox"))->setValue(5);
        dialog->findChild<QCheckBox *>(QStringLiteral("readBackBox"))->setChecked(false);
        QTest::keyClick(dialog, Qt::Key_Return);
    });
    settings->trigger();
    QCOMPARE(Settings(configFilePath).value(SettingsKeys::downloadConcurrency).toString(), QStringLiteral("5"));
    QCOMPARE(Settings(configFilePath).value(SettingsKeys::readBackAfterWriting).toString(), QStringLiteral("0"));

    // Signing out hands the window back to whoever signed in.
    QSignalSpy signOut(window, &NewWindow::signOutRequested);
    menu->findChild<QAction *>(QStringLiteral("signOutAction"))->trigger();
    QCOMPARE(signOut.size(), 1);
}

void TestNewWindow::ejectAfterProvenJob()
{
    FakeUDisks disks;
    QString why;
    if (!disks.start(&why))
        QSKIP(qPrintable(why));
    const QString card = makeCard(QStringLiteral("velmora"));
    const QString root = QFileInfo(card).absolutePath();
    FakeUDisks::Drive reader;
    reader.removable = reader.mediaRemovable = reader.ejectable = reader.canPowerOff = true;
    disks.addFileSystem(QStringLiteral("sdz1"), disks.addDrive(QStringLiteral("Reader"), reader), {root}, false);
    QVERIFY(disks.setPresent(true));

    // A card in a folder, not a reader, is refused; its long path is shown whole.
    const QString name = QStringLiteral("Charts_Copied_From_The_Boat_Computer_Before_The_Season");
    const QString folder = cards->filePath(QStringList(4, name).join(QLatin1Char('_')));
    QVERIFY(ChartServiceProcess::makeCard(folder, QStringLiteral("velmora")));
    {
        ModalAnswerer answerer;
        answerer.inspect = [](QWidget *box) { QCOMPARE(Readability::problems(box), QStringList()); };
        NewWindow *inFolder = openWindow(folder + QStringLiteral("/ENCRYPT.TXT"), 1);
        auto *button = child<QPushButton>(inFolder, "ejectBtn");
        QTRY_VERIFY_WITH_TIMEOUT(button->isVisible() && button->isEnabled(), Slow);
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 1, Slow);
        const QString said = answerer.texts().first().remove(QChar(0x200B));
        QVERIFY(said.startsWith(folder + QStringLiteral(" is a folder")));
    }

    NewWindow *window = openWindow(card, 1);
    auto *eject = child<QPushButton>(window, "ejectBtn");
    QTRY_VERIFY_WITH_TIMEOUT(eject->isVisible() && eject->isEnabled(), Slow);
    clickRow(window, QStringLiteral("VM-CAL-03"));
    clickRow(window, QStringLiteral("VM-ARD-01"));
    ModalAnswerer answerer;
    pressDownload(window);
    QVERIFY(!eject->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "downloadStageLabel"), QStringLiteral("Download Complete"), 60000);
    // Proven: offered, with the focus on it.
    QTRY_VERIFY(eject->isEnabled());
    QCOMPARE(labelText(window, "downloadStatusLabel"), QStringLiteral("You can eject the SD card now."));
    QCOMPARE(window->focusWidget(), eject);

    QTest::keyClick(eject, Qt::Key_Space);
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "sdWatchLabel"), QStringLiteral("You can now remove the card."), Slow);
    QVERIFY(disks.calls.contains(QStringLiteral("Unmount sdz1")));
    QVERIFY(disks.calls.contains(QStringLiteral("PowerOff Reader")));
    QCOMPARE(labelText(window, "sdPathLabel"), QStringLiteral("Please browse to an SD Card which has been"));
}

// One window per user: a second start hands over to the one that runs,
// which comes forward, and ends without touching that copy's log.
void TestNewWindow::secondStartBringsTheWindowForward()
{
    SingleInstance running;
    QVERIFY(!running.handOver());
    QVERIFY(running.listen());
    AppController controller;
    connect(&running, &SingleInstance::activationRequested, &controller, &AppController::bringForward);
    controller.start();
    QWidget *front = controller.termsWindow();
    QVERIFY(front && front->isVisible());
    front->hide();
    qInfo() << "the running copy's line";
    LogSink::instance().flush();
    QVERIFY(readAll(logFilePath).contains("the running copy's line"));
    const QByteArray rotatedBefore = readAll(logFilePath + QStringLiteral(".1"));

    QProcess second;
    Kit::dieWithParent(second);
    second.start(QStringLiteral(QUORVEL_APP_PATH), QStringList());
    QVERIFY(second.waitForFinished(Slow));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(front->isVisible(), Slow);
    QVERIFY(readAll(logFilePath).contains("the running copy's line"));
    QCOMPARE(readAll(logFilePath + QStringLiteral(".1")), rotatedBefore);
}

QTEST_MAIN(TestNewWindow)
// Another program (the command line) activates TV-NORTH-1 for the card the
// window shows and names it in the vmid: the window's bindings are older than
// the card, and the card's own product must not read as one of another card.
void TestNewWindow::productPutOnTheCardByAnotherProgram()
{
    const QString card = makeCard(QStringLiteral("talvo"));
    NewWindow *window = openWindow(card, 2);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, QStringLiteral("TV-NORTH-1")), QStringLiteral("Replace"), Slow);
    const QJsonObject activated = service.call(
        QStringLiteral("ActivateProduct"), QStringLiteral("smn"),
        {{"device_id", ChartServiceProcess::encryptText(QString::fromLatin1(ChartServiceProcess::DemoMediaId))},
         {"sku", "TV-NORTH-1"},
         {"session_id", service.signIn()}});
    QVERIFY(!activated.value(QStringLiteral("files")).toArray().isEmpty());
    QVERIFY(service.clearRequestLog());
    const QString root = QFileInfo(card).absolutePath();
    QFile vmid(root + QStringLiteral("/vmid.new"));
    QVERIFY(vmid.open(QIODevice::WriteOnly));
    vmid.write("TV-NORTH-1\n{\"files\": []}\n");
    vmid.close();
    QVERIFY(QFile::remove(root + QStringLiteral("/vmid")) && vmid.rename(root + QStringLiteral("/vmid")));
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "sdSkuOnCardLabel"), QStringLiteral("Item # TV-NORTH-1"), Slow);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, QStringLiteral("TV-NORTH-1")), QStringLiteral("Incomplete"), Slow);
    QCOMPARE(statusOf(window, QStringLiteral("TV-SOUTH-2")), QStringLiteral("Replace"));
    // Asked once, not at every reading of the card.
    QSignalSpy reread(window->cardModel(), &CardModel::changed);
    window->cardModel()->refresh();
    QVERIFY(reread.wait(Slow));
    QCOMPARE(service.requestLog(QStringLiteral("*GetSubscriptions")).size(), 1);
}

#include "tst_newwindow.moc"
