// What a product offers for the selected card decides what the user may
// download; a wrong status word sends a purchase to the wrong card. Also the
// chart-state rules of RQ cards and the product details fetched from the
// service.
#include <QBuffer>
#include <QDataStream>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLayout>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "../media/containerbytes.h"
#include "app/startup.h"
#include "capturehttpserver.h"
#include "catalogue/rqsdproduct.h"
#include "catalogue/talvoproduct.h"
#include "catalogue/velmoraproduct.h"
#include "media/mikfile.h"

namespace {

const QString separator = QStringLiteral("-----Trelmarkholding---media---001-----");

// The service's device id of a purchase bound to the card with this media id;
// an empty id stands for an unbound purchase.
QString deviceFor(const QString &mediaId)
{
    return mediaId.isEmpty() ? QString() : QStringLiteral("v1") + separator + mediaId + separator + QStringLiteral("x");
}

QJsonObject productJson(const QString &sku, int id = 7)
{
    return QJsonObject{{"name", "Lake " + sku}, {"sku", sku}, {"size_in_kb", 2048}, {"product_id", id}};
}

} // namespace

class TestProducts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void productFieldsFromJson();
    void subscriptionFromJson();
    void currentSubscriptionStatus_data();
    void currentSubscriptionStatus();
    void currentSubscriptionCount_data();
    void currentSubscriptionCount();
    void getSubscriptionMatchesMediaIdExactly();

    void chartStatus_data();
    void chartStatus();
    void buildReference_data();
    void buildReference();
    void containerBuildReferenceReadsTheHeader();
    void chartUpdateStatusText_data();
    void chartUpdateStatusText();
    void productTypeNames();
    void productTypeTravelsThroughMetaTypes();

    void productInfoRequestAndReply_data();
    void productInfoRequestAndReply();
    void productInfoErrorIsRetried();
    void firstPictureIsShown();

private:
    CaptureHttpServer *service = nullptr;
    CaptureHttpServer *pictures = nullptr;
};

void TestProducts::initTestCase()
{
    prepareStartup();
    service = new CaptureHttpServer(this);
    pictures = new CaptureHttpServer(this);
    QVERIFY(service->listen());
    QVERIFY(pictures->listen());
    qputenv("QUORVEL_SERVICE_URL", service->baseUrl().toUtf8());
}

void TestProducts::productFieldsFromJson()
{
    RqSdProduct rq(QJsonObject{{"name", "RQ North"}, {"sku", "  1234-5"}, {"size_in_kb", 99},
                               {"product_id", 12}, {"build_number", 5001}, {"build_code", 27123}});
    QCOMPARE(rq.productType, RqSd);
    QCOMPARE(rq.name, QStringLiteral("RQ North"));
    QCOMPARE(rq.sku, QStringLiteral("  1234-5"));
    QCOMPARE(rq.sizeInKb, 99);
    QCOMPARE(rq.productId, 12);
    QCOMPARE(rq.buildNumber, 5001);
    QCOMPARE(rq.buildCode, 27123);
    QVERIFY(!rq.selected && !rq.rowHighlighted && !rq.disabled && !rq.infoRequested);
    QVERIFY(rq.row.isNull());

    // Missing or mistyped fields give empty text and 0, no error.
    VelmoraProduct empty(QJsonObject{{"sku", 5}, {"product_id", "12"}});
    QCOMPARE(empty.sku, QString());
    QCOMPARE(empty.productId, 0);
    QCOMPARE(empty.productType, NoProductType);
    QCOMPARE(empty.statusNames.value(4), QStringLiteral("Incompatible"));
    QCOMPARE(empty.statusNames.keys(), (QList<int>{0, 1, 2, 3, 4}));
}

