// A wrong status sends a purchase to the wrong card. Also the chart state of
// RQ cards, and the details and pictures fetched from the service.
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "base/startup.h"
#include "widgets/rqsdproduct.h"
#include "widgets/talvoproduct.h"
#include "widgets/velmoraproduct.h"
#include "chartserviceprocess.h"
#include "card/mikfile.h"
#include "testkit.h"

namespace {

// The device id of a purchase bound to this media id; "" unbound, "@" damaged.
QString deviceFor(const QString &mediaId)
{
    if (mediaId.startsWith(QLatin1Char('@')))
        return QStringLiteral("x") + QString::fromLatin1(Kit::mediaSeparator) + QStringLiteral("y");
    return mediaId.isEmpty() ? QString() : QString::fromUtf8(Kit::mediaText(mediaId.toUtf8()));
}

template<typename Product> void addPurchases(Product &product, const QStringList &boundTo)
{
    int id = 100;
    for (const QString &mediaId : boundTo)
        product.insertSubscription(id++, QJsonObject { { "device_id", deviceFor(mediaId) } });
}

} // namespace

class TestProducts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void subscriptionStatus_data();
    void subscriptionStatus();
    void subscriptionCount_data();
    void subscriptionCount();
    void chartStatus_data();
    void chartStatus();
    void buildReference_data();
    void buildReference();

    void details_data();
    void details();
    void failedRepliesAreHandled();

private:
    QJsonObject catalogueProduct(const QString &line, int id) const
    {
        return catalogue.value(line).toObject().value(QString::number(id)).toObject();
    }

    ChartServiceProcess service;
    QJsonObject catalogue;
};

void TestProducts::initTestCase()
{
    prepareStartup();
    QVERIFY(service.start());
    qputenv("QUORVEL_SERVICE_URL", service.baseUrl().toUtf8());
    catalogue = service.call(QStringLiteral("GetAllProducts"), QStringLiteral("smn"),
        QJsonObject { { "session_id", service.signIn() } });
    QVERIFY(!catalogue.isEmpty());
}

void TestProducts::subscriptionStatus_data()
{
    QTest::addColumn<QStringList>("boundTo"); // one entry per purchase: media id, "" unbound
    QTest::addColumn<QString>("cardMediaId");
    QTest::addColumn<int>("cardType");
    QTest::addColumn<QString>("skuOnCard");
    QTest::addColumn<int>("status");

    const int velmora = VelmoraRegion;
    const int available = AbstractProduct::StatusAvailable, replace = AbstractProduct::StatusReplace,
              downloaded = AbstractProduct::StatusDownloaded, redownload = AbstractProduct::StatusRedownload,
              incompatible = AbstractProduct::StatusIncompatible;
    QTest::newRow("no purchase") << QStringList() << "" << -1 << "" << downloaded;
    QTest::newRow("no card, unbound") << QStringList { "" } << "" << -1 << "" << available;
    QTest::newRow("empty card, unbound") << QStringList { "" } << "CARD" << -1 << "" << available;
    QTest::newRow("empty card, here") << QStringList { "CARD" } << "CARD" << -1 << "" << redownload;
    QTest::newRow("empty card, elsewhere") << QStringList { "OTHER" } << "CARD" << -1 << "" << downloaded;
    QTest::newRow("empty, elsewhere, unbound")
        << QStringList { "OTHER", "" } << "CARD" << -1 << "" << available;
    QTest::newRow("empty, unbound, here") << QStringList { "", "CARD" } << "CARD" << -1 << "" << redownload;
    QTest::newRow("media id case") << QStringList { "card" } << "CARD" << -1 << "" << downloaded;
    QTest::newRow("two-field device id") << QStringList { "@" } << "CARD" << -1 << "" << available;
    QTest::newRow("this, unbound") << QStringList { "" } << "CARD" << velmora << "VM-1" << downloaded;
    QTest::newRow("this, here") << QStringList { "OTHER", "CARD", "" } << "CARD" << velmora << "VM-1"
                                << redownload;
    QTest::newRow("other, unbound") << QStringList { "" } << "CARD" << velmora << "VM-2" << replace;
    QTest::newRow("other, here") << QStringList { "CARD" } << "CARD" << velmora << "VM-2" << replace;
    QTest::newRow("other, elsewhere") << QStringList { "OTHER" } << "CARD" << velmora << "VM-2" << downloaded;
    QTest::newRow("item number case") << QStringList { "" } << "CARD" << velmora << "vm-1" << replace;
    QTest::newRow("RQ item number") << QStringList { "CARD", "" } << "CARD" << int(RqSd) << "  1234-5"
                                    << incompatible;
    QTest::newRow("other line") << QStringList() << "CARD" << int(Talvos) << "TV-1" << incompatible;
    QTest::newRow("other line, no item number")
        << QStringList { "" } << "CARD" << int(Talvos) << "" << available;
}

