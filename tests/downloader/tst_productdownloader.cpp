// A product must land on the card byte for byte whatever the network, the
// service or the card does, and the user must be told what happened.
#include <QApplication>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QProcess>
#include <QScopeGuard>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <sys/resource.h>

#include "app/appglobals.h"
#include "app/settings.h"
#include "download/download.h"
#include "download/pausebutton.h"
#include "download/productdownloader.h"
#include "downloadfixture.h"
#include "faultyfileserver.h"

namespace {

const QString sku = QStringLiteral("VM-100");
const QByteArray encryptTxt = "AAAA-----Trelmarkholding---media---001-----CARD42-----Trelmarkholding---media---001-----ZZZZ";

struct ProductFile
{
    QString path;
    qint64 size;
    QByteArray inlineData;
};

const QList<ProductFile> productFiles = {
    {QStringLiteral("VM100/a.bin"), 1536 * 1024, {}},
    {QStringLiteral("VM100/b.bin"), 700 * 1024, {}},
    {QStringLiteral("VM100/sub/c.bin"), 300 * 1024 + 7, {}},
    {QStringLiteral("VM100/d.bin"), 2 * 1024 * 1024, {}},
    {QStringLiteral("VM100/tail.bin"), 100 * 1024, QByteArray("TAIL")},
    {QStringLiteral("VM100/inline.txt"), 0, QByteArray("hello card")},
    {QStringLiteral("VM100/empty.dat"), 0, {}},
};

void setUpConfig(const QString &folder)
{
    appDataFolder = folder;
    configFilePath = folder + QStringLiteral("/config.ini");
}

} // namespace

class TestProductDownloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void freshProductLandsWithVmidAndTexts();
    void cardStateDecidesWhatIsFetched();
    void vmidOfAnotherProductClearsTheFolder();
    void changedEtagRefetchesPartialFileWhole();
    void completeCardSendsNoGet();
    void failedFilesAreReportedTogether();
    void pauseAndResumeManyTimes();
    void cancelThenDownloadAgainResumes();
    void unsafePathsAreRefused_data();
    void unsafePathsAreRefused();
    void cardPulledOutThenPutBack();
    void fullCardThenRoomMade();
    void readOnlyCardThenWritable();
    void killedMidDownloadResumes();
    void diskFullThenResume();
    void idleAdmittedTransfersStillRun();
    void concurrencySetting_data();
    void concurrencySetting();
    void speedAndTimeLeftAreShown();
    void timeLeftText_data();
    void timeLeftText();

private:
    ProductDownloader *makeDownloader();
    void publishProduct();
    void writeMatchingVmid();
    void verifyCard();
    // A fresh downloader for the same product and card, run until allDone.
    bool downloadAgainToTheEnd();
    bool runToEnd(ProductDownloader *downloader, int timeout = 30000);
    QPushButton *button(ProductDownloader *downloader, const char *name);
    QString label(ProductDownloader *downloader, const char *name);

    QTemporaryDir dataDir;
    FaultyFileServer *server = nullptr;
    QTemporaryDir *root = nullptr;
    QString card;
    TestProduct *product = nullptr;
    QJsonArray records;
};

void TestProductDownloader::initTestCase()
{
    setUpConfig(dataDir.path());
    Download::setWatchdogLimit(2);
}

void TestProductDownloader::init()
{
    server = new FaultyFileServer;
    QVERIFY(server->listen());
    qputenv("QUORVEL_SERVICE_URL", server->baseUrl().toUtf8());
    root = new QTemporaryDir;
    card = root->path() + QStringLiteral("/card");
    writeFile(card + QStringLiteral("/ENCRYPT.TXT"), encryptTxt);
    product = new TestProduct(QJsonObject{{QStringLiteral("sku"), sku},
                                          {QStringLiteral("name"), QStringLiteral("Lake Velm North")},
                                          {QStringLiteral("product_id"), 12}},
                              VelmoraRegion);
    publishProduct();
}

void TestProductDownloader::cleanup()
{
    delete product;
    delete server;
    delete root;
    QFile::remove(configFilePath);
}

void TestProductDownloader::publishProduct()
{
    records = QJsonArray();
    quint32 seed = 1;
    for (const ProductFile &entry : productFiles)
        records.append(server->addFile(entry.path, pattern(seed++, entry.size), entry.inlineData));
    server->setActivation(records);
}

