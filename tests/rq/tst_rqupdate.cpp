// An RQ card's update must end with the service's header, the card's own
// chart blocks and the service's segments, however it is interrupted, and a
// header it must not take leaves the card exactly as it was.
#include <QApplication>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include "app/appglobals.h"
#include "catalogue/rqsdproduct.h"
#include "download/download.h"
#include "download/productdownloader.h"
#include "downloadfixture.h"
#include "faultyfileserver.h"
#include "media/mikfile.h"

namespace {

const QString chartSku = QStringLiteral("  1234-5"); // the chart name of skuNumber 1234, skuSuffix 5
constexpr quint32 oldBuild = 100;
constexpr quint32 newBuild = 101;
constexpr quint32 oldVersion = 7;
constexpr quint32 newVersion = 8;

constexpr quint64 flagFinalized = 0x80;
constexpr quint64 flagDigest = 0x100;
constexpr quint64 flagUpdating = 0x400;
constexpr quint64 flagQvBuild = 0x800;

void put64(QByteArray &bytes, int offset, quint64 value)
{
    qToLittleEndian<quint64>(value, bytes.data() + offset);
}

void put32(QByteArray &bytes, int offset, quint32 value)
{
    qToLittleEndian<quint32>(value, bytes.data() + offset);
}

quint64 get64(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<quint64>(bytes.constData() + offset);
}

// A container header laid out field by field; the ranges this tool does not
// interpret get recognisable bytes, so carrying them is checked too.
QByteArray header(quint32 skuNumber, quint32 build, quint32 version, quint64 flags, quint32 opaqueSeed)
{
    QByteArray h = pattern(opaqueSeed, 352);
    memcpy(h.data(), "romnirB\0", 8);
    put64(h, 8, 352);
    put64(h, 24, 1024 * 1024);
    put64(h, 72, flags);
    put32(h, 156, build);
    put32(h, 160, 5);
    put32(h, 164, skuNumber);
    put64(h, 168, 352);
    put32(h, 244, version);
    put64(h, 280, 0);
    memset(h.data() + 288, 0, 20);
    put32(h, 344, version);
    return h;
}

// The card's chart blocks, already laid out as they follow a 352-byte
// header: a required block, then a data block with an extension and a
// trailer that ends the chain.
QByteArray chartBlocks()
{
    QByteArray first(16, '\0');
    qToLittleEndian<quint16>(0x0502, first.data());
    first[2] = 0;
    qToLittleEndian<qint32>(40, first.data() + 4);
    put64(first, 8, 352 + 16 + 40);
    first += pattern(71, 40);
    QByteArray second(32, '\0');
    qToLittleEndian<quint16>(3, second.data());
    second[2] = char(0x02 | 0x20);
    qToLittleEndian<qint32>(30, second.data() + 4);
    put64(second, 8, 0);
    memcpy(second.data() + 16, pattern(72, 16).constData(), 16);
    second += pattern(73, 30) + pattern(74, 20);
    return first + second;
}

QByteArray finalizedKim(const QByteArray &head, const QByteArray &blocks)
{
    QByteArray kim = head + blocks;
    put64(kim, 280, quint64(kim.size()));
    const QByteArray digest = QCryptographicHash::hash(blocks, QCryptographicHash::Sha1);
    memcpy(kim.data() + 288, digest.constData(), 20);
    return kim;
}

void setUpConfig(const QString &folder)
{
    appDataFolder = folder;
    configFilePath = folder + QStringLiteral("/config.ini");
}

QJsonObject productObject(const QString &sku)
{
    return QJsonObject{{QStringLiteral("sku"), sku},
                       {QStringLiteral("name"), QStringLiteral("RQ Lakes")},
                       {QStringLiteral("product_id"), 30},
                       {QStringLiteral("build_number"), int(newBuild)},
                       {QStringLiteral("build_code"), int(newVersion)}};
}

} // namespace

class TestRqUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void olderBuildIsUpdated_data();
    void olderBuildIsUpdated();
    void interruptedUpdateResumes_data();
    void interruptedUpdateResumes();
    void missingContainerIsRestoredThenUpdated();
    void unsafeSkuIsNotRestored();
    void failedRestorationIsReported();
    void unknownCardIsRegistered();
    void rejectedHeaderLeavesCardUntouched_data();
    void rejectedHeaderLeavesCardUntouched();