void TestProducts::subscriptionStatus()
{
    QFETCH(QStringList, boundTo);
    QFETCH(QString, cardMediaId);
    QFETCH(QString, skuOnCard);
    QFETCH(int, cardType);

    VelmoraProduct product(QJsonObject { { "sku", "VM-1" } });
    product.productType = VelmoraRegion;
    addPurchases(product, boundTo);
    QTEST(product.currentSubscriptionStatus(cardMediaId, skuOnCard, ProductTypeEnum(cardType)), "status");
}

void TestProducts::subscriptionCount_data()
{
    QTest::addColumn<QStringList>("boundTo");
    QTest::addColumn<QString>("cardMediaId");
    QTest::addColumn<int>("available"); // count under "Available", -1 when absent
    QTest::addColumn<int>("downloaded"); // count under "Downloaded", -1 when absent
    QTest::addColumn<QString>("skuOnCard");

    QTest::newRow("no card") << QStringList { "", "", "OTHER" } << "" << 2 << 1 << "";

    QTest::newRow("other on card") << QStringList { "CARD", "" } << "CARD" << 1 << 1 << "VM-2";
    QTest::newRow("this: elsewhere is usable")
        << QStringList { "", "CARD", "OTHER" } << "CARD" << 2 << 1 << "VM-1";
    QTest::newRow("this, all here") << QStringList { "CARD", "CARD" } << "CARD" << -1 << 2 << "VM-1";
}

void TestProducts::subscriptionCount()
{
    QFETCH(QStringList, boundTo);
    QFETCH(QString, cardMediaId);
    QFETCH(QString, skuOnCard);

    TalvoProduct product(QJsonObject { { "sku", "VM-1" } });
    addPurchases(product, boundTo);
    const QMap<int, int> counts = product.currentSubscriptionCount(cardMediaId, skuOnCard);
    QTEST(counts.value(AbstractProduct::StatusAvailable, -1), "available");
    QTEST(counts.value(AbstractProduct::StatusDownloaded, -1), "downloaded");
}

void TestProducts::chartStatus_data()
{
    QTest::addColumn<quint32>("cardBuild");
    QTest::addColumn<quint32>("cardCode");
    QTest::addColumn<quint64>("cardFlags");
    QTest::addColumn<int>("serviceBuild");
    QTest::addColumn<int>("serviceCode");
    QTest::addColumn<int>("status");

    const quint64 plain = 0x800;
    const int update = AbstractProduct::UpdateAvailable,
              sameBuildUpdate = AbstractProduct::UpdateAvailableSameBuild,
              upToDate = AbstractProduct::UpToDate, sameBuild = AbstractProduct::UpToDateSameBuild;
    QTest::newRow("service newer") << 5000u << 0u << plain << 5001 << 0 << update;
    QTest::newRow("card newer") << 5002u << 3u << plain << 5001 << 9 << upToDate;
    QTest::newRow("same build, card without code") << 5000u << 0u << plain << 5000 << 9 << upToDate;
    QTest::newRow("same build, same code") << 5000u << 7u << plain << 5000 << 7 << sameBuild;
    QTest::newRow("same build, service code higher") << 5000u << 7u << plain << 5000 << 9 << sameBuildUpdate;
    QTest::newRow("same build, card code higher") << 5000u << 9u << plain << 5000 << 7 << upToDate;
    QTest::newRow("update running") << 5000u << 7u << (plain | 0x400) << 9000 << 9
                                    << int(AbstractProduct::UpdateInProgress);
    // The card stores unsigned numbers; a service number of -1 is the
    // largest build there is.
    QTest::newRow("unsigned build") << 0x80000000u << 0u << plain << -1 << 0 << update;
    QTest::newRow("unsigned code") << 5000u << 0x80000000u << plain << 5000 << -1 << sameBuildUpdate;
}

void TestProducts::chartStatus()
{
    QFETCH(quint32, cardBuild);
    QFETCH(quint32, cardCode);
    QFETCH(quint64, cardFlags);
    QFETCH(int, serviceBuild);
    QFETCH(int, serviceCode);

    QTemporaryDir card;
    Kit::Header h;
    h.buildNumber = cardBuild;
    h.buildCode = cardCode;
    h.flags = cardFlags;
    Mik::MikFile container(Kit::writeContainer(card.path(), h.bytes()));
    RqSdProduct product(QJsonObject {
        { "sku", "  1234-5" }, { "build_number", serviceBuild }, { "build_code", serviceCode } });
    QTEST(int(product.getStatus(container)), "status");
}