// The card already holds this product's list, so its folder is not cleared
// and the files on it are judged one by one.
void TestProductDownloader::writeMatchingVmid()
{
    QJsonArray entries;
    for (const QJsonValue &value : std::as_const(records))
        entries.append(QJsonObject{{QStringLiteral("file"), value.toObject().value(QStringLiteral("file"))},
                                   {QStringLiteral("etag"), value.toObject().value(QStringLiteral("etag"))}});
    writeFile(card + QStringLiteral("/vmid"),
              sku.toUtf8() + "\r\n" + QJsonDocument(QJsonObject{{QStringLiteral("files"), entries}}).toJson());
}

ProductDownloader *TestProductDownloader::makeDownloader()
{
    auto *downloader = new ProductDownloader(nullptr, product);
    downloader->sessionId = QStringLiteral("session-1");
    downloader->setMediaIdDir(card);
    return downloader;
}

bool TestProductDownloader::runToEnd(ProductDownloader *downloader, int timeout)
{
    QSignalSpy done(downloader, &ProductDownloader::allDone);
    // A failed round leaves the downloader paused; the user presses resume.
    connect(downloader, &ProductDownloader::errorTmp, downloader, [this, downloader] {
        QTimer::singleShot(0, downloader, [this, downloader] { button(downloader, "pauseButton")->click(); });
    });
    return done.count() > 0 || done.wait(timeout);
}

QPushButton *TestProductDownloader::button(ProductDownloader *downloader, const char *name)
{
    return downloader->findChild<QPushButton *>(QLatin1String(name));
}

QString TestProductDownloader::label(ProductDownloader *downloader, const char *name)
{
    return downloader->findChild<QLabel *>(QLatin1String(name))->text();
}

void TestProductDownloader::verifyCard()
{
    for (const ProductFile &entry : productFiles) {
        const QByteArray expected = server->contents.value(entry.path) + entry.inlineData;
        const QByteArray actual = readAll(card + QLatin1Char('/') + entry.path);
        QVERIFY2(actual == expected, qPrintable(QStringLiteral("%1: %2 bytes, expected %3")
                                                    .arg(entry.path)
                                                    .arg(actual.size())
                                                    .arg(expected.size())));
    }
}

void TestProductDownloader::freshProductLandsWithVmidAndTexts()
{
    ProductDownloader *downloader = makeDownloader();
    QSignalSpy stages(downloader, &ProductDownloader::stageUpdate);
    QSignalSpy statuses(downloader, &ProductDownloader::statusUpdate);
    QSignalSpy activated(downloader, &ProductDownloader::productActivated);
    QSignalSpy vmidSpy(downloader, &ProductDownloader::vmidUpdated);
    QSignalSpy errors(downloader, &ProductDownloader::errorTmp);
    QCOMPARE(label(downloader, "productName"), QStringLiteral("Lake Velm North"));
    QVERIFY(!button(downloader, "cancelButton")->isEnabled());

    downloader->activateProduct();
    QVERIFY(runToEnd(downloader));
    verifyCard();
    QCOMPARE(errors.count(), 0);

    const QJsonObject body = QJsonDocument::fromJson(server->requests.first().body).object();
    QCOMPARE(server->requests.first().path, QByteArray("/api/smn/ActivateProduct"));
    QCOMPARE(body.value(QStringLiteral("device_id")).toString(), QString::fromUtf8(encryptTxt));
    QCOMPARE(body.value(QStringLiteral("sku")).toString(), sku);
    QCOMPARE(body.value(QStringLiteral("session_id")).toString(), QStringLiteral("session-1"));
    QVERIFY(!body.contains(QStringLiteral("drm")));

    QCOMPARE(statuses.first().at(1).toString(), QStringLiteral("Initiating Download."));
    QVERIFY(stages.contains(QVariantList{sku, QStringLiteral("Downloading Data")}));
    QCOMPARE(stages.last().at(1).toString(), QString());
    QCOMPARE(activated.count(), 1);
    QCOMPARE(activated.first(), (QVariantList{77, 1900000000, QString::fromUtf8(encryptTxt)}));
    QCOMPARE(vmidSpy.count(), 1);

    const QByteArray vmid = readAll(card + QStringLiteral("/vmid"));
    QVERIFY(vmid.startsWith(sku.toUtf8() + "\r\n"));
    const QJsonArray stored = QJsonDocument::fromJson(vmid.mid(sku.size() + 2)).object().value(QStringLiteral("files")).toArray();
    QCOMPARE(stored.size(), records.size());
    for (int i = 0; i < records.size(); ++i) {
        const QJsonObject entry = stored.at(i).toObject();
        QCOMPARE(entry.keys(), (QStringList{QStringLiteral("etag"), QStringLiteral("file")}));
        QCOMPARE(entry.value(QStringLiteral("file")), records.at(i).toObject().value(QStringLiteral("file")));
        QCOMPARE(entry.value(QStringLiteral("etag")), records.at(i).toObject().value(QStringLiteral("etag")));
    }

    QCOMPARE(label(downloader, "progressPercentageLabel"), QStringLiteral("100%"));
    QCOMPARE(label(downloader, "sizeInfo"), QStringLiteral("4.57 / 4.57 MB"));
    QTRY_VERIFY(button(downloader, "cancelButton")->isHidden());
    QVERIFY(button(downloader, "pauseButton")->isHidden());
    // A fresh card has nothing to resume: no request asks for a range.
    for (const auto &request : std::as_const(server->requests))
        QVERIFY(!request.headers.contains("range"));
    delete downloader;
}