private:
    void makeCard(bool withContainer = true, const QString &base = QStringLiteral("RQCHART"));
    void verifyUpdatedCard();
    ProductDownloader *makeDownloader(const QString &sku = chartSku);
    bool runToEnd(ProductDownloader *downloader);

    QTemporaryDir dataDir;
    FaultyFileServer *server = nullptr;
    QTemporaryDir *root = nullptr;
    QString card;
    RqSdProduct *product = nullptr;
    QByteArray serviceHeader;
    QByteArray cardKim;
    QByteArray newK01;
    QByteArray newK02;
    Mik::MikFile *container = nullptr;
};

void TestRqUpdate::initTestCase()
{
    setUpConfig(dataDir.path());
    Download::setWatchdogLimit(2);
}

void TestRqUpdate::init()
{
    server = new FaultyFileServer;
    QVERIFY(server->listen());
    qputenv("QUORVEL_SERVICE_URL", server->baseUrl().toUtf8());
    root = new QTemporaryDir;
    card = root->path() + QStringLiteral("/card");
    product = new RqSdProduct(productObject(chartSku));

    serviceHeader = header(1234, newBuild, newVersion, flagQvBuild, 9);
    server->setRawReply("/api/smn/HeaderUpdate/%20%201234-5", serviceHeader);
    newK01 = pattern(81, 300 * 1024);
    newK02 = pattern(82, 200 * 1024);
    server->setSegments(chartSku, QJsonArray{server->addFile(QStringLiteral("RQCHART.k01"), newK01),
                                             server->addFile(QStringLiteral("RQCHART.k02"), newK02)});
}

void TestRqUpdate::cleanup()
{
    delete container;
    container = nullptr;
    delete product;
    delete server;
    delete root;
}

// An older build on the card: k01 complete but of the old build, k02 short.
void TestRqUpdate::makeCard(bool withContainer, const QString &base)
{
    writeFile(card + QStringLiteral("/ENCRYPT.TXT"), "A-----Trelmarkholding---media---001-----RQCARD-----Trelmarkholding---media---001-----B");
    cardKim = finalizedKim(header(1234, oldBuild, oldVersion, flagQvBuild | flagFinalized | flagDigest, 3), chartBlocks());
    if (withContainer) {
        writeFile(card + QLatin1Char('/') + base + QStringLiteral(".kim"), cardKim);
        writeFile(card + QLatin1Char('/') + base + QStringLiteral(".k01"), pattern(91, 300 * 1024));
        writeFile(card + QLatin1Char('/') + base + QStringLiteral(".k02"), pattern(92, 100 * 1024));
        container = new Mik::MikFile(card + QLatin1Char('/') + base + QStringLiteral(".kim"));
    }
}

ProductDownloader *TestRqUpdate::makeDownloader(const QString &)
{
    auto *downloader = new ProductDownloader(nullptr, product);
    downloader->sessionId = QStringLiteral("s");
    downloader->setMediaIdDir(card);
    return downloader;
}

bool TestRqUpdate::runToEnd(ProductDownloader *downloader)
{
    QSignalSpy done(downloader, &ProductDownloader::allDone);
    connect(downloader, &ProductDownloader::errorTmp, downloader, [downloader] {
        QTimer::singleShot(0, downloader, [downloader] {
            downloader->findChild<QPushButton *>(QStringLiteral("pauseButton"))->click();
        });
    });
    return done.count() > 0 || done.wait(30000);
}

void TestRqUpdate::verifyUpdatedCard()
{
    const QByteArray kim = readAll(card + QStringLiteral("/RQCHART.kim"));
    QCOMPARE(kim.size(), 352 + chartBlocks().size());
    QCOMPARE(kim.mid(352), chartBlocks());
    const quint64 flags = get64(kim, 72);
    QCOMPARE(flags & (flagFinalized | flagDigest | flagUpdating | flagQvBuild), flagFinalized | flagDigest | flagQvBuild);
    QCOMPARE(get64(kim, 280), quint64(kim.size()));
    QCOMPARE(kim.mid(288, 20), QCryptographicHash::hash(chartBlocks(), QCryptographicHash::Sha1));
    // Everything else is the service's header as it was sent.
    QByteArray expected = serviceHeader;
    QByteArray actual = kim.left(352);
    for (QByteArray *h : {&expected, &actual}) {
        put64(*h, 72, 0);
        put64(*h, 280, 0);
        memset(h->data() + 288, 0, 20);
    }
    QCOMPARE(actual, expected);
    QCOMPARE(readAll(card + QStringLiteral("/RQCHART.k01")), newK01);
    QCOMPARE(readAll(card + QStringLiteral("/RQCHART.k02")), newK02);
}

