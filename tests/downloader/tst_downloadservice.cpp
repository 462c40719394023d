// Against the local chart service, with cards from its card maker: products
// and RQ updates land exactly as the service serves them, under its faults.
#include <QApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include "app/appglobals.h"
#include "catalogue/rqsdproduct.h"
#include "chartserviceprocess.h"
#include "download/download.h"
#include "download/productdownloader.h"
#include "downloadfixture.h"
#include "media/mikfile.h"

Q_DECLARE_METATYPE(QList<QJsonObject>)

class TestDownloadService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void productLandsUnderFault_data();
    void productLandsUnderFault();
    void damagedCompleteCardIsRepaired();
    void unsafeRecordsWriteNothing();
    void rqCardIsUpdated();
    void lostContainerIsRestoredThenUpdated();
    void unknownRqCardIsRegistered();

private:
    QString makeCard(const QString &kind, const QStringList &extra = {});
    ProductDownloader *makeDownloader(AbstractProduct *product, const QString &card);
    bool runToEnd(ProductDownloader *downloader);
    void verifyProduct(const QString &card, const QString &sku);
    QJsonObject subscription(int id);

    QTemporaryDir dataDir;
    QTemporaryDir *cards = nullptr;
    ChartServiceProcess *service = nullptr;
    QString session;
};

void TestDownloadService::initTestCase()
{
    appDataFolder = dataDir.path();
    configFilePath = dataDir.path() + QStringLiteral("/config.ini");
    Download::setWatchdogLimit(2);
}

void TestDownloadService::init()
{
    // A fresh service for every case: bindings made by one case must not
    // decide the next.
    service = new ChartServiceProcess;
    QVERIFY(service->start());
    qputenv("QUORVEL_SERVICE_URL", service->baseUrl().toUtf8());
    session = service->signIn();
    QVERIFY(!session.isEmpty());
    cards = new QTemporaryDir;
}

void TestDownloadService::cleanup()
{
    delete service;
    delete cards;
}

QString TestDownloadService::makeCard(const QString &kind, const QStringList &extra)
{
    static int count = 0;
    const QString dir = cards->path() + QStringLiteral("/card%1").arg(++count);
    if (!ChartServiceProcess::makeCard(dir, kind, extra))
        return QString();
    return dir;
}

ProductDownloader *TestDownloadService::makeDownloader(AbstractProduct *product, const QString &card)
{
    auto *downloader = new ProductDownloader(nullptr, product);
    downloader->sessionId = session;
    downloader->setMediaIdDir(card);
    return downloader;
}

bool TestDownloadService::runToEnd(ProductDownloader *downloader)
{
    QSignalSpy done(downloader, &ProductDownloader::allDone);
    connect(downloader, &ProductDownloader::errorTmp, downloader, [downloader] {
        QTimer::singleShot(0, downloader, [downloader] {
            downloader->findChild<QPushButton *>(QStringLiteral("pauseButton"))->click();
        });
    });
    return done.count() > 0 || done.wait(40000);
}

// Every file of the product, as the service serves it, is on the card.
void TestDownloadService::verifyProduct(const QString &card, const QString &sku)
{
    const QString deviceId = QString::fromUtf8(readAll(card + QStringLiteral("/ENCRYPT.TXT")));
    const QJsonObject reply = service->call(QStringLiteral("ActivateProduct"), QStringLiteral("smn"),
                                            {{QStringLiteral("device_id"), deviceId},
                                             {QStringLiteral("sku"), sku},
                                             {QStringLiteral("session_id"), session}});
    const QJsonArray files = reply.value(QStringLiteral("files")).toArray();
    QVERIFY(!files.isEmpty());
    const QString endPoint = reply.value(QStringLiteral("end_point")).toString();
    for (const QJsonValue &value : files) {
        const QJsonObject record = value.toObject();
        const QString file = record.value(QStringLiteral("file")).toString();
        const QByteArray inlineData = QByteArray::fromBase64(record.value(QStringLiteral("data")).toString().toLatin1());
        QByteArray expected = inlineData;
        if (record.value(QStringLiteral("size")).toDouble() > 0)
            expected = service->expectedBytes(endPoint + file) + inlineData;
        QVERIFY2(readAll(card + QLatin1Char('/') + file) == expected, qPrintable(file));
    }
}