void TestProducts::subscriptionFromJson()
{
    const Subscription full(QJsonObject{{"subscription_id", 31}, {"device_id", deviceFor("CARD")},
                                        {"expiration", 1700000000}, {"drm", "AAEC/w=="}});
    QCOMPARE(full.subscriptionId, 31);
    QCOMPARE(full.deviceId, deviceFor("CARD"));
    QCOMPARE(full.expiration, 1700000000);
    QCOMPARE(full.drm, QByteArray("\x00\x01\x02\xff", 4));

    const Subscription bare{QJsonObject()};
    QCOMPARE(bare.subscriptionId, 0);
    QCOMPARE(bare.expiration, 0);
    QVERIFY(bare.deviceId.isEmpty());
    QVERIFY(bare.drm.isEmpty());
}

void TestProducts::currentSubscriptionStatus_data()
{
    QTest::addColumn<QStringList>("boundTo");   // one entry per purchase: media id, "" unbound
    QTest::addColumn<QString>("cardMediaId");
    QTest::addColumn<QString>("skuOnCard");
    QTest::addColumn<int>("cardType");
    QTest::addColumn<int>("status");

    const int velmora = VelmoraRegion;
    // No card.
    QTest::newRow("no purchase") << QStringList() << "" << "" << -1 << 2;
    QTest::newRow("no card, unbound") << QStringList{""} << "" << "" << -1 << 0;
    QTest::newRow("no card, bound somewhere") << QStringList{"OTHER"} << "" << "" << -1 << 2;
    // Empty card (no item number).
    QTest::newRow("empty card, no purchase") << QStringList() << "CARD" << "" << -1 << 2;
    QTest::newRow("empty card, unbound") << QStringList{""} << "CARD" << "" << -1 << 0;
    QTest::newRow("empty card, bound here") << QStringList{"CARD"} << "CARD" << "" << -1 << 3;
    QTest::newRow("empty card, bound elsewhere") << QStringList{"OTHER"} << "CARD" << "" << -1 << 2;
    QTest::newRow("empty card, elsewhere and unbound: 0 outranks 2")
        << QStringList{"OTHER", ""} << "CARD" << "" << -1 << 0;
    QTest::newRow("empty card, here and unbound: 3 outranks 0") << QStringList{"", "CARD"} << "CARD" << "" << -1 << 3;
    QTest::newRow("media id compared with case") << QStringList{"card"} << "CARD" << "" << -1 << 2;
    QTest::newRow("device id of two fields is unbound")
        << QStringList{"@broken"} << "CARD" << "" << -1 << 0;
    // Card holding this very product.
    QTest::newRow("this product, unbound") << QStringList{""} << "CARD" << "VM-1" << velmora << 2;
    QTest::newRow("this product, bound here") << QStringList{"OTHER", "CARD", ""} << "CARD" << "VM-1" << velmora << 3;
    QTest::newRow("this product, bound elsewhere") << QStringList{"OTHER"} << "CARD" << "VM-1" << velmora << 2;
    // Card holding another product of the same line.
    QTest::newRow("other product, unbound") << QStringList{""} << "CARD" << "VM-2" << velmora << 1;
    QTest::newRow("other product, bound here") << QStringList{"CARD"} << "CARD" << "VM-2" << velmora << 1;
    QTest::newRow("other product, bound elsewhere") << QStringList{"OTHER"} << "CARD" << "VM-2" << velmora << 2;
    QTest::newRow("item number compared with case") << QStringList{""} << "CARD" << "vm-1" << velmora << 1;
    // Card of another line.
    QTest::newRow("other line with item number") << QStringList{"CARD", ""} << "CARD" << "  1234-5" << int(RqSd) << 4;
    QTest::newRow("other line, no purchases") << QStringList() << "CARD" << "TV-1" << int(Talvos) << 4;
    QTest::newRow("other line without item number is just empty")
        << QStringList{""} << "CARD" << "" << int(Talvos) << 0;
}