void TestProducts::buildReference_data()
{
    QTest::addColumn<int>("build");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("reference");

    QTest::newRow("build and code") << 12345 << 27123 << "12.345 (ABB123)";
    QTest::newRow("small build") << 12 << 0 << "0.012";
    QTest::newRow("negative code ignored") << 5000 << -4 << "5.000";
    QTest::newRow("letters wrap at 26")
        << 1000 << 26 * 676000 + 25 * 26000 + 25 * 1000 + 999 << "1.000 (AZZ999)";
    QTest::newRow("largest") << 2147483647 << 2147483647 << "2147483.647 (ETN647)";
    // A card's header numbers read as signed, like the service's.
    QTest::newRow("card build of 2^32-1") << -1 << int(0x80000000u) << "-0.001";
}

void TestProducts::buildReference()
{
    QFETCH(int, build);
    QFETCH(int, code);
    QTEST(RqSdProduct(QJsonObject { { "build_number", build }, { "build_code", code } }).getBuildReference(),
        "reference");

    QTemporaryDir card;
    Kit::Header h;
    h.buildNumber = quint32(build);
    h.buildCode = quint32(code);
    QTEST(RqSdProduct::containerBuildReference(Mik::MikFile(Kit::writeContainer(card.path(), h.bytes()))),
        "reference");
}

void TestProducts::details_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("productId");
    QTest::addColumn<QStringList>("pictures");

    // A lake region shows only its cover (its second picture).
    QTest::newRow("lake region") << "velmora_region" << 1101 << QStringList { "/images/1101/1.png" };
    QTest::newRow("other lines: every picture")
        << "talvos" << 2101 << QStringList { "/images/2101/0.png", "/images/2101/1.png" };
}

void TestProducts::details()
{
    QFETCH(QString, line);
    QFETCH(int, productId);
    QFETCH(QStringList, pictures);
    QVERIFY(service.clearRequestLog());
    const QJsonObject json = catalogueProduct(line, productId);
    VelmoraProduct product(json);

    QSignalSpy loaded(&product, &AbstractProduct::infoLoaded);
    QSignalSpy replies(product.serviceClient.manager, &QNetworkAccessManager::finished);
    product.highlighted();
    QVERIFY(loaded.wait(10000));

    const QJsonArray asked = service.requestLog(QStringLiteral("*GetProductInfo"));
    QCOMPARE(asked.size(), 1);
    const QJsonObject body = asked.first().toObject().value(QStringLiteral("json")).toObject();
    QCOMPARE(body.value(QStringLiteral("sku")).toString(), json.value(QStringLiteral("sku")).toString());
    QCOMPARE(body.value(QStringLiteral("encode_image")), QJsonValue(true));
    QVERIFY(!product.byline.isEmpty());

    QTRY_COMPARE_WITH_TIMEOUT(replies.count(), 1 + pictures.size(), 10000);
    QStringList fetched;
    for (const QJsonValue &entry : service.requestLog(QStringLiteral("/images/*")))
        fetched << entry.toObject().value(QStringLiteral("path")).toString();
    fetched.sort();
    QCOMPARE(fetched, pictures);
    // Only the first picture to arrive is kept.
    QCOMPARE(product.images.size(), pictures.size());
    QCOMPARE(product.images.size() - product.images.count(nullptr), 1);
}

void TestProducts::failedRepliesAreHandled()
{
    // Failed details are asked again; an undecodable picture keeps its slot empty.
    QVERIFY(service.addFault({ { "kind", "status" }, { "path", "*GetProductInfo" } }));
    QVERIFY(service.addFault({ { "kind", "status" }, { "path", "/images/*" } }));
    RqSdProduct product(catalogueProduct(QStringLiteral("rq_sd"), 3101));
    QSignalSpy loaded(&product, &AbstractProduct::infoLoaded);
    QSignalSpy replies(product.serviceClient.manager, &QNetworkAccessManager::finished);
    product.highlighted();
    QVERIFY(replies.wait(10000));
    QCOMPARE(loaded.count(), 0);
    QVERIFY(product.byline.isEmpty());

    product.highlighted();
    QVERIFY(loaded.wait(10000));
    QVERIFY(!product.byline.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(replies.count(), 3, 10000);
    QCOMPARE(service.firedCount(QStringLiteral("status")), 2);
    QVERIFY(product.images.value(0) && product.images.at(0)->isNull());
    QVERIFY(service.clearFaults());
}

QTEST_MAIN(TestProducts)
#include "tst_products.moc"