QJsonObject TestDownloadService::subscription(int id)
{
    for (const QJsonValue &value : service->subscriptions()) {
        if (value.toObject().value(QStringLiteral("subscription_id")).toInt() == id)
            return value.toObject();
    }
    return QJsonObject();
}

void TestDownloadService::productLandsUnderFault_data()
{
    QTest::addColumn<QList<QJsonObject>>("faults");
    QTest::addColumn<bool>("reported"); // the user is told and resumes
    const QString files = QStringLiteral("*/VMBRE02/*");
    const auto fault = [&](const QString &kind, int count, QJsonObject extra = {}) {
        extra.insert(QStringLiteral("kind"), kind);
        extra.insert(QStringLiteral("path"), files);
        extra.insert(QStringLiteral("count"), count);
        extra.insert(QStringLiteral("method"), QStringLiteral("GET"));
        return extra;
    };
    const QJsonObject cut = fault(QStringLiteral("close_after"), 1, {{QStringLiteral("bytes"), 50000}});
    QTest::newRow("none") << QList<QJsonObject>{} << false;
    QTest::newRow("connection closed mid-file") << QList<QJsonObject>{cut} << true;
    QTest::newRow("range ignored") << QList<QJsonObject>{cut, fault(QStringLiteral("ignore_range"), -1)} << true;
    QTest::newRow("no content-range") << QList<QJsonObject>{cut, fault(QStringLiteral("omit_content_range"), -1)} << true;
    QTest::newRow("changed etag") << QList<QJsonObject>{cut, fault(QStringLiteral("wrong_etag"), 2)} << true;
    QTest::newRow("short stall")
        << QList<QJsonObject>{fault(QStringLiteral("stall"), 1, {{QStringLiteral("seconds"), 1}, {QStringLiteral("bytes"), 30000}})} << false;
    QTest::newRow("stall past the watchdog")
        << QList<QJsonObject>{fault(QStringLiteral("stall"), 1, {{QStringLiteral("seconds"), 5}, {QStringLiteral("bytes"), 30000}})} << true;
    QTest::newRow("http 500") << QList<QJsonObject>{fault(QStringLiteral("status"), 2, {{QStringLiteral("status"), 500}})} << true;
}

void TestDownloadService::productLandsUnderFault()
{
    QFETCH(QList<QJsonObject>, faults);
    QFETCH(bool, reported);
    // The card maker's velmora card names another product in its vmid, so
    // this also proves a card is taken over from another product.
    const QString card = makeCard(QStringLiteral("velmora"));
    QVERIFY(!card.isEmpty());
    for (const QJsonObject &fault : faults)
        QVERIFY(service->addFault(fault));
    TestProduct product(QJsonObject{{QStringLiteral("sku"), QStringLiteral("VM-BRE-02")},
                                    {QStringLiteral("product_id"), 1102}},
                        VelmoraRegion);
    ProductDownloader *downloader = makeDownloader(&product, card);
    QSignalSpy perm(downloader, &ProductDownloader::errorPerm);
    QSignalSpy activated(downloader, &ProductDownloader::productActivated);
    QSignalSpy errors(downloader, &ProductDownloader::errorTmp);
    downloader->activateProduct();
    QVERIFY(runToEnd(downloader));
    delete downloader;
    QVERIFY(perm.isEmpty());
    QCOMPARE(errors.count() > 0, reported);
    QCOMPARE(activated.count(), 1);
    QVERIFY(readAll(card + QStringLiteral("/vmid")).startsWith("VM-BRE-02\r\n"));
    verifyProduct(card, QStringLiteral("VM-BRE-02"));

    // Downloaded once more onto the complete card: nothing is fetched.
    QVERIFY(service->clearFaults());
    QVERIFY(service->clearRequestLog());
    ProductDownloader *again = makeDownloader(&product, card);
    again->activateProduct();
    QVERIFY(runToEnd(again));
    delete again;
    QCOMPARE(service->requestLog(QStringLiteral("*/VMBRE02/*")).size(), 0);
}