void TestProducts::currentSubscriptionStatus()
{
    QFETCH(QStringList, boundTo);
    QFETCH(QString, cardMediaId);
    QFETCH(QString, skuOnCard);
    QFETCH(int, cardType);
    QFETCH(int, status);

    VelmoraProduct product(productJson(QStringLiteral("VM-1")));
    product.productType = VelmoraRegion;
    int id = 100;
    for (const QString &mediaId : boundTo) {
        const QString device = mediaId.startsWith('@') ? QStringLiteral("x") + separator + "y" : deviceFor(mediaId);
        product.insertSubscription(id++, QJsonObject{{"device_id", device}});
    }
    QCOMPARE(product.currentSubscriptionStatus(cardMediaId, skuOnCard, ProductTypeEnum(cardType)), status);
}

void TestProducts::currentSubscriptionCount_data()
{
    QTest::addColumn<QStringList>("boundTo");
    QTest::addColumn<QString>("cardMediaId");
    QTest::addColumn<QString>("skuOnCard");
    QTest::addColumn<int>("available");   // count under code 0, -1 when absent
    QTest::addColumn<int>("downloaded");  // count under code 2, -1 when absent

    QTest::newRow("none") << QStringList() << "CARD" << "VM-1" << -1 << -1;
    QTest::newRow("no card") << QStringList{"", "", "OTHER"} << "" << "" << 2 << 1;
    QTest::newRow("empty card") << QStringList{"", "CARD", "OTHER"} << "CARD" << "" << 1 << 2;
    QTest::newRow("other product on card") << QStringList{"CARD", ""} << "CARD" << "VM-2" << 1 << 1;
    QTest::newRow("this product: bound elsewhere counts as usable")
        << QStringList{"", "CARD", "OTHER"} << "CARD" << "VM-1" << 2 << 1;
    QTest::newRow("this product, all here") << QStringList{"CARD", "CARD"} << "CARD" << "VM-1" << -1 << 2;
}

void TestProducts::currentSubscriptionCount()
{
    QFETCH(QStringList, boundTo);
    QFETCH(QString, cardMediaId);
    QFETCH(QString, skuOnCard);
    QFETCH(int, available);
    QFETCH(int, downloaded);

    TalvoProduct product(productJson(QStringLiteral("VM-1")));
    int id = 1;
    for (const QString &mediaId : boundTo)
        product.insertSubscription(id++, QJsonObject{{"device_id", deviceFor(mediaId)}});

    const QMap<int, int> counts = product.currentSubscriptionCount(cardMediaId, skuOnCard);
    QCOMPARE(counts.value(0, -1), available);
    QCOMPARE(counts.value(2, -1), downloaded);
    for (int code : counts.keys())
        QVERIFY2(code == 0 || code == 2, "only codes 0 and 2 are counted");
}

void TestProducts::getSubscriptionMatchesMediaIdExactly()
{
    RqSdProduct product(productJson(QStringLiteral("  1234-5")));
    product.insertSubscription(1, QJsonObject{{"device_id", deviceFor("OTHER")}});
    product.insertSubscription(2, QJsonObject{{"device_id", deviceFor("CARD")}, {"drm", "cXY="}});
    product.insertSubscription(3, QJsonObject{{"device_id", QString()}});

    const Subscription *found = product.getSubscription(QStringLiteral("CARD"));
    QVERIFY(found);
    QCOMPARE(found->drm, QByteArray("qv"));
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
    QTest::newRow("same build, service code higher")
        << 5000u << 7u << plain << 5000 << 9 << int(AbstractProduct::UpdateAvailableSameBuild);
    QTest::newRow("same build, card code higher") << 5000u << 9u << plain << 5000 << 7 << int(AbstractProduct::UpToDate);
    QTest::newRow("update running, whatever the builds")
        << 5000u << 7u << (plain | 0x400) << 9000 << 9 << int(AbstractProduct::UpdateInProgress);
    QTest::newRow("update flag alone") << 1u << 0u << quint64(0x400) << 0 << 0 << int(AbstractProduct::UpdateInProgress);
    // The card stores unsigned numbers; a service number of -1 is the
    // largest build there is.
    QTest::newRow("unsigned build") << 0x80000000u << 0u << plain << -1 << 0 << int(AbstractProduct::UpdateAvailable);
    QTest::newRow("unsigned code") << 5000u << 0x80000000u << plain << 5000 << -1
                                   << int(AbstractProduct::UpdateAvailableSameBuild);
}

