// The stand-in service must be as strict as the real one, its faults must do
// what they say and count when they fire, and the cards it makes must hold
// what the tool reads: a test that passes against it must not pass because
// it says yes to everything.
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "chartserviceprocess.h"
#include "media/mikfile.h"
#include "testkit.h"

namespace {

using Headers = QList<QPair<QByteArray, QByteArray>>;

QString deviceId(const QByteArray &mediaId, const QByteArray &head = "HEAD")
{
    return QString::fromUtf8(Kit::mediaText(mediaId, head));
}

QByteArray headerValue(const Headers &headers, const QByteArray &name)
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return QByteArray();
}

} // namespace

class TestChartService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void everyCallNeedsTheApiKey_data();
    void everyCallNeedsTheApiKey();
    void sessionsAndRoutes();
    void activationBindsReusesAndRefuses();
    void ranges_data();
    void ranges();
    void rqHeaderAndSegments();
    void rqRegistrationNeedsChartData();
    void transferFaults_data();
    void transferFaults();
    void replyFaultsFireOnlyWhereArmed();

    void rqCardIsWhatTheServiceKeeps_data();
    void rqCardIsWhatTheServiceKeeps();

private:
    QJsonObject activate(const QString &sku, const QString &device, int *status, const QByteArray &drm = QByteArray());
    QByteArray keptDrm(int subscriptionId, const QString &account);
    QString fileUrl(int productId, const QString &file, bool https = false) const
    {
        return (https ? m_service.httpsBaseUrl() : m_service.baseUrl()) + QStringLiteral("/cdn/") + QString::number(productId)
               + QLatin1Char('/') + file;
    }

    ChartServiceProcess m_service;
    QString m_session;
};

void TestChartService::initTestCase()
{
    QVERIFY(m_service.start({QStringLiteral("--catalogue"), ChartServiceProcess::demoCataloguePath(),
                             QStringLiteral("--catalogue"), ChartServiceProcess::testCataloguePath()}));
}

void TestChartService::init()
{
    QVERIFY(m_service.clearFaults());
    m_session = m_service.signIn();
    QVERIFY(!m_session.isEmpty());
}

QJsonObject TestChartService::activate(const QString &sku, const QString &device, int *status, const QByteArray &drm)
{
    QJsonObject body{{"sku", sku}, {"device_id", device}, {"session_id", m_session}};
    if (!drm.isNull())
        body.insert(QStringLiteral("drm"), QString::fromLatin1(drm.toBase64()));
    return m_service.call(QStringLiteral("ActivateProduct"), QStringLiteral("smn"), body, status);
}

QByteArray TestChartService::keptDrm(int subscriptionId, const QString &account)
{
    for (const QJsonValue &value : m_service.subscriptions(account)) {
        if (value.toObject().value(QStringLiteral("subscription_id")).toInt() == subscriptionId)
            return QByteArray::fromBase64(value.toObject().value(QStringLiteral("drm")).toString().toLatin1());
    }
    return QByteArray();
}

void TestChartService::everyCallNeedsTheApiKey_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("apiKey");

    for (const char *path : {"/api/smn/GetAllProducts", "/api/smn//GetSubscriptions", "/api/smn/ActivateProduct",
                             "/api/smn/GetSegments/  4321-1", "/api/smn/HeaderUpdate/  4321-1"})
        QTest::addRow("%s without", path) << QString::fromLatin1(path) << QString();
    QTest::newRow("upper-case") << "/api/session/Login" << ChartServiceProcess::apiKey().toUpper();
    QTest::newRow("wrong") << "/api/session/Login" << QString(40, QLatin1Char('0'));
}

void TestChartService::everyCallNeedsTheApiKey()
{
    QFETCH(QString, path);
    QFETCH(QString, apiKey);
    QJsonObject body{{"session_id", m_session}, {"email", ChartServiceProcess::DemoEmail},
                     {"password", ChartServiceProcess::passwordHash(QString::fromLatin1(ChartServiceProcess::DemoPassword))}};
    if (!apiKey.isEmpty())
        body.insert(QStringLiteral("api_key"), apiKey);
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(m_service.baseUrl() + path)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    std::unique_ptr<QNetworkReply> reply(manager.post(request, QJsonDocument(body).toJson()));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 401);
    QCOMPARE(QJsonDocument::fromJson(reply->readAll()).object().value(QStringLiteral("error")).toString(),
             QStringLiteral("invalid_api_key"));
}