void TestDownloadService::damagedCompleteCardIsRepaired()
{
    const QString card = makeCard(QStringLiteral("blank"), {QStringLiteral("--media-id"), QStringLiteral("QDEMO-0001")});
    TestProduct product(QJsonObject{{QStringLiteral("sku"), QStringLiteral("VM-ARD-01")},
                                    {QStringLiteral("product_id"), 1101}},
                        VelmoraRegion);
    ProductDownloader *first = makeDownloader(&product, card);
    first->activateProduct();
    QVERIFY(runToEnd(first));
    delete first;

    // One byte flipped in a file of the right length: found by its SHA-1.
    QString victim;
    QDirIterator it(card + QStringLiteral("/VMARD01"), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (QFileInfo(path).size() > 1000)
            victim = path;
    }
    QVERIFY(!victim.isEmpty());
    QByteArray bytes = readAll(victim);
    bytes[500] = char(bytes[500] ^ 0x01);
    writeFile(victim, bytes);

    QVERIFY(service->clearRequestLog());
    ProductDownloader *again = makeDownloader(&product, card);
    again->activateProduct();
    QVERIFY(runToEnd(again));
    delete again;
    verifyProduct(card, QStringLiteral("VM-ARD-01"));
    QCOMPARE(service->requestLog(QStringLiteral("*/VMARD01/*")).size(), 1);
}

void TestDownloadService::unsafeRecordsWriteNothing()
{
    const QString card = makeCard(QStringLiteral("velmora"));
    QVERIFY(service->addFault({{QStringLiteral("kind"), QStringLiteral("unsafe_paths")}, {QStringLiteral("count"), -1}}));
    const auto before = snapshot(cards->path());
    TestProduct product(QJsonObject{{QStringLiteral("sku"), QStringLiteral("VM-BRE-02")}}, VelmoraRegion);
    ProductDownloader *downloader = makeDownloader(&product, card);
    QSignalSpy perm(downloader, &ProductDownloader::errorPerm);
    downloader->activateProduct();
    QVERIFY(perm.wait(10000));
    QTest::qWait(300);
    QCOMPARE(snapshot(cards->path()), before);
    QCOMPARE(service->requestLog(QStringLiteral("*/VMBRE02/*")).size(), 0);
    delete downloader;
}

namespace {

// The card after an update: the service's header, finished, and the chain
// the service keeps for the card behind it.
void verifyRqCard(ChartServiceProcess *service, const QString &kimPath, const QByteArray &chain, const QString &chartName)
{
    const QByteArray kim = readAll(kimPath);
    QCOMPARE(kim.mid(352), chain);
    const quint64 flags = qFromLittleEndian<quint64>(kim.constData() + 72);
    QCOMPARE(flags & 0xF80, quint64(0x80 | 0x100 | 0x800));
    const QByteArray header = service->callRaw(QStringLiteral("HeaderUpdate/") + chartName, QStringLiteral("smn"), {});
    QCOMPARE(kim.mid(156, 4), header.mid(156, 4));
    QCOMPARE(kim.mid(244, 4), header.mid(244, 4));
    QCOMPARE(kim.mid(344, 4), header.mid(344, 4));
    QCOMPARE(kim.mid(160, 8), header.mid(160, 8));
    QCOMPARE(QCryptographicHash::hash(kim.mid(352), QCryptographicHash::Sha1), kim.mid(288, 20));

    const QJsonObject segments = service->call(QStringLiteral("GetSegments/") + chartName, QStringLiteral("smn"), {});
    const QString endPoint = segments.value(QStringLiteral("end_point")).toString();
    const QString folder = QFileInfo(kimPath).absolutePath();
    for (const QJsonValue &value : segments.value(QStringLiteral("files")).toArray()) {
        const QString file = value.toObject().value(QStringLiteral("file")).toString();
        QVERIFY2(readAll(folder + QLatin1Char('/') + file) == service->expectedBytes(endPoint + file), qPrintable(file));
    }
}

QJsonObject rqProduct(int id, const QString &sku, int build, int code)
{
    return QJsonObject{{QStringLiteral("product_id"), id},
                       {QStringLiteral("sku"), sku},
                       {QStringLiteral("build_number"), build},
                       {QStringLiteral("build_code"), code}};
}

} // namespace