void TestProducts::chartStatus()
{
    QFETCH(quint32, cardBuild);
    QFETCH(quint32, cardCode);
    QFETCH(quint64, cardFlags);
    QFETCH(int, serviceBuild);
    QFETCH(int, serviceCode);
    QFETCH(int, status);

    QTemporaryDir card;
    ContainerBytes::Header h;
    h.buildNumber = cardBuild;
    h.buildCode = cardCode;
    h.flags = cardFlags;
    const QString path = card.filePath(QStringLiteral("  1234-5.kim"));
    QVERIFY(ContainerBytes::write(path, h.bytes()));
    Mik::MikFile container(path);

    RqSdProduct product(QJsonObject{{"sku", "  1234-5"}, {"build_number", serviceBuild}, {"build_code", serviceCode}});
    QCOMPARE(int(product.getStatus(container)), status);
}

void TestProducts::buildReference_data()
{
    QTest::addColumn<int>("build");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("reference");

    QTest::newRow("build and code") << 12345 << 27123 << "12.345 (ABB123)";
    QTest::newRow("small build") << 12 << 0 << "0.012";
    QTest::newRow("zero") << 0 << 0 << "0.000";
    QTest::newRow("negative code ignored") << 5000 << -4 << "5.000";
    QTest::newRow("first code") << 1 << 1 << "0.001 (AAA001)";
    QTest::newRow("letters wrap at 26") << 1000 << 26 * 676000 + 25 * 26000 + 25 * 1000 + 999 << "1.000 (AZZ999)";
    QTest::newRow("largest") << 2147483647 << 2147483647 << "2147483.647 (ETN647)";
}

void TestProducts::buildReference()
{
    QFETCH(int, build);
    QFETCH(int, code);
    RqSdProduct product(QJsonObject{{"build_number", build}, {"build_code", code}});
    QTEST(product.getBuildReference(), "reference");
}

void TestProducts::containerBuildReferenceReadsTheHeader()
{
    QTemporaryDir card;
    const QString path = card.filePath(QStringLiteral("c.kim"));
    ContainerBytes::Header h;
    h.buildNumber = 12345;
    h.buildCode = 27123;
    QVERIFY(ContainerBytes::write(path, h.bytes()));
    QCOMPARE(RqSdProduct::containerBuildReference(Mik::MikFile(path)), QStringLiteral("12.345 (ABB123)"));

    // Header numbers read as signed, like the service's.
    h.buildNumber = 0xFFFFFFFFu;
    h.buildCode = 0x80000000u;
    QVERIFY(ContainerBytes::write(path, h.bytes()));
    QCOMPARE(RqSdProduct::containerBuildReference(Mik::MikFile(path)), QStringLiteral("-0.001"));
}

void TestProducts::chartUpdateStatusText_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::newRow("-1") << -1 << "Update In Progress";
    QTest::newRow("0") << 0 << "Up To Date";
    QTest::newRow("1") << 1 << "Up To Date";
    QTest::newRow("2") << 2 << "Update Available";
    QTest::newRow("3") << 3 << "Update Available";
    QTest::newRow("4") << 4 << "";
    QTest::newRow("-2") << -2 << "";
}

void TestProducts::chartUpdateStatusText()
{
    QFETCH(int, status);
    QTEST(::chartUpdateStatusText(AbstractProduct::ChartUpdateStatus(status)), "text");
}