void TestProductDownloader::cardStateDecidesWhatIsFetched()
{
    // a.bin complete but wrong, b.bin complete and right, c.bin too long,
    // d.bin one byte short.
    const QByteArray a = server->contents.value(QStringLiteral("VM100/a.bin"));
    QByteArray wrong = a;
    wrong[1000] = char(wrong[1000] ^ 0x5a);
    writeFile(card + QStringLiteral("/VM100/a.bin"), wrong);
    writeFile(card + QStringLiteral("/VM100/b.bin"), server->contents.value(QStringLiteral("VM100/b.bin")));
    writeFile(card + QStringLiteral("/VM100/sub/c.bin"), server->contents.value(QStringLiteral("VM100/sub/c.bin")) + "EXTRA!!");
    const QByteArray d = server->contents.value(QStringLiteral("VM100/d.bin"));
    writeFile(card + QStringLiteral("/VM100/d.bin"), d.left(d.size() - 1));
    writeMatchingVmid();
    ProductDownloader *first = makeDownloader();
    first->activateProduct();
    QVERIFY(runToEnd(first));
    delete first;
    verifyCard();

    QHash<QByteArray, QByteArray> ranges;
    QSet<QByteArray> fetched;
    for (const auto &request : std::as_const(server->requests)) {
        if (request.method != "GET")
            continue;
        fetched.insert(request.path);
        ranges.insert(request.path, request.headers.value("range"));
    }
    QVERIFY(!fetched.contains("/cdn/VM100/b.bin"));
    QVERIFY(fetched.contains("/cdn/VM100/a.bin"));
    QCOMPARE(ranges.value("/cdn/VM100/a.bin"), QByteArray());
    QCOMPARE(ranges.value("/cdn/VM100/sub/c.bin"), QByteArray());
    // 99.99 % on the card: the last byte comes from the origin.
    QCOMPARE(ranges.value("/origin/VM100/d.bin"), QByteArray("bytes=2097151-2097151"));
}

void TestProductDownloader::vmidOfAnotherProductClearsTheFolder()
{
    writeFile(card + QStringLiteral("/vmid"), "VM-999\r\n{\"files\": [{\"etag\": \"x\", \"file\": \"VM100/a.bin\"}]}");
    writeFile(card + QStringLiteral("/VM100/stray.bin"), "left over from the other product");
    writeFile(card + QStringLiteral("/VM100/b.bin"), server->contents.value(QStringLiteral("VM100/b.bin")));
    writeFile(card + QStringLiteral("/other/keep.txt"), "not this product's folder");

    ProductDownloader *downloader = makeDownloader();
    QSignalSpy vmidSpy(downloader, &ProductDownloader::vmidUpdated);
    downloader->activateProduct();
    QVERIFY(runToEnd(downloader));
    delete downloader;
    verifyCard();
    QCOMPARE(vmidSpy.count(), 1);
    QVERIFY(!QFile::exists(card + QStringLiteral("/VM100/stray.bin")));
    QCOMPARE(readAll(card + QStringLiteral("/other/keep.txt")), QByteArray("not this product's folder"));
    QVERIFY(readAll(card + QStringLiteral("/vmid")).startsWith("VM-100\r\n"));
    // b.bin was cleared with its folder, so it travelled again.
    bool fetchedB = false;
    for (const auto &request : std::as_const(server->requests))
        fetchedB |= request.path.endsWith("VM100/b.bin");
    QVERIFY(fetchedB);
}