void TestDownloadService::rqCardIsUpdated()
{
    const QString card = makeCard(QStringLiteral("rq"));
    QVERIFY(!card.isEmpty());
    QVERIFY(service->addFault({{QStringLiteral("kind"), QStringLiteral("close_after")},
                               {QStringLiteral("path"), QStringLiteral("*.k02")},
                               {QStringLiteral("bytes"), 40000}}));
    const QString kimPath = card + QStringLiteral("/R004321_1.kim");
    Mik::MikFile container(kimPath);
    RqSdProduct product(rqProduct(3101, QStringLiteral("  4321-1"), 5002, 27123));
    ProductDownloader *downloader = makeDownloader(&product, card);
    QSignalSpy perm(downloader, &ProductDownloader::errorPerm);
    downloader->updateRQ(&container);
    QVERIFY(runToEnd(downloader));
    delete downloader;
    QVERIFY(perm.isEmpty());
    const QByteArray chain = QByteArray::fromBase64(subscription(9021).value(QStringLiteral("drm")).toString().toLatin1());
    QVERIFY(!chain.isEmpty());
    verifyRqCard(service, kimPath, chain, QStringLiteral("  4321-1"));
}

void TestDownloadService::lostContainerIsRestoredThenUpdated()
{
    const QString card = makeCard(QStringLiteral("blank"), {QStringLiteral("--media-id"), QStringLiteral("QDEMO-RQ-LOST")});
    const QByteArray drm = QByteArray::fromBase64(subscription(9023).value(QStringLiteral("drm")).toString().toLatin1());
    QVERIFY(!drm.isEmpty());
    RqSdProduct product(rqProduct(3103, QStringLiteral("  7788-3"), 7010, 31005));
    ProductDownloader *restorer = makeDownloader(&product, card);
    QSignalSpy restored(restorer, &ProductDownloader::mikRestored);
    restorer->restoreRQ(product.sku, drm);
    QVERIFY(restored.wait(10000));
    delete restorer;

    Mik::MikFile container(card + QStringLiteral("/  7788-3.kim"));
    QVERIFY(container.flags() & Mik::MikFile::FlagUpdating);
    ProductDownloader *downloader = makeDownloader(&product, card);
    downloader->updateRQ(&container);
    QVERIFY(runToEnd(downloader));
    delete downloader;
    QDir dir(card);
    const QStringList kims = dir.entryList({QStringLiteral("*.kim")});
    QCOMPARE(kims.size(), 1);
    verifyRqCard(service, card + QLatin1Char('/') + kims.first(), drm, QStringLiteral("  7788-3"));
}

void TestDownloadService::unknownRqCardIsRegistered()
{
    const QString card = makeCard(QStringLiteral("rq"), {QStringLiteral("--sku"), QStringLiteral("123456-2"),
                                                         QStringLiteral("--media-id"), QStringLiteral("QNEW-RQ-7")});
    QVERIFY(!card.isEmpty());
    const QStringList kims = QDir(card).entryList({QStringLiteral("*.kim")});
    QCOMPARE(kims.size(), 1);
    Mik::MikFile container(card + QLatin1Char('/') + kims.first());
    RqSdProduct product(rqProduct(3102, QStringLiteral("123456-2"), 6100, 0));
    ProductDownloader *downloader = makeDownloader(&product, card);
    QSignalSpy perm(downloader, &ProductDownloader::errorPerm);
    downloader->registerRQ(&container);
    QTRY_VERIFY_WITH_TIMEOUT(subscription(9022).value(QStringLiteral("media_id")).toString().trimmed()
                                 == QLatin1String("QNEW-RQ-7"),
                             10000);
    const QJsonArray sent = service->requestLog(QStringLiteral("*ActivateProduct"));
    QCOMPARE(sent.size(), 1);
    const QString drm = sent.first().toObject().value(QStringLiteral("json")).toObject().value(QStringLiteral("drm")).toString();
    QVERIFY(!drm.isEmpty());
    QCOMPARE(subscription(9022).value(QStringLiteral("drm")).toString(), drm);
    QVERIFY(perm.isEmpty());
    delete downloader;
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    TestDownloadService test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_downloadservice.moc"