void TestChartService::sessionsAndRoutes()
{
    int status = 0;
    const QJsonObject talvos{{"product_type", "talvos"}, {"session_id", m_session}};
    QJsonObject reply = m_service.call(QStringLiteral("/GetSubscriptions"), QStringLiteral("smn"),
                                       {{"product_type", "talvos"}, {"session_id", "0123456789abcdef"}}, &status);
    QCOMPARE(status, 401);
    QCOMPARE(reply.value(QStringLiteral("error")).toString(), QStringLiteral("invalid_session"));
    // The subscriptions route exists only with its doubled slash.
    m_service.call(QStringLiteral("GetSubscriptions"), QStringLiteral("smn"), talvos, &status);
    QCOMPARE(status, 404);
    // The empty activation notice of an RQ update is refused cleanly.
    reply = m_service.call(QStringLiteral("ActivateProduct"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(status, 401);
    QVERIFY(!reply.value(QStringLiteral("message")).toString().isEmpty());

    reply = m_service.call(QStringLiteral("/GetSubscriptions"), QStringLiteral("smn"), talvos, &status);
    QCOMPARE(status, 200);
    QCOMPARE(reply.keys(), (QStringList{QStringLiteral("9011"), QStringLiteral("9012")}));
    QCOMPARE(reply.value(QStringLiteral("9012")).toObject().value(QStringLiteral("device_id")).toString(),
             ChartServiceProcess::encryptText(QString::fromLatin1(ChartServiceProcess::DemoMediaId)));
    QCOMPARE(reply.value(QStringLiteral("9011")).toObject().value(QStringLiteral("device_id")).toString(), QString());
}

void TestChartService::activationBindsReusesAndRefuses()
{
    int status = 0;
    // The free subscription binds to the first card...
    QJsonObject reply = activate(QStringLiteral("VM-BRE-02"), deviceId("CARD-A"), &status);
    QCOMPARE(status, 200);
    QCOMPARE(reply.value(QStringLiteral("subscription_id")).toInt(), 9002);
    QVERIFY(reply.value(QStringLiteral("expiration")).toInteger() > 0);
    // ...is reused for the same card even when the outer fields differ...
    QCOMPARE(activate(QStringLiteral("VM-BRE-02"), deviceId("  CARD-A ", "OTHER"), &status).value(QStringLiteral("subscription_id")).toInt(), 9002);
    // ...and refused to any other card.
    reply = activate(QStringLiteral("VM-BRE-02"), deviceId("CARD-B"), &status);
    QCOMPARE(status, 403);
    QVERIFY(!reply.contains(QStringLiteral("files")));

    // Bound to another card from the start; not owned; bad media file; unknown SKU.
    const QList<QPair<QString, int>> refused{{QStringLiteral("VM-CAL-03"), 403}, {QStringLiteral("VM-DUN-04"), 403},
                                             {QStringLiteral("VM-NONE"), 404}};
    for (const auto &[sku, expected] : refused) {
        activate(sku, deviceId("CARD-A"), &status);
        QCOMPARE(status, expected);
    }
    activate(QStringLiteral("VM-ARD-01"), QStringLiteral("no separators here"), &status);
    QCOMPARE(status, 400);
}

void TestChartService::ranges_data()
{
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("from");
    QTest::addColumn<qint64>("length");

    const qint64 size = 1048576;
    QTest::newRow("none") << QByteArray() << 200 << qint64(0) << size;
    QTest::newRow("closed") << QByteArray("bytes=100-199") << 206 << qint64(100) << qint64(100);
    QTest::newRow("open") << QByteArray("bytes=1000000-") << 206 << qint64(1000000) << size - 1000000;
    QTest::newRow("last byte") << QByteArray("bytes=1048575-1048575") << 206 << size - 1 << qint64(1);
    QTest::newRow("end past size") << QByteArray("bytes=1048000-2000000") << 206 << qint64(1048000) << size - 1048000;
    QTest::newRow("suffix") << QByteArray("bytes=-10") << 206 << size - 10 << qint64(10);
    QTest::newRow("block boundary") << QByteArray("bytes=65530-65545") << 206 << qint64(65530) << qint64(16);
    QTest::newRow("at size") << QByteArray("bytes=1048576-") << 416 << qint64(0) << qint64(0);
}

void TestChartService::ranges()
{
    QFETCH(QByteArray, range);
    QFETCH(int, status);
    QFETCH(qint64, from);
    QFETCH(qint64, length);

    const QString url = fileUrl(1101, QStringLiteral("VMARD01/tiles_0001.bin"));
    const QByteArray whole = m_service.expectedBytes(url);
    QCOMPARE(whole.size(), 1048576);
    Headers headers;
    int got = 0;
    const QByteArray body = m_service.get(url, &got, range.isEmpty() ? Headers() : Headers{{"Range", range}}, &headers);
    QCOMPARE(got, status);
    if (status == 416) {
        QCOMPARE(headerValue(headers, "Content-Range"), QByteArray("bytes */1048576"));
        QVERIFY(body.isEmpty());
        return;
    }
    QCOMPARE(body, whole.mid(from, length));
    QCOMPARE(headerValue(headers, "Content-Length").toLongLong(), length);
    const QByteArray etag = headerValue(headers, "ETag");
    QVERIFY2(etag.startsWith('"') && etag.endsWith('"') && etag.size() > 2, etag.constData());
    const QByteArray labelled = "bytes " + QByteArray::number(from) + '-' + QByteArray::number(from + length - 1) + "/1048576";
    QCOMPARE(headerValue(headers, "Content-Range"), status == 206 ? labelled : QByteArray());
}

void TestChartService::rqHeaderAndSegments()
{
    // The header of the newest build, read as the tool reads a container.
    QTemporaryDir dir;
    int status = 0;
    writeFile(dir.filePath(QStringLiteral("new.kim")),
              m_service.callRaw(QStringLiteral("HeaderUpdate/  4321-1"), QStringLiteral("smn"), {}, &status));
    QCOMPARE(status, 200);
    QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("new.kim"))).size(), 352);
    Mik::MikFile header(dir.filePath(QStringLiteral("new.kim")));
    QCOMPARE(header.chartName(), QStringLiteral("  4321-1"));
    QCOMPARE(header.buildNumber(), 5002u);
    // Opaque ranges carry data, so a writer that drops them is caught.
    QVERIFY(!header.headerImage().mid(32, 40).contains('\0'));

    // Chart names begin with blanks: with one too few there is no such chart.
    m_service.callRaw(QStringLiteral("GetSegments/ 4321-1"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(status, 404);
    const QJsonObject segments = m_service.call(QStringLiteral("GetSegments/  4321-1"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(status, 200);
    QStringList names;
    for (const QJsonValue &value : segments.value(QStringLiteral("files")).toArray())
        names << value.toObject().value(QStringLiteral("file")).toString();
    QCOMPARE(names, (QStringList{QStringLiteral("R004321_1.k01"), QStringLiteral("R004321_1.k02"), QStringLiteral("R004321_1.k03")}));

}

void TestChartService::rqRegistrationNeedsChartData()
{
    QTemporaryDir card;
    QVERIFY(ChartServiceProcess::makeCard(card.path(), QStringLiteral("rq"),
                                          {QStringLiteral("--sku"), QStringLiteral("123456-2"), QStringLiteral("--media-id"),
                                           QStringLiteral("NEW-RQ-7"), QStringLiteral("--segment-sizes"), QStringLiteral("262144,1000")}));
    const QByteArray drm = Mik::MikFile(card.filePath(QStringLiteral("R123456_2.kim"))).getDrmBytes();
    QVERIFY(!drm.isEmpty());
    const QString device = ChartServiceProcess::encryptText(QStringLiteral("NEW-RQ-7"));
    int status = 0;
    QCOMPARE(activate(QStringLiteral("123456-2"), device, &status, "").value(QStringLiteral("message")).toString(),
             QStringLiteral("Invalid Chart Data"));
    QCOMPARE(status, 400);
    activate(QStringLiteral("123456-2"), device, &status, drm.chopped(1));
    QCOMPARE(status, 400);
    QCOMPARE(activate(QStringLiteral("123456-2"), device, &status, drm).value(QStringLiteral("subscription_id")).toInt(), 9022);
    QCOMPARE(status, 200);
    QCOMPARE(keptDrm(9022, QString::fromLatin1(ChartServiceProcess::DemoEmail)), drm);
}

void TestChartService::transferFaults_data()
{
    // What the reply must be: its status, the file's bytes from start (length
    // of them, -1 to the end) with suffix behind, the byte at flip inverted,
    // and whether a Content-Range comes with it. A range, when asked, is
    // "bytes=5000-" of a file of 1,500,000 bytes.
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<bool>("ranged");
    QTest::addColumn<bool>("https");
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QByteArray>("suffix");
    QTest::addColumn<qint64>("flip");
    QTest::addColumn<bool>("contentRange");

    const qint64 half = (1500000 - 5000) / 2;
    auto row = [](const char *name, QJsonObject fault, bool ranged, bool https, int status, qint64 start, qint64 length,
                  const QByteArray &suffix = {}, qint64 flip = -1) {
        fault.insert(QStringLiteral("path"), QStringLiteral("*/VMARD01/tiles_0002.bin"));
        const bool contentRange = status == 206 && !QByteArrayList{"omit_content_range", "short_no_content_range"}.contains(
                                                       fault.value(QStringLiteral("kind")).toString().toLatin1());
        QTest::newRow(name) << fault << ranged << https << status << start << length << suffix << flip << contentRange;
    };
    row("close_after", {{"kind", "close_after"}, {"bytes", 70000}}, false, false, 200, 0, 70000);
    row("close_after ranged", {{"kind", "close_after"}, {"bytes", 10}}, true, false, 206, 5000, 10);
    row("close_after over https", {{"kind", "close_after"}, {"bytes", 70000}}, false, true, 200, 0, 70000);
    row("ignore_range", {{"kind", "ignore_range"}}, true, false, 200, 0, -1);
    row("omit_content_range", {{"kind", "omit_content_range"}}, true, false, 206, 5000, -1);
    row("wrong_etag", {{"kind", "wrong_etag"}}, false, false, 200, 0, -1);
    row("wrong_etag given", {{"kind", "wrong_etag"}, {"etag", "other"}}, false, false, 200, 0, -1);
    row("stall before", {{"kind", "stall"}, {"seconds", 0.5}}, false, false, 200, 0, -1);
    row("stall inside", {{"kind", "stall"}, {"seconds", 0.5}, {"bytes", 300000}}, false, false, 200, 0, -1);
    row("throttle", {{"kind", "throttle"}, {"bytes_per_second", 3000000}}, false, false, 200, 0, -1);
    row("status", {{"kind", "status"}, {"status", 503}, {"message", "Try later"}}, false, false, 503, 0, 0);
    row("corrupt", {{"kind", "corrupt"}}, false, false, 200, 0, -1, {}, 750000);
    row("corrupt at offset", {{"kind", "corrupt"}, {"offset", 5001}}, true, false, 206, 5000, -1, {}, 5001);
    row("short_no_content_range", {{"kind", "short_no_content_range"}}, true, false, 206, 5000, half);
    row("short_no_content_range as 200", {{"kind", "short_no_content_range"}, {"status", 200}, {"bytes", 1000}}, true, false, 200, 5000, 1000);
    row("wrong_range_start", {{"kind", "wrong_range_start"}}, true, false, 206, 5001, -1);
    row("wrong_range_start before", {{"kind", "wrong_range_start"}, {"shift", -4000}}, true, false, 206, 1000, -1);
    row("short_body", {{"kind", "short_body"}}, false, false, 200, 0, 750000);
    row("short_body ranged", {{"kind", "short_body"}, {"bytes", 100}}, true, false, 206, 5000, 100);
    row("short_body over https", {{"kind", "short_body"}}, false, true, 200, 0, 750000);
    row("extra_byte", {{"kind", "extra_byte"}}, false, false, 200, 0, -1, "X");
    row("extra_byte ranged", {{"kind", "extra_byte"}}, true, false, 206, 5000, -1, "X");
    row("extra_byte over https", {{"kind", "extra_byte"}}, false, true, 200, 0, -1, "X");
}

void TestChartService::transferFaults()
{
    QFETCH(QJsonObject, fault);
    QFETCH(bool, ranged);
    QFETCH(bool, https);
    QFETCH(int, status);
    QFETCH(qint64, start);
    QFETCH(qint64, length);
    QFETCH(QByteArray, suffix);
    QFETCH(qint64, flip);
    QFETCH(bool, contentRange);

    const QString url = fileUrl(1101, QStringLiteral("VMARD01/tiles_0002.bin"), https);
    const QByteArray whole = m_service.expectedBytes(url);
    QCOMPARE(whole.size(), 1500000);
    QVERIFY(m_service.addFault(fault));
    const Headers request = ranged ? Headers{{"Range", "bytes=5000-"}} : Headers();
    Headers headers;
    int got = 0;
    QElapsedTimer timer;
    timer.start();
    const QByteArray body = m_service.get(url, &got, request, &headers);
    const QString kind = fault.value(QStringLiteral("kind")).toString();
    QCOMPARE(got, status);
    if (kind == QLatin1String("stall") || kind == QLatin1String("throttle"))
        QVERIFY2(timer.elapsed() >= 400, qPrintable(QString::number(timer.elapsed())));
    if (status == 503) {
        QCOMPARE(QJsonDocument::fromJson(body).object().value(QStringLiteral("message")).toString(), QStringLiteral("Try later"));
    } else {
        QByteArray expected = whole.mid(start, length) + suffix;
        if (flip >= 0)
            expected[flip - start] = char(expected.at(flip - start) ^ 0xff);
        QCOMPARE(body, expected);
        const QByteArray range = headerValue(headers, "Content-Range");
        QCOMPARE(range, contentRange ? "bytes " + QByteArray::number(start) + "-1499999/1500000" : QByteArray());
        if (kind != QLatin1String("close_after"))
            QCOMPARE(headerValue(headers, "Content-Length").toLongLong(), body.size());
    }
    if (kind == QLatin1String("wrong_etag")) {
        Headers clean;
        m_service.get(url, nullptr, {}, &clean);
        // Clients look for their tag inside the header: it must not be there.
        QVERIFY(!headerValue(headers, "ETag").contains(headerValue(clean, "ETag").mid(1).chopped(1)));
        if (fault.contains(QStringLiteral("etag")))
            QCOMPARE(headerValue(headers, "ETag"), QByteArray("\"other\""));
    }

    // One hit only, reported as such: the retry gets the real thing.
    const QJsonArray armed = m_service.faults();
    QCOMPARE(armed.size(), 1);
    QCOMPARE(armed.first().toObject().value(QStringLiteral("count")).toInt(), 0);
    QCOMPARE(m_service.firedCount(kind), 1);
    QCOMPARE(m_service.get(url, &got, request), whole.mid(ranged ? 5000 : 0));
    QCOMPARE(got, ranged ? 206 : 200);
}

void TestChartService::replyFaultsFireOnlyWhereArmed()
{
    // JSON replies: not JSON at all, and cut in half, each as often as asked.
    QVERIFY(m_service.addFault({{"kind", "non_json"}, {"path", "*GetAllProducts"}}));
    QVERIFY(m_service.addFault({{"kind", "truncated_json"}, {"path", "*GetSubscriptions"}, {"count", 2}}));
    int status = 0;
    QVERIFY(QJsonDocument::fromJson(m_service.callRaw(QStringLiteral("GetAllProducts"), QStringLiteral("smn"), {}, &status)).isNull());
    QCOMPARE(status, 200);
    const QJsonObject body{{"product_type", "velmora_region"}, {"session_id", m_session}};
    for (int i = 0; i < 3; ++i) {
        const QByteArray raw = m_service.callRaw(QStringLiteral("/GetSubscriptions"), QStringLiteral("smn"), body);
        QCOMPARE(QJsonDocument::fromJson(raw).isObject(), i == 2);
    }
    QVERIFY(QJsonDocument::fromJson(m_service.callRaw(QStringLiteral("GetAllProducts"), QStringLiteral("smn"), {})).isObject());
    QCOMPARE(m_service.firedCount(QStringLiteral("non_json")), 1);
    QCOMPARE(m_service.firedCount(QStringLiteral("truncated_json")), 2);

    // A status on one endpoint leaves the others alone; -1 never runs out.
    QVERIFY(m_service.addFault({{"kind", "status"}, {"path", "/api/smn/ActivateProduct"}, {"count", -1}, {"message", "Activation is down"}}));
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(activate(QStringLiteral("TV-NORTH-1"), deviceId("CARD-T"), &status).value(QStringLiteral("message")).toString(),
                 QStringLiteral("Activation is down"));
        QCOMPARE(status, 500);
    }
    m_service.call(QStringLiteral("GetAllProducts"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(status, 200);
    QCOMPARE(m_service.firedCount(QStringLiteral("status")), 3);
    QVERIFY(m_service.clearFaults());
    QCOMPARE(m_service.firedCount(), 0);

    // A range fault waits for a request that asks for a range: a plain one
    // neither changes nor uses it up.
    QVERIFY(m_service.addFault({{"kind", "wrong_range_start"}, {"path", "*/VMARD01/region.idx"}}));
    const QString idx = fileUrl(1101, QStringLiteral("VMARD01/region.idx"));
    const QByteArray plain = m_service.get(idx, &status);
    QCOMPARE(m_service.firedCount(QStringLiteral("wrong_range_start")), 0);
    QCOMPARE(m_service.get(idx, &status, {{"Range", "bytes=10-"}}), plain.mid(11));
    QCOMPARE(m_service.firedCount(QStringLiteral("wrong_range_start")), 1);

    // Unknown kinds are refused, not silently ignored.
    QVERIFY(!m_service.addFault({{"kind", "explode"}}));
}

void TestChartService::rqCardIsWhatTheServiceKeeps_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("base");
    QTest::addColumn<int>("subscription");
    QTest::addColumn<QString>("account");
    QTest::addColumn<QList<qint64>>("segments");

    QTest::newRow("demo card") << QStringList() << "R004321_1" << 9021 << ChartServiceProcess::DemoEmail
                               << QList<qint64>{262144, 262144, 100000};
    // Small segments: the chain must still fit the first one and hop into the next.
    QTest::newRow("test catalogue card")
        << QStringList{"--sku", "  5555-1", "--media-id", "QTEST-RQ-0001", "--segment-size", "16384", "--segment-sizes", "16384,16384,3000"}
        << "R005555_1" << 9503 << ChartServiceProcess::TestEmail << QList<qint64>{16384, 16384, 3000};
}

void TestChartService::rqCardIsWhatTheServiceKeeps()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, base);
    QFETCH(int, subscription);
    QFETCH(QString, account);
    QFETCH(QList<qint64>, segments);

    QTemporaryDir dir;
    QVERIFY(ChartServiceProcess::makeCard(dir.path(), QStringLiteral("rq"), arguments));
    const QString path = dir.filePath(base + QStringLiteral(".kim"));
    Mik::MikFile kim(path);
    // An older build than the service's, finished as the control head leaves it.
    QCOMPARE(kim.flags(), quint64(Mik::MikFile::FlagQvBuild | Mik::MikFile::FlagFinalized | Mik::MikFile::FlagDigest));
    QCOMPARE(kim.buildNumber(), 5001u);
    QCOMPARE(kim.kimFileSize(), quint64(QFileInfo(path).size()));
    QCOMPARE(kim.payloadSha1(), QCryptographicHash::hash(readAll(path).mid(352), QCryptographicHash::Sha1));
    QCOMPARE(QStringLiteral("R%1_%2").arg(kim.skuNumber(), 6, 10, QLatin1Char('0')).arg(kim.skuSuffix()), base);
    for (int i = 0; i < segments.size(); ++i)
        QCOMPARE(kim.segments.value(QStringLiteral("k0%1").arg(i + 1)).size(), segments.at(i));
    QCOMPARE(kim.segments.size(), segments.size());
    // Its chart data, read the tool's way, is exactly what the service
    // keeps with the card's subscription.
    bool whole = false;
    const QByteArray drm = kim.getDrmBytes(&whole);
    QVERIFY(whole);
    QCOMPARE(drm, keptDrm(subscription, account));
}

QTEST_GUILESS_MAIN(TestChartService)
#include "tst_chartservice.moc"
