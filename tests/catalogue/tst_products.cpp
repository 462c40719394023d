// What a product offers for the selected card decides what the user may
// download; a wrong status sends a purchase to the wrong card. Also the chart
// state of RQ cards, and the details and pictures fetched from the service.
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "app/startup.h"
#include "catalogue/rqsdproduct.h"
#include "catalogue/talvoproduct.h"
#include "catalogue/velmoraproduct.h"
#include "chartserviceprocess.h"
#include "media/mikfile.h"
#include "testkit.h"

namespace {

// The device id of a purchase bound to the card with this media id; an
// empty id stands for an unbound purchase, "@" for a damaged device id.
QString deviceFor(const QString &mediaId)
{
    if (mediaId.startsWith(QLatin1Char('@')))
        return QStringLiteral("x") + QString::fromLatin1(Kit::mediaSeparator) + QStringLiteral("y");
    return mediaId.isEmpty() ? QString() : QString::fromUtf8(Kit::mediaText(mediaId.toUtf8()));
}

template <typename Product>
void addPurchases(Product &product, const QStringList &boundTo)
{
    int id = 100;
    for (const QString &mediaId : boundTo)
        product.insertSubscription(id++, QJsonObject{{"device_id", deviceFor(mediaId)}});
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
    void subscriptionOfACard();
    void chartStatus_data();
    void chartStatus();
    void buildReference_data();
    void buildReference();

    void details_data();
    void details();
    void failedDetailsAreAskedAgain();
    void firstPictureToArriveIsShown();

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
                             QJsonObject{{"session_id", service.signIn()}});
    QVERIFY(!catalogue.isEmpty());
}

void TestProducts::subscriptionStatus_data()
{
    QTest::addColumn<QStringList>("boundTo"); // one entry per purchase: media id, "" unbound
    QTest::addColumn<QString>("cardMediaId");
    QTest::addColumn<QString>("skuOnCard");
    QTest::addColumn<int>("cardType");
    QTest::addColumn<int>("status");

    const int velmora = VelmoraRegion;
    const int available = AbstractProduct::StatusAvailable, replace = AbstractProduct::StatusReplace,
              downloaded = AbstractProduct::StatusDownloaded, redownload = AbstractProduct::StatusRedownload,
              incompatible = AbstractProduct::StatusIncompatible;
    QTest::newRow("no purchase") << QStringList() << "" << "" << -1 << downloaded;
    QTest::newRow("no card, unbound") << QStringList{""} << "" << "" << -1 << available;
    QTest::newRow("no card, bound somewhere") << QStringList{"OTHER"} << "" << "" << -1 << downloaded;
    QTest::newRow("empty card, no purchase") << QStringList() << "CARD" << "" << -1 << downloaded;
    QTest::newRow("empty card, unbound") << QStringList{""} << "CARD" << "" << -1 << available;
    QTest::newRow("empty card, bound here") << QStringList{"CARD"} << "CARD" << "" << -1 << redownload;
    QTest::newRow("empty card, bound elsewhere") << QStringList{"OTHER"} << "CARD" << "" << -1 << downloaded;
    QTest::newRow("empty card, elsewhere and unbound") << QStringList{"OTHER", ""} << "CARD" << "" << -1 << available;
    QTest::newRow("empty card, here and unbound") << QStringList{"", "CARD"} << "CARD" << "" << -1 << redownload;
    QTest::newRow("media id compared with case") << QStringList{"card"} << "CARD" << "" << -1 << downloaded;
    QTest::newRow("device id of two fields is unbound") << QStringList{"@"} << "CARD" << "" << -1 << available;
    QTest::newRow("this product, unbound") << QStringList{""} << "CARD" << "VM-1" << velmora << downloaded;
    QTest::newRow("this product, bound here") << QStringList{"OTHER", "CARD", ""} << "CARD" << "VM-1" << velmora << redownload;
    QTest::newRow("this product, bound elsewhere") << QStringList{"OTHER"} << "CARD" << "VM-1" << velmora << downloaded;
    QTest::newRow("other product, unbound") << QStringList{""} << "CARD" << "VM-2" << velmora << replace;
    QTest::newRow("other product, bound here") << QStringList{"CARD"} << "CARD" << "VM-2" << velmora << replace;
    QTest::newRow("other product, bound elsewhere") << QStringList{"OTHER"} << "CARD" << "VM-2" << velmora << downloaded;
    QTest::newRow("item number compared with case") << QStringList{""} << "CARD" << "vm-1" << velmora << replace;
    QTest::newRow("other line with item number") << QStringList{"CARD", ""} << "CARD" << "  1234-5" << int(RqSd) << incompatible;
    QTest::newRow("other line, no purchases") << QStringList() << "CARD" << "TV-1" << int(Talvos) << incompatible;
    QTest::newRow("other line without item number is just empty") << QStringList{""} << "CARD" << "" << int(Talvos) << available;
}