void TestProductDownloader::changedEtagRefetchesPartialFileWhole()
{
    // The card holds half of an older a.bin and remembers its old tag; the
    // service has a new a.bin. Resuming would graft new bytes onto old ones.
    QJsonArray stale;
    for (const QJsonValue &value : std::as_const(records)) {
        QJsonObject entry{{QStringLiteral("file"), value.toObject().value(QStringLiteral("file"))},
                          {QStringLiteral("etag"), value.toObject().value(QStringLiteral("etag"))}};
        if (entry.value(QStringLiteral("file")).toString() == QLatin1String("VM100/a.bin"))
            entry.insert(QStringLiteral("etag"), QStringLiteral("old-tag"));
        stale.append(entry);
    }
    writeFile(card + QStringLiteral("/vmid"),
              sku.toUtf8() + "\r\n" + QJsonDocument(QJsonObject{{QStringLiteral("files"), stale}}).toJson());
    writeFile(card + QStringLiteral("/VM100/a.bin"), pattern(999, 700 * 1024));

    ProductDownloader *downloader = makeDownloader();
    QSignalSpy vmidSpy(downloader, &ProductDownloader::vmidUpdated);
    downloader->activateProduct();
    QVERIFY(runToEnd(downloader));
    delete downloader;
    verifyCard();
    QCOMPARE(vmidSpy.count(), 0);
    for (const auto &request : std::as_const(server->requests)) {
        if (request.path.endsWith("VM100/a.bin"))
            QCOMPARE(request.headers.value("range"), QByteArray());
    }
}

void TestProductDownloader::completeCardSendsNoGet()
{
    ProductDownloader *first = makeDownloader();
    first->activateProduct();
    QVERIFY(runToEnd(first));
    delete first;
    server->requests.clear();

    ProductDownloader *again = makeDownloader();
    QSignalSpy statuses(again, &ProductDownloader::statusUpdate);
    again->activateProduct();
    QVERIFY(runToEnd(again));
    QCOMPARE(server->fileRequests(), 0);
    QVERIFY(statuses.contains(QVariantList{sku, QStringLiteral("Checking Download Integrity.")}));
    QCOMPARE(label(again, "progressPercentageLabel"), QStringLiteral("100%"));
    delete again;
    verifyCard();
}

void TestProductDownloader::failedFilesAreReportedTogether()
{
    // Two files, both failing in the first round: one report, sorted by
    // file name, with the downloader paused.
    const QJsonArray two{records.at(1), records.at(0)};
    server->setActivation(two);
    FaultyFileServer::Fault fault;
    fault.status = 500;
    server->setFault(QStringLiteral("VM100/b.bin"), fault);
    server->setFault(QStringLiteral("VM100/a.bin"), fault);
    {
        Settings settings(configFilePath);
        settings.setValue(SettingsKeys::downloadConcurrency, QStringLiteral("2"));
    }
    ProductDownloader *downloader = makeDownloader();
    QSignalSpy errors(downloader, &ProductDownloader::errorTmp);
    downloader->activateProduct();
    QVERIFY(errors.wait(20000));
    QCOMPARE(errors.count(), 1);
    const QString text = errors.first().at(1).toString();
    QVERIFY2(text.startsWith(QStringLiteral("<p>VM100/a.bin: ")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("</p>\r\n<p>VM100/b.bin: ")), qPrintable(text));
    QVERIFY(text.endsWith(QStringLiteral("</p>\r\n")));
    QCOMPARE(errors.first().at(0).toString(), sku);
    auto *pause = qobject_cast<PauseButton *>(button(downloader, "pauseButton"));
    QVERIFY(pause->isEnabled() && pause->isPaused());
    QVERIFY(button(downloader, "cancelButton")->isEnabled());
    pause->click();
    QVERIFY(runToEnd(downloader));
    delete downloader;
    for (const QString &path : {QStringLiteral("VM100/a.bin"), QStringLiteral("VM100/b.bin")})
        QCOMPARE(readAll(card + QLatin1Char('/') + path), server->contents.value(path));
}

