// Against the local chart service: the details request must be one the
// service accepts, the pictures fetched must be the ones the line shows, and
// the chart data read off an RQ card must be what the service keeps for it.
#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "app/startup.h"
#include "catalogue/rqsdproduct.h"
#include "catalogue/talvoproduct.h"
#include "catalogue/velmoraproduct.h"
#include "chartserviceprocess.h"
#include "media/mediaid.h"
#include "media/mikfile.h"

class TestProductService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void lakeRegionFetchesOnlyItsCover();
    void talvoFetchesEveryPicture();
    void rqCardMatchesTheService();

private:
    QJsonObject productFromCatalogue(const QString &line, const QString &productId);
    QStringList picturePaths(const QString &productId);

    ChartServiceProcess service;
    QString sessionId;
    QJsonObject catalogue;
};

void TestProductService::initTestCase()
{
    prepareStartup();
    QVERIFY(service.start());
    qputenv("QUORVEL_SERVICE_URL", service.baseUrl().toUtf8());
    sessionId = service.signIn();
    QVERIFY(!sessionId.isEmpty());
    int status = 0;
    catalogue = service.call(QStringLiteral("GetAllProducts"), QStringLiteral("smn"),
                             QJsonObject{{"session_id", sessionId}}, &status);
    QCOMPARE(status, 200);
}

QJsonObject TestProductService::productFromCatalogue(const QString &line, const QString &productId)
{
    return catalogue.value(line).toObject().value(productId).toObject();
}

QStringList TestProductService::picturePaths(const QString &productId)
{
    QStringList paths;
    const QJsonArray log = service.requestLog(QStringLiteral("/images/") + productId + QStringLiteral("/*"));
    for (const QJsonValue &entry : log)
        paths << entry.toObject().value("path").toString();
    return paths;
}

void TestProductService::lakeRegionFetchesOnlyItsCover()
{
    const QJsonObject json = productFromCatalogue(QStringLiteral("velmora_region"), QStringLiteral("1101"));
    QVERIFY(!json.isEmpty());
    VelmoraProduct product(json);
    product.productType = VelmoraRegion;
    QCOMPARE(product.sku, QStringLiteral("VM-ARD-01"));
    QVERIFY(service.clearRequestLog());

    QSignalSpy loaded(&product, &AbstractProduct::infoLoaded);
    product.highlighted();
    QVERIFY(loaded.wait(15000));
    QVERIFY(!product.byline.isEmpty());
    QVERIFY2(product.description.endsWith(QStringLiteral("\">") + product.name + QStringLiteral("</a></p>")),
             qPrintable(product.description));
    QVERIFY(product.description.contains(QStringLiteral("<p><a href=\"http")));

    QTRY_VERIFY_WITH_TIMEOUT(product.images.value(0) != nullptr, 15000);
    QCOMPARE(product.images.size(), 1);
    QVERIFY(!product.images.at(0)->isNull());
    QCOMPARE(product.images.at(0)->height(), 112);
    // Its second picture is the cover; the service numbers pictures from 0.
    QCOMPARE(picturePaths(QStringLiteral("1101")), QStringList{QStringLiteral("/images/1101/1.png")});
}

void TestProductService::talvoFetchesEveryPicture()
{
    const QJsonObject json = productFromCatalogue(QStringLiteral("talvos"), QStringLiteral("2101"));
    QVERIFY(!json.isEmpty());
    TalvoProduct product(json);
    product.productType = Talvos;
    QVERIFY(service.clearRequestLog());

    QSignalSpy loaded(&product, &AbstractProduct::infoLoaded);
    product.highlighted();
    QVERIFY(loaded.wait(15000));
    QVERIFY(product.images.size() >= 1);
    QTRY_COMPARE_WITH_TIMEOUT(picturePaths(QStringLiteral("2101")).size(), product.images.size(), 15000);
    QTRY_VERIFY_WITH_TIMEOUT(product.images.value(0) != nullptr, 15000);

    QWidget *picture = product.createImageWidget();
    QVERIFY(picture);
    QCOMPARE(picture->size(), QSize(395, 102));
}

void TestProductService::rqCardMatchesTheService()
{
    QTemporaryDir card;
    QVERIFY(ChartServiceProcess::makeCard(card.path(), QStringLiteral("rq")));

    QString kimPath;
    const QFileInfoList kims = QDir(card.path()).entryInfoList({QStringLiteral("*.kim")}, QDir::Files);
    QCOMPARE(kims.size(), 1);
    kimPath = kims.first().absoluteFilePath();
    Mik::MikFile container(kimPath);
    QCOMPARE(container.chartName(), QString::fromLatin1(ChartServiceProcess::DemoRqSku));
    QVERIFY(!container.segments.isEmpty());

    QFile encrypt(card.filePath(QStringLiteral("ENCRYPT.TXT")));
    QVERIFY(encrypt.open(QIODevice::ReadOnly));
    QCOMPARE(mediaIdFromContent(QString::fromUtf8(encrypt.readAll())),
             QString::fromLatin1(ChartServiceProcess::DemoRqMediaId));

    // The service's product of that chart is a newer build than the card.
    const QJsonObject json = productFromCatalogue(QStringLiteral("rq_sd"), QStringLiteral("3101"));
    RqSdProduct product(json);
    QCOMPARE(product.sku, container.chartName());
    QCOMPARE(product.getStatus(container), AbstractProduct::UpdateAvailable);
    QCOMPARE(RqSdProduct::containerBuildReference(container), QStringLiteral("5.001 (AAB000)"));

    // The chain read off the card is exactly what the service keeps with the
    // card's subscription.
    QByteArray keptDrm;
    const QJsonArray subscriptions = service.subscriptions();
    for (const QJsonValue &value : subscriptions) {
        const QJsonObject subscription = value.toObject();
        if (mediaIdFromContent(subscription.value("device_id").toString())
            == QString::fromLatin1(ChartServiceProcess::DemoRqMediaId))
            keptDrm = QByteArray::fromBase64(subscription.value("drm").toString().toLatin1());
    }
    QVERIFY(!keptDrm.isEmpty());
    QCOMPARE(container.getDrmBytes(), keptDrm);
}

QTEST_MAIN(TestProductService)
#include "tst_productservice.moc"