void TestProducts::subscriptionStatus()
{
    QFETCH(QStringList, boundTo);
    QFETCH(QString, cardMediaId);
    QFETCH(QString, skuOnCard);
    QFETCH(int, cardType);

    VelmoraProduct product(QJsonObject{{"sku", "VM-1"}});
    product.productType = VelmoraRegion;
    addPurchases(product, boundTo);
    QTEST(product.currentSubscriptionStatus(cardMediaId, skuOnCard, ProductTypeEnum(cardType)), "status");
}

void TestProducts::subscriptionCount_data()
{
    QTest::addColumn<QStringList>("boundTo");
    QTest::addColumn<QString>("cardMediaId");
    QTest::addColumn<QString>("skuOnCard");
    QTest::addColumn<int>("available");  // count under "Available", -1 when absent
    QTest::addColumn<int>("downloaded"); // count under "Downloaded", -1 when absent

    QTest::newRow("none") << QStringList() << "CARD" << "VM-1" << -1 << -1;
    QTest::newRow("no card") << QStringList{"", "", "OTHER"} << "" << "" << 2 << 1;
    QTest::newRow("empty card") << QStringList{"", "CARD", "OTHER"} << "CARD" << "" << 1 << 2;
    QTest::newRow("other product on card") << QStringList{"CARD", ""} << "CARD" << "VM-2" << 1 << 1;
    QTest::newRow("this product: bound elsewhere counts as usable") << QStringList{"", "CARD", "OTHER"} << "CARD" << "VM-1" << 2 << 1;
    QTest::newRow("this product, all here") << QStringList{"CARD", "CARD"} << "CARD" << "VM-1" << -1 << 2;
}

void TestProducts::subscriptionCount()
{
    QFETCH(QStringList, boundTo);
    QFETCH(QString, cardMediaId);
    QFETCH(QString, skuOnCard);

    TalvoProduct product(QJsonObject{{"sku", "VM-1"}});
    addPurchases(product, boundTo);
    const QMap<int, int> counts = product.currentSubscriptionCount(cardMediaId, skuOnCard);
    QTEST(counts.value(AbstractProduct::StatusAvailable, -1), "available");
    QTEST(counts.value(AbstractProduct::StatusDownloaded, -1), "downloaded");
    QCOMPARE(counts.size(), int(counts.contains(AbstractProduct::StatusAvailable)) + int(counts.contains(AbstractProduct::StatusDownloaded)));
}