void TestProducts::productTypeNames()
{
    QCOMPARE(productTypeToString(RqSd), QStringLiteral("rq_sd"));
    QCOMPARE(productTypeToString(VelmoraRegion), QStringLiteral("velmora_region"));
    QCOMPARE(productTypeToString(Talvos), QStringLiteral("talvos"));
    QCOMPARE(productTypeToString(NoProductType), QString());
    QCOMPARE(productTypeToString(ProductTypeEnum(3)), QString());
    QCOMPARE(productTypeFromString(QStringLiteral("talvos")), Talvos);
    QCOMPARE(productTypeFromString(QStringLiteral("Talvos")), NoProductType);
    QCOMPARE(productTypeFromString(QString()), NoProductType);
}

void TestProducts::productTypeTravelsThroughMetaTypes()
{
    const QMetaType type = QMetaType::fromName("ProductTypeEnum");
    QVERIFY(type.isValid());
    QVERIFY(type.hasRegisteredDataStreamOperators());

    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << QVariant::fromValue(Talvos) << QVariant::fromValue(ProductTypeEnum(9));
    }
    QDataStream in(bytes);
    QVariant first, second;
    in >> first >> second;
    QCOMPARE(first.value<ProductTypeEnum>(), Talvos);
    QCOMPARE(second.value<ProductTypeEnum>(), NoProductType);
}

void TestProducts::productInfoRequestAndReply_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QJsonArray>("images");
    QTest::addColumn<QStringList>("fetched");

    const QString base = QStringLiteral("%1/img/");
    const QJsonArray three{QJsonObject{{"type", "detail"}, {"url", base + "1.png"}},
                           QJsonObject{{"type", "cover"}, {"url", base + "2.png"}},
                           QJsonObject{{"type", "cover"}, {"url", base + "3.png"}}};
    QTest::newRow("lake region: only the first cover") << "velmora_region" << three << QStringList{"/img/2.png"};
    QTest::newRow("other lines: every picture")
        << "talvos" << three << QStringList{"/img/1.png", "/img/2.png", "/img/3.png"};
    const QJsonArray gaps{QJsonObject{{"type", "cover"}}, QJsonObject{{"url", base + "4.png"}}, QJsonValue(3)};
    QTest::newRow("entries without url skipped") << "rq_sd" << gaps << QStringList{"/img/4.png"};
    QTest::newRow("lake region without a cover")
        << "velmora_region" << QJsonArray{QJsonObject{{"type", "detail"}, {"url", base + "1.png"}}} << QStringList();
}

void TestProducts::productInfoRequestAndReply()
{
    QFETCH(QString, type);
    QFETCH(QJsonArray, images);
    QFETCH(QStringList, fetched);

    for (QJsonValueRef entry : images) {
        QJsonObject object = entry.toObject();
        if (object.contains("url"))
            object["url"] = object["url"].toString().arg(pictures->baseUrl());
        entry = object;
    }
    const QJsonObject reply{{"type", type}, {"images", images}, {"byline", "By the lake"},
                            {"description", "<ul><li>Depths</li></ul>"},
                            {"lake_list_url", "https://charts.quorvel.example/lakes?id=4&x=1"}};
    service->requests.clear();
    pictures->requests.clear();
    service->setReply(200, QJsonDocument(reply).toJson());
    pictures->setReply(200, "not a picture", "image/png");

    VelmoraProduct product(QJsonObject{{"name", "North Lakes"}, {"sku", "VM-7"}, {"product_id", 70}});
    QSignalSpy highlight(&product, &AbstractProduct::exclusiveHighlight);
    QSignalSpy loaded(&product, &AbstractProduct::infoLoaded);
    product.highlighted();
    QCOMPARE(highlight.count(), 1);
    QCOMPARE(highlight.at(0).at(0).toInt(), 70);

    QVERIFY(loaded.wait(10000));
    QCOMPARE(service->requests.size(), 1);
    const CaptureHttpServer::Request request = service->requests.first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.path, QByteArray("/api/smn/GetProductInfo"));
    const QJsonObject body = QJsonDocument::fromJson(request.body).object();
    QCOMPARE(body.value("sku").toString(), QStringLiteral("VM-7"));
    QCOMPARE(body.value("encode_image"), QJsonValue(true));

    QVERIFY(product.infoRequested);
    QCOMPARE(product.byline, QStringLiteral("By the lake"));
    QCOMPARE(product.description,
             QStringLiteral("<ul><li>Depths</li></ul><p><a href=\"https://charts.quorvel.example/lakes?id=4&x=1\">"
                            "North Lakes</a></p>"));
    QCOMPARE(product.images.size(), fetched.size());

    QTRY_COMPARE_WITH_TIMEOUT(pictures->requests.size(), fetched.size(), 10000);
    QStringList paths;
    for (const auto &picture : std::as_const(pictures->requests))
        paths << QString::fromUtf8(picture.path);
    QCOMPARE(paths, fetched);

    // A second highlight after the reply asks the service nothing more.
    product.highlighted();
    QTest::qWait(50);
    QCOMPARE(service->requests.size(), 1);
    QCOMPARE(highlight.count(), 2);
}