void TestRqUpdate::olderBuildIsUpdated_data()
{
    QTest::addColumn<QString>("base");
    QTest::newRow("same file names") << QStringLiteral("RQCHART");
    // The card's files carry another name than the service's segments:
    // they take the service's names, and their old bytes are not resumed.
    QTest::newRow("other file names") << QStringLiteral("OLDNAME");
}

void TestRqUpdate::olderBuildIsUpdated()
{
    QFETCH(QString, base);
    makeCard(true, base);
    ProductDownloader *downloader = makeDownloader();
    QSignalSpy stages(downloader, &ProductDownloader::stageUpdate);
    QSignalSpy chartStates(downloader, &ProductDownloader::chartUpdateStatusChange);
    QSignalSpy perm(downloader, &ProductDownloader::errorPerm);
    downloader->updateRQ(container);
    QVERIFY(runToEnd(downloader));
    delete downloader;
    QVERIFY(perm.isEmpty());
    verifyUpdatedCard();

    QStringList stageTexts;
    for (const auto &stage : std::as_const(stages))
        stageTexts << stage.at(1).toString();
    QCOMPARE(stageTexts.mid(0, 4), (QStringList{QStringLiteral("Initializing..."), QStringLiteral("Backing up"),
                                                QStringLiteral("Validating Data"), QStringLiteral("Downloading Data")}));
    QCOMPARE(chartStates.first().at(0).value<AbstractProduct::ChartUpdateStatus>(), AbstractProduct::UpdateInProgress);
    QCOMPARE(chartStates.last().at(0).value<AbstractProduct::ChartUpdateStatus>(), AbstractProduct::UpToDateSameBuild);

    // The chart name's leading spaces reach the service intact.
    QList<QByteArray> posts;
    for (const auto &request : std::as_const(server->requests))
        if (request.method == "POST")
            posts << request.path;
    QVERIFY(posts.contains("/api/smn/HeaderUpdate/%20%201234-5"));
    QVERIFY(posts.contains("/api/smn/GetSegments/%20%201234-5"));
    QVERIFY(posts.contains("/api/smn/ActivateProduct"));

    // The container as it was before the update is kept in the data folder.
    QCOMPARE(readAll(appDataFolder + QStringLiteral("/1234-5-100-7/") + base + QStringLiteral(".kim")), cardKim);
    QCOMPARE(QDir(card).entryList(QDir::Files, QDir::Name),
             (QStringList{QStringLiteral("ENCRYPT.TXT"), QStringLiteral("RQCHART.k01"), QStringLiteral("RQCHART.k02"),
                          QStringLiteral("RQCHART.kim")}));
    for (const auto &request : std::as_const(server->requests))
        QVERIFY(!request.headers.contains("range"));
}

void TestRqUpdate::interruptedUpdateResumes_data()
{
    QTest::addColumn<QString>("interruption");
    QTest::newRow("connection closed") << QStringLiteral("closed");
    QTest::newRow("card removed") << QStringLiteral("removed");
    QTest::newRow("process killed") << QStringLiteral("killed");
}

static int runChild(const QStringList &arguments)
{
    QTemporaryDir data;
    setUpConfig(data.path());
    qputenv("QUORVEL_SERVICE_URL", arguments.value(2).toUtf8());
    RqSdProduct childProduct(productObject(chartSku));
    ProductDownloader downloader(nullptr, &childProduct);
    downloader.setMediaIdDir(arguments.value(3));
    Mik::MikFile kim(arguments.value(3) + QStringLiteral("/RQCHART.kim"));
    bool ended = false;
    QObject::connect(&downloader, &ProductDownloader::allDone, [&] { ended = true; });
    downloader.updateRQ(&kim);
    while (!ended)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    return 0;
}