void TestProducts::subscriptionOfACard()
{
    // The chart data kept with an RQ purchase travels as Base64.
    RqSdProduct product(QJsonObject{{"sku", "  1234-5"}});
    addPurchases(product, {"OTHER", ""});
    product.insertSubscription(7, QJsonObject{{"device_id", deviceFor("CARD")}, {"drm", "AAEC/w=="}});
    const Subscription *found = product.getSubscription(QStringLiteral("CARD"));
    QVERIFY(found);
    QCOMPARE(found->drm, QByteArray("\x00\x01\x02\xff", 4));
    QVERIFY(!product.getSubscription(QStringLiteral("card")));
    QVERIFY(!product.getSubscription(QStringLiteral("NONE")));
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
    QTest::newRow("service newer") << 5000u << 0u << plain << 5001 << 0 << int(AbstractProduct::UpdateAvailable);
    QTest::newRow("card newer") << 5002u << 3u << plain << 5001 << 9 << int(AbstractProduct::UpToDate);
    QTest::newRow("same build, card without code") << 5000u << 0u << plain << 5000 << 9 << int(AbstractProduct::UpToDate);
    QTest::newRow("same build, same code") << 5000u << 7u << plain << 5000 << 7 << int(AbstractProduct::UpToDateSameBuild);
    QTest::newRow("same build, service code higher") << 5000u << 7u << plain << 5000 << 9 << int(AbstractProduct::UpdateAvailableSameBuild);
    QTest::newRow("same build, card code higher") << 5000u << 9u << plain << 5000 << 7 << int(AbstractProduct::UpToDate);
    QTest::newRow("update running, whatever the builds") << 5000u << 7u << (plain | 0x400) << 9000 << 9 << int(AbstractProduct::UpdateInProgress);
    QTest::newRow("update flag alone") << 1u << 0u << quint64(0x400) << 0 << 0 << int(AbstractProduct::UpdateInProgress);
    // The card stores unsigned numbers; a service number of -1 is the
    // largest build there is.
    QTest::newRow("unsigned build") << 0x80000000u << 0u << plain << -1 << 0 << int(AbstractProduct::UpdateAvailable);
    QTest::newRow("unsigned code") << 5000u << 0x80000000u << plain << 5000 << -1 << int(AbstractProduct::UpdateAvailableSameBuild);
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
    RqSdProduct product(QJsonObject{{"sku", "  1234-5"}, {"build_number", serviceBuild}, {"build_code", serviceCode}});
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
    QTest::newRow("first code") << 1 << 1 << "0.001 (AAA001)";
    QTest::newRow("letters wrap at 26") << 1000 << 26 * 676000 + 25 * 26000 + 25 * 1000 + 999 << "1.000 (AZZ999)";
    QTest::newRow("largest") << 2147483647 << 2147483647 << "2147483.647 (ETN647)";
    // A card's header numbers read as signed, like the service's.
    QTest::newRow("card build of 2^32-1") << -1 << int(0x80000000u) << "-0.001";
}

void TestProducts::buildReference()
{
    QFETCH(int, build);
    QFETCH(int, code);
    QTEST(RqSdProduct(QJsonObject{{"build_number", build}, {"build_code", code}}).getBuildReference(), "reference");

    QTemporaryDir card;
    Kit::Header h;
    h.buildNumber = quint32(build);
    h.buildCode = quint32(code);
    QTEST(RqSdProduct::containerBuildReference(Mik::MikFile(Kit::writeContainer(card.path(), h.bytes()))), "reference");
}

void TestProducts::details_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("productId");
    QTest::addColumn<QStringList>("pictures");

    // A lake region shows only its cover (its second picture).
    QTest::newRow("lake region") << "velmora_region" << 1101 << QStringList{"/images/1101/1.png"};
    QTest::newRow("other lines: every picture") << "talvos" << 2101 << QStringList{"/images/2101/0.png", "/images/2101/1.png"};
}