void TestProductDownloader::pauseAndResumeManyTimes()
{
    server->setThrottle(24 * 1024);
    ProductDownloader *downloader = makeDownloader();
    QSignalSpy done(downloader, &ProductDownloader::allDone);
    QSignalSpy statuses(downloader, &ProductDownloader::statusUpdate);
    downloader->activateProduct();
    auto *pause = qobject_cast<PauseButton *>(button(downloader, "pauseButton"));
    for (int round = 0; round < 5; ++round) {
        const qint64 before = downloader->doneBytes;
        QTRY_VERIFY_WITH_TIMEOUT(pause->isEnabled() && downloader->doneBytes > before + 100 * 1024, 20000);
        statuses.clear();
        pause->click();
        QTRY_VERIFY_WITH_TIMEOUT(pause->isEnabled() && pause->isPaused(), 20000);
        QVERIFY(statuses.contains(QVariantList{sku, QString()}));
        const qint64 paused = downloader->doneBytes;
        QTest::qWait(100);
        QCOMPARE(downloader->doneBytes, paused);
        QCOMPARE(done.count(), 0);
        pause->click();
        QVERIFY(!pause->isPaused() || !pause->isEnabled());
    }
    server->setThrottle(0);
    QVERIFY(done.count() > 0 || done.wait(30000));
    delete downloader;
    verifyCard();
}

void TestProductDownloader::cancelThenDownloadAgainResumes()
{
    server->setThrottle(24 * 1024);
    ProductDownloader *downloader = makeDownloader();
    QSignalSpy cancelled(downloader, &ProductDownloader::cancel);
    downloader->activateProduct();
    QTRY_VERIFY_WITH_TIMEOUT(downloader->doneBytes > 600 * 1024, 20000);
    button(downloader, "cancelButton")->click();
    QVERIFY(cancelled.count() > 0 || cancelled.wait(20000));
    delete downloader;
    server->setThrottle(0);
    server->requests.clear();

    ProductDownloader *again = makeDownloader();
    again->activateProduct();
    QVERIFY(runToEnd(again));
    delete again;
    verifyCard();
    bool ranged = false;
    for (const auto &request : std::as_const(server->requests))
        ranged |= request.headers.contains("range");
    QVERIFY(ranged);
}

void TestProductDownloader::unsafePathsAreRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("parent") << QStringLiteral("../x.bin");
    QTest::newRow("absolute") << QStringLiteral("/tmp/x.bin");
    QTest::newRow("parent inside") << QStringLiteral("VM100/../../x.bin");
    QTest::newRow("back-slash") << QStringLiteral("VM100\\..\\..\\x.bin");
    QTest::newRow("drive letter") << QStringLiteral("C:/x.bin");
    QTest::newRow("empty component") << QStringLiteral("VM100//x.bin");
    QTest::newRow("link out of the card") << QStringLiteral("linked/x.bin");
}

void TestProductDownloader::unsafePathsAreRefused()
{
    QFETCH(QString, path);
    const QString outside = root->path() + QStringLiteral("/outside");
    writeFile(outside + QStringLiteral("/keep.txt"), "outside the card");
    QFile::link(outside, card + QStringLiteral("/linked"));
    writeFile(card + QStringLiteral("/VM100/old.bin"), "kept");

    // The unsafe record comes last, after records that would otherwise
    // already be written, and the first record names the folder to clear.
    records.append(server->addFile(path, pattern(5, 1000)));
    server->setActivation(records);
    const auto before = snapshot(root->path());

    ProductDownloader *downloader = makeDownloader();
    QSignalSpy perm(downloader, &ProductDownloader::errorPerm);
    QSignalSpy done(downloader, &ProductDownloader::allDone);
    downloader->activateProduct();
    QVERIFY(perm.wait(10000));
    QCOMPARE(perm.first().at(0).toString(), sku);
    QVERIFY2(perm.first().at(1).toString().contains(path.toHtmlEscaped()), qPrintable(perm.first().at(1).toString()));
    QTest::qWait(200);
    QCOMPARE(done.count(), 0);
    QCOMPARE(server->fileRequests(), 0);
    QCOMPARE(snapshot(root->path()), before);
    delete downloader;
}