void TestProducts::productInfoErrorIsRetried()
{
    service->requests.clear();
    service->setReply(500, QByteArrayLiteral("{\"byline\":\"never\"}"));
    TalvoProduct product(QJsonObject{{"sku", "TV-1"}, {"product_id", 3}});
    QSignalSpy loaded(&product, &AbstractProduct::infoLoaded);

    product.highlighted();
    QTRY_COMPARE_WITH_TIMEOUT(service->requests.size(), 1, 10000);
    QTest::qWait(200);
    QCOMPARE(loaded.count(), 0);
    QVERIFY(!product.infoRequested);
    QVERIFY(product.byline.isEmpty());

    service->setReply(200, QByteArrayLiteral("{\"byline\":\"now\",\"description\":\"plain\"}"));
    product.highlighted();
    QVERIFY(loaded.wait(10000));
    QCOMPARE(service->requests.size(), 2);
    QCOMPARE(product.description, QStringLiteral("plain"));
}

void TestProducts::firstPictureIsShown()
{
    QImage drawn(300, 150, QImage::Format_RGB32);
    drawn.fill(Qt::darkCyan);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(drawn.save(&buffer, "PNG"));

    const QJsonObject reply{{"type", "talvos"},
                            {"images", QJsonArray{QJsonObject{{"url", pictures->baseUrl() + "/a.png"}},
                                                  QJsonObject{{"url", pictures->baseUrl() + "/b.png"}}}}};
    service->setReply(200, QJsonDocument(reply).toJson());
    pictures->requests.clear();
    pictures->setReply(200, png, "image/png");

    TalvoProduct talvo(QJsonObject{{"sku", "TV-2"}});
    QVERIFY(!talvo.createImageWidget());
    QSignalSpy loaded(&talvo, &AbstractProduct::infoLoaded);
    talvo.highlighted();
    QVERIFY(loaded.wait(10000));
    QTRY_COMPARE_WITH_TIMEOUT(pictures->requests.size(), 2, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(talvo.images.value(0) != nullptr, 10000);
    QTest::qWait(100);

    QWidget *widget = talvo.createImageWidget();
    QVERIFY(widget);
    QCOMPARE(widget, talvo.imageWidget.data());
    QCOMPARE(talvo.images.size(), 2);
    QVERIFY2(!talvo.images.at(1), "only the first picture to arrive is kept");

    // An undecodable picture still takes slot 0, so nothing is shown later.
    pictures->setReply(200, "garbage", "image/png");
    RqSdProduct rq(QJsonObject{{"sku", "RQ"}});
    QSignalSpy rqLoaded(&rq, &AbstractProduct::infoLoaded);
    rq.highlighted();
    QVERIFY(rqLoaded.wait(10000));
    QTRY_VERIFY_WITH_TIMEOUT(rq.images.value(0) != nullptr, 10000);
    QVERIFY(rq.images.at(0)->isNull());
}

QTEST_MAIN(TestProducts)
#include "tst_products.moc"