void TestRqUpdate::interruptedUpdateResumes()
{
    QFETCH(QString, interruption);
    makeCard();
    if (interruption == QLatin1String("closed")) {
        FaultyFileServer::Fault fault;
        fault.closeAfter = 100 * 1024;
        server->setFault(QStringLiteral("RQCHART.k01"), fault);
        ProductDownloader *downloader = makeDownloader();
        QSignalSpy errors(downloader, &ProductDownloader::errorTmp);
        downloader->updateRQ(container);
        QVERIFY(runToEnd(downloader));
        QCOMPARE(errors.count(), 1);
        delete downloader;
        verifyUpdatedCard();
        return;
    }

    server->setThrottle(8 * 1024);
    if (interruption == QLatin1String("removed")) {
        ProductDownloader *downloader = makeDownloader();
        QSignalSpy errors(downloader, &ProductDownloader::errorTmp);
        downloader->updateRQ(container);
        QTRY_VERIFY_WITH_TIMEOUT(downloader->doneBytes > 120 * 1024, 20000);
        const QString pulled = root->path() + QStringLiteral("/pulled");
        QVERIFY(QDir().rename(card, pulled));
        QVERIFY(errors.wait(20000));
        QVERIFY(errors.first().at(1).toString().contains(QStringLiteral("The SD card was removed")));
        QVERIFY(QDir().rename(pulled, card));
        server->setThrottle(0);
        downloader->findChild<QPushButton *>(QStringLiteral("pauseButton"))->click();
        QVERIFY(runToEnd(downloader));
        delete downloader;
        verifyUpdatedCard();
        return;
    }

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("child"), server->baseUrl(), card});
    QVERIFY(child.waitForStarted());
    // Killed once the new header is on the card and k01, fetched again from
    // its first byte, is part-way.
    const auto midway = [this] {
        const qint64 k01 = QFileInfo(card + QStringLiteral("/RQCHART.k01")).size();
        return (get64(readAll(card + QStringLiteral("/RQCHART.kim")), 72) & flagUpdating) && k01 > 20 * 1024
               && k01 < 250 * 1024;
    };
    QTRY_VERIFY_WITH_TIMEOUT(midway(), 20000);
    child.kill();
    QVERIFY(child.waitForFinished());
    server->setThrottle(0);

    // As the window does after a scan: the card reads "Update In Progress",
    // and "Resume" runs the update again on the container as it now is.
    delete container;
    container = new Mik::MikFile(card + QStringLiteral("/RQCHART.kim"));
    QVERIFY(container->flags() & flagUpdating);
    QCOMPARE(container->buildNumber(), newBuild);
    server->requests.clear();
    ProductDownloader *downloader = makeDownloader();
    downloader->updateRQ(container);
    QVERIFY(runToEnd(downloader));
    delete downloader;
    verifyUpdatedCard();
    // The part of k01 already on the card was kept.
    bool resumed = false;
    for (const auto &request : std::as_const(server->requests))
        resumed |= request.path.endsWith("RQCHART.k01") && request.headers.contains("range");
    QVERIFY(resumed);
}

void TestRqUpdate::missingContainerIsRestoredThenUpdated()
{
    makeCard(false);
    server->setRawReply("/api/smn/HeaderUpdate/%20%201234-5", serviceHeader);
    ProductDownloader *restorer = makeDownloader();
    QSignalSpy restored(restorer, &ProductDownloader::mikRestored);
    restorer->restoreRQ(chartSku, chartBlocks());
    QVERIFY(restored.wait(10000));
    delete restorer;

    const QString kimPath = card + QLatin1Char('/') + chartSku + QStringLiteral(".kim");
    const QByteArray kim = readAll(kimPath);
    QCOMPARE(kim.mid(352), chartBlocks());
    QVERIFY(get64(kim, 72) & flagUpdating);

    container = new Mik::MikFile(kimPath);
    ProductDownloader *downloader = makeDownloader();
    downloader->updateRQ(container);
    QVERIFY(runToEnd(downloader));
    delete downloader;
    // The container took the segments' base name.
    QVERIFY(!QFile::exists(kimPath));
    verifyUpdatedCard();
}

void TestRqUpdate::unsafeSkuIsNotRestored()
{
    makeCard(false);
    delete product;
    product = new RqSdProduct(productObject(QStringLiteral("../escaped")));
    server->setRawReply("/api/smn/HeaderUpdate/../escaped", serviceHeader);
    server->setRawReply("/api/smn/escaped", serviceHeader);
    const auto before = snapshot(root->path());
    ProductDownloader *restorer = makeDownloader();
    QSignalSpy restored(restorer, &ProductDownloader::mikRestored);
    QSignalSpy perm(restorer, &ProductDownloader::errorPerm);
    restorer->restoreRQ(QStringLiteral("../escaped"), chartBlocks());
    QVERIFY(perm.wait(10000));
    QCOMPARE(restored.count(), 0);
    QCOMPARE(snapshot(root->path()), before);
    delete restorer;
}