void TestProductDownloader::cardPulledOutThenPutBack()
{
    server->setThrottle(24 * 1024);
    ProductDownloader *downloader = makeDownloader();
    QSignalSpy errors(downloader, &ProductDownloader::errorTmp);
    QSignalSpy perm(downloader, &ProductDownloader::errorPerm);
    downloader->activateProduct();
    QTRY_VERIFY_WITH_TIMEOUT(downloader->doneBytes > 400 * 1024, 20000);
    const QString pulled = root->path() + QStringLiteral("/pulled");
    QVERIFY(QDir().rename(card, pulled));
    QVERIFY(errors.wait(20000));
    const QString text = errors.first().at(1).toString();
    QVERIFY2(text.contains(QStringLiteral("The SD card was removed")), qPrintable(text));
    QVERIFY(perm.isEmpty());
    // Nothing may have been created where the card was.
    QVERIFY(!QFileInfo::exists(card));

    // Resume without the card: the user is asked for it, nothing starts.
    QString asked;
    QTimer::singleShot(100, downloader, [&asked] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            asked = box->text();
            box->accept();
        }
    });
    const int requestsBefore = server->fileRequests();
    button(downloader, "pauseButton")->click();
    QCOMPARE(asked, QStringLiteral("Please insert SD card."));
    QCOMPARE(server->fileRequests(), requestsBefore);
    QVERIFY(qobject_cast<PauseButton *>(button(downloader, "pauseButton"))->isPaused());

    QVERIFY(QDir().rename(pulled, card));
    server->setThrottle(0);
    button(downloader, "pauseButton")->click();
    QVERIFY(runToEnd(downloader));
    delete downloader;
    verifyCard();
}

// A real small file system under the card, so the system's own errors are
// what the downloader sees; needs the right to mount.
static bool mountCard(const QString &card, const QString &options)
{
    QProcess mount;
    mount.start(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"), options,
                                          QStringLiteral("tmpfs"), card});
    return mount.waitForFinished() && mount.exitStatus() == QProcess::NormalExit && mount.exitCode() == 0;
}

static bool remountCard(const QString &card, const QString &options)
{
    QProcess mount;
    mount.start(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("remount,") + options, card});
    return mount.waitForFinished() && mount.exitStatus() == QProcess::NormalExit && mount.exitCode() == 0;
}

static void unmountCard(const QString &card)
{
    QProcess::execute(QStringLiteral("umount"), {card});
}

void TestProductDownloader::fullCardThenRoomMade()
{
    if (!mountCard(card, QStringLiteral("size=2m")))
        QSKIP("cannot mount a small file system here");
    const auto unmount = qScopeGuard([this] { unmountCard(card); });
    writeFile(card + QStringLiteral("/ENCRYPT.TXT"), encryptTxt);

    ProductDownloader *downloader = makeDownloader();
    QSignalSpy errors(downloader, &ProductDownloader::errorTmp);
    QSignalSpy perm(downloader, &ProductDownloader::errorPerm);
    downloader->activateProduct();
    QVERIFY(errors.wait(20000));
    const QString text = errors.first().at(1).toString();
    QVERIFY2(text.contains(QStringLiteral("The SD card is full")), qPrintable(text));
    QVERIFY(perm.isEmpty());
    // Files that were finished before the card filled up are whole.
    for (const ProductFile &entry : productFiles) {
        const QString path = card + QLatin1Char('/') + entry.path;
        const QByteArray expected = server->contents.value(entry.path) + entry.inlineData;
        if (QFileInfo(path).size() == expected.size())
            QCOMPARE(readAll(path), expected);
    }

    QVERIFY(remountCard(card, QStringLiteral("size=16m")));
    button(downloader, "pauseButton")->click();
    QVERIFY(runToEnd(downloader));
    delete downloader;
    verifyCard();
}