void TestProducts::details()
{
    QFETCH(QString, line);
    QFETCH(int, productId);
    QFETCH(QStringList, pictures);
    QVERIFY(service.clearRequestLog());
    const QJsonObject json = catalogueProduct(line, productId);
    VelmoraProduct product(json);
    QSignalSpy highlight(&product, &AbstractProduct::exclusiveHighlight);
    QSignalSpy loaded(&product, &AbstractProduct::infoLoaded);
    QSignalSpy replies(product.serviceClient.manager, &QNetworkAccessManager::finished);
    product.highlighted();
    QCOMPARE(highlight.count(), 1);
    QCOMPARE(highlight.first().first().toInt(), productId);
    QVERIFY(loaded.wait(10000));

    const QJsonArray asked = service.requestLog(QStringLiteral("*GetProductInfo"));
    QCOMPARE(asked.size(), 1);
    const QJsonObject body = asked.first().toObject().value(QStringLiteral("json")).toObject();
    QCOMPARE(body.value(QStringLiteral("sku")).toString(), json.value(QStringLiteral("sku")).toString());
    QCOMPARE(body.value(QStringLiteral("encode_image")), QJsonValue(true));
    QVERIFY(!product.byline.isEmpty());
    // A lake list, when the product has one, is linked under the name.
    const bool lakes = product.description.endsWith(QStringLiteral("\">") + product.name + QStringLiteral("</a></p>"));
    QCOMPARE(lakes, line == QLatin1String("velmora_region"));

    QTRY_COMPARE_WITH_TIMEOUT(replies.count(), 1 + pictures.size(), 10000);
    QStringList fetched;
    for (const QJsonValue &entry : service.requestLog(QStringLiteral("/images/*")))
        fetched << entry.toObject().value(QStringLiteral("path")).toString();
    fetched.sort();
    QCOMPARE(fetched, pictures);
    QCOMPARE(product.images.size(), pictures.size());
}

void TestProducts::failedDetailsAreAskedAgain()
{
    QVERIFY(service.addFault({{"kind", "status"}, {"path", "*GetProductInfo"}}));
    TalvoProduct product(catalogueProduct(QStringLiteral("talvos"), 2102));
    QSignalSpy loaded(&product, &AbstractProduct::infoLoaded);
    QSignalSpy replies(product.serviceClient.manager, &QNetworkAccessManager::finished);
    product.highlighted();
    QVERIFY(replies.wait(10000));
    QCOMPARE(service.firedCount(QStringLiteral("status")), 1);
    QCOMPARE(loaded.count(), 0);
    QVERIFY(product.byline.isEmpty());

    product.highlighted();
    QVERIFY(loaded.wait(10000));
    QVERIFY(!product.byline.isEmpty());
    QVERIFY(service.clearFaults());
}

void TestProducts::firstPictureToArriveIsShown()
{
    TalvoProduct talvo(catalogueProduct(QStringLiteral("talvos"), 2101));
    QVERIFY(!talvo.createImageWidget());
    QSignalSpy replies(talvo.serviceClient.manager, &QNetworkAccessManager::finished);
    talvo.highlighted();
    QTRY_COMPARE_WITH_TIMEOUT(replies.count(), 3, 10000);
    QCOMPARE(talvo.images.size(), 2);
    QVERIFY(talvo.images.at(0) && !talvo.images.at(0)->isNull());
    QVERIFY2(!talvo.images.at(1), "only the first picture to arrive is kept");
    QWidget *widget = talvo.createImageWidget();
    QVERIFY(widget);
    QCOMPARE(widget, talvo.imageWidget.data());

    // A picture that cannot be decoded still takes the slot, so nothing
    // shows up later in its place.
    QVERIFY(service.addFault({{"kind", "status"}, {"path", "/images/*"}}));
    RqSdProduct rq(catalogueProduct(QStringLiteral("rq_sd"), 3101));
    QSignalSpy rqReplies(rq.serviceClient.manager, &QNetworkAccessManager::finished);
    rq.highlighted();
    QTRY_COMPARE_WITH_TIMEOUT(rqReplies.count(), 2, 10000);
    QCOMPARE(service.firedCount(QStringLiteral("status")), 1);
    QVERIFY(rq.images.value(0) && rq.images.at(0)->isNull());
    QVERIFY(service.clearFaults());
}

QTEST_MAIN(TestProducts)
#include "tst_products.moc"