void TestRqUpdate::failedRestorationIsReported()
{
    makeCard(false);
    server->setRawReply("/api/smn/HeaderUpdate/%20%201234-5", R"({"message": "No chart for this card"})", 404);
    const auto before = snapshot(root->path());
    ProductDownloader *restorer = makeDownloader();
    QSignalSpy perm(restorer, &ProductDownloader::errorPerm);
    QSignalSpy restored(restorer, &ProductDownloader::mikRestored);
    restorer->restoreRQ(chartSku, chartBlocks());
    QTRY_COMPARE_WITH_TIMEOUT(perm.count(), 2, 10000);
    QCOMPARE(perm.at(0).at(1).toString(), QStringLiteral("Network Error"));
    QCOMPARE(perm.at(1).at(1).toString(), QStringLiteral("No chart for this card"));
    QCOMPARE(restored.count(), 0);
    QCOMPARE(snapshot(root->path()), before);
    delete restorer;
}

void TestRqUpdate::unknownCardIsRegistered()
{
    makeCard();
    server->setActivation(QJsonArray());
    ProductDownloader *downloader = makeDownloader();
    QSignalSpy perm(downloader, &ProductDownloader::errorPerm);
    downloader->registerRQ(container);
    QTRY_VERIFY_WITH_TIMEOUT(!server->requests.isEmpty(), 10000);
    const auto request = server->requests.first();
    QCOMPARE(request.path, QByteArray("/api/smn/ActivateProduct"));
    const QJsonObject body = QJsonDocument::fromJson(request.body).object();
    QCOMPARE(QByteArray::fromBase64(body.value(QStringLiteral("drm")).toString().toLatin1()), chartBlocks());
    QCOMPARE(body.value(QStringLiteral("sku")).toString(), chartSku);
    QVERIFY(body.value(QStringLiteral("device_id")).toString().contains(QStringLiteral("RQCARD")));
    QTest::qWait(200);
    QVERIFY(perm.isEmpty());
    QCOMPARE(readAll(card + QStringLiteral("/RQCHART.kim")), cardKim);
    delete downloader;
}

void TestRqUpdate::rejectedHeaderLeavesCardUntouched_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("message");
    const QString refused = QStringLiteral("Error updating chart");
    QTest::newRow("another chart") << header(4321, newBuild, newVersion, flagQvBuild, 9) << refused;
    QTest::newRow("not built for the service") << header(1234, newBuild, newVersion, 0, 9) << refused;
    QTest::newRow("older build") << header(1234, oldBuild - 1, newVersion, flagQvBuild, 9) << refused;
    QTest::newRow("newer build, older version") << header(1234, newBuild, oldVersion - 1, flagQvBuild, 9) << refused;
    QTest::newRow("body shorter than stated") << header(1234, newBuild, newVersion, flagQvBuild, 9).left(200)
                                              << QStringLiteral("damaged");
    QByteArray tooLong = header(1234, newBuild, newVersion, flagQvBuild, 9) + pattern(5, 100);
    put64(tooLong, 8, 452);
    QTest::newRow("stated length above the header") << tooLong << QStringLiteral("damaged");
    QTest::newRow("a few bytes") << QByteArray("oops") << QStringLiteral("damaged");
}

void TestRqUpdate::rejectedHeaderLeavesCardUntouched()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, message);
    makeCard();
    server->setRawReply("/api/smn/HeaderUpdate/%20%201234-5", reply);
    const auto before = snapshot(card);
    ProductDownloader *downloader = makeDownloader();
    QSignalSpy perm(downloader, &ProductDownloader::errorPerm);
    downloader->updateRQ(container);
    QVERIFY(perm.wait(10000));
    QVERIFY2(perm.first().at(1).toString().contains(message), qPrintable(perm.first().at(1).toString()));
    QCOMPARE(perm.first().at(0).toString(), chartSku);
    QTest::qWait(200);
    for (const auto &request : std::as_const(server->requests))
        QVERIFY(!request.path.contains("GetSegments"));
    QCOMPARE(snapshot(card), before);
    delete downloader;
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.value(1) == QLatin1String("child"))
        return runChild(arguments);
    TestRqUpdate test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_rqupdate.moc"