void TestProductDownloader::readOnlyCardThenWritable()
{
    if (!mountCard(card, QStringLiteral("size=16m")))
        QSKIP("cannot mount a small file system here");
    const auto unmount = qScopeGuard([this] { unmountCard(card); });
    writeFile(card + QStringLiteral("/ENCRYPT.TXT"), encryptTxt);
    server->setThrottle(24 * 1024);

    ProductDownloader *downloader = makeDownloader();
    QSignalSpy errors(downloader, &ProductDownloader::errorTmp);
    downloader->activateProduct();
    QTRY_VERIFY_WITH_TIMEOUT(downloader->doneBytes > 300 * 1024, 20000);
    QVERIFY(remountCard(card, QStringLiteral("ro")));
    QVERIFY(errors.wait(20000));
    const QString text = errors.first().at(1).toString();
    QVERIFY2(text.contains(QStringLiteral("The SD card cannot be written")), qPrintable(text));

    QVERIFY(remountCard(card, QStringLiteral("rw")));
    server->setThrottle(0);
    button(downloader, "pauseButton")->click();
    QVERIFY(runToEnd(downloader));
    delete downloader;
    verifyCard();
}

// The child process runs one download against the parent's server and
// reports how it ended through its exit code and its output.
static int runChild(const QStringList &arguments)
{
    const QString url = arguments.value(2);
    const QString cardDir = arguments.value(3);
    const qint64 sizeLimit = arguments.value(4).toLongLong();
    if (sizeLimit > 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{rlim_t(sizeLimit), rlim_t(sizeLimit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    QTemporaryDir data;
    setUpConfig(data.path());
    qputenv("QUORVEL_SERVICE_URL", url.toUtf8());
    TestProduct childProduct(QJsonObject{{QStringLiteral("sku"), sku}, {QStringLiteral("name"), QStringLiteral("x")}},
                             VelmoraRegion);
    ProductDownloader downloader(nullptr, &childProduct);
    downloader.setMediaIdDir(cardDir);
    int code = -1;
    QObject::connect(&downloader, &ProductDownloader::allDone, [&] { code = 0; });
    QObject::connect(&downloader, &ProductDownloader::errorTmp, [&](const QString &, const QString &text) {
        QTextStream(stdout) << text << Qt::endl;
        code = 3;
    });
    QObject::connect(&downloader, &ProductDownloader::errorPerm, [&](const QString &, const QString &text) {
        QTextStream(stdout) << text << Qt::endl;
        code = 4;
    });
    downloader.activateProduct();
    while (code < 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    return code;
}

void TestProductDownloader::killedMidDownloadResumes()
{
    server->setThrottle(24 * 1024);
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("child"), server->baseUrl(), card, QStringLiteral("0")});
    QVERIFY(child.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(snapshot(card + QStringLiteral("/VM100")).size() >= 2
                                 && QFileInfo(card + QStringLiteral("/VM100/a.bin")).size() > 200 * 1024,
                             20000);
    child.kill();
    QVERIFY(child.waitForFinished());
    server->setThrottle(0);

    QVERIFY(downloadAgainToTheEnd());
    verifyCard();
}

bool TestProductDownloader::downloadAgainToTheEnd()
{
    ProductDownloader *downloader = makeDownloader();
    downloader->activateProduct();
    const bool done = runToEnd(downloader);
    delete downloader;
    return done;
}

void TestProductDownloader::diskFullThenResume()
{
    // The child may write files of at most 1 MiB: a.bin, d.bin cannot fit.
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("child"), server->baseUrl(), card, QString::number(1024 * 1024)});
    QVERIFY(child.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(child.state() == QProcess::NotRunning, 30000);
    QCOMPARE(child.exitCode(), 3);
    const QString text = QString::fromUtf8(child.readAllStandardOutput());
    QVERIFY2(text.contains(QStringLiteral("The SD card is full")), qPrintable(text));
    // What fitted is already whole.
    QCOMPARE(readAll(card + QStringLiteral("/VM100/b.bin")), server->contents.value(QStringLiteral("VM100/b.bin")));

    QVERIFY(downloadAgainToTheEnd());
    verifyCard();
}

void TestProductDownloader::idleAdmittedTransfersStillRun()
{
    // Listed in this order: a too-long file starts at once and is slow; a
    // complete file is checked meanwhile; when its check ends the new round
    // is refused because the first is busy; the missing file was admitted
    // and must still run.
    QJsonArray list;
    const QByteArray big = pattern(41, 3 * 1024 * 1024);
    const QByteArray checked = pattern(42, 64 * 1024);
    const QByteArray missing = pattern(43, 64 * 1024);
    list.append(server->addFile(QStringLiteral("VM100/long.bin"), big));
    list.append(server->addFile(QStringLiteral("VM100/checked.bin"), checked));
    list.append(server->addFile(QStringLiteral("VM100/missing.bin"), missing));
    server->setActivation(list);
    writeFile(card + QStringLiteral("/VM100/long.bin"), big + "too long");
    writeFile(card + QStringLiteral("/VM100/checked.bin"), checked);
    writeFile(card + QStringLiteral("/vmid"), sku.toUtf8() + "\r\n{\"files\": [{\"etag\": \"\", \"file\": \"none\"}]}");
    server->setThrottle(16 * 1024);

    ProductDownloader *downloader = makeDownloader();
    downloader->activateProduct();
    QVERIFY(runToEnd(downloader, 40000));
    delete downloader;
    QCOMPARE(readAll(card + QStringLiteral("/VM100/long.bin")), big);
    QCOMPARE(readAll(card + QStringLiteral("/VM100/missing.bin")), missing);
}

void TestProductDownloader::concurrencySetting_data()
{
    const int ideal = QThread::idealThreadCount();
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("expected");
    QTest::newRow("zero") << QStringLiteral("0") << ideal;
    QTest::newRow("negative") << QStringLiteral("-5") << ideal;
    QTest::newRow("not a number") << QStringLiteral("abc") << ideal;
    QTest::newRow("above the cores") << QString::number(ideal + 8) << ideal;
    QTest::newRow("one") << QStringLiteral("1") << 1;
}

void TestProductDownloader::concurrencySetting()
{
    QFETCH(QString, stored);
    QFETCH(int, expected);
    {
        Settings settings(configFilePath);
        settings.setValue(SettingsKeys::downloadConcurrency, stored);
    }
    ProductDownloader downloader(nullptr, product);
    QCOMPARE(downloader.concurrency, expected);
}

void TestProductDownloader::speedAndTimeLeftAreShown()
{
    const QByteArray big = pattern(61, 16 * 1024 * 1024);
    records = QJsonArray{server->addFile(QStringLiteral("VM100/big.bin"), big)};
    server->setActivation(records);
    server->setThrottle(64 * 1024); // about 6.5 MB/s
    ProductDownloader *downloader = makeDownloader();
    QSignalSpy statuses(downloader, &ProductDownloader::statusUpdate);
    downloader->activateProduct();
    QVERIFY(runToEnd(downloader));
    delete downloader;
    QCOMPARE(readAll(card + QStringLiteral("/VM100/big.bin")), big);
    const QRegularExpression speedLine(
        QStringLiteral("^@ \\d+ Mbps - (\\d+ hours? \\d+ minutes?| \\d+ minutes?| \\d+ seconds?) left$"));
    QStringList shown;
    for (const auto &status : std::as_const(statuses)) {
        if (status.at(1).toString().startsWith(QLatin1Char('@')))
            shown << status.at(1).toString();
    }
    QVERIFY(!shown.isEmpty());
    for (const QString &line : std::as_const(shown))
        QVERIFY2(speedLine.match(line).hasMatch(), qPrintable(line));
}

void TestProductDownloader::timeLeftText_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("1") << qint64(1) << QStringLiteral(" 1 second");
    QTest::newRow("45") << qint64(45) << QStringLiteral(" 45 seconds");
    QTest::newRow("59") << qint64(59) << QStringLiteral(" 59 seconds");
    QTest::newRow("60") << qint64(60) << QStringLiteral(" 1 minute");
    QTest::newRow("150") << qint64(150) << QStringLiteral(" 2 minutes");
    QTest::newRow("3599") << qint64(3599) << QStringLiteral(" 59 minutes");
    QTest::newRow("3600") << qint64(3600) << QStringLiteral("1 hour 0 minutes");
    QTest::newRow("3700") << qint64(3700) << QStringLiteral("1 hour 1 minutes");
    QTest::newRow("7200") << qint64(7200) << QStringLiteral("2 hours 0 minutes");
    QTest::newRow("7300") << qint64(7300) << QStringLiteral("2 hours 1 minutes");
}

void TestProductDownloader::timeLeftText()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(ProductDownloader::formatTimeLeft(seconds), text);
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.value(1) == QLatin1String("child"))
        return runChild(arguments);
    TestProductDownloader test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_productdownloader.moc"
