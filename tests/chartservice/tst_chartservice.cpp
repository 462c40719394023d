// The stand-in service must be as strict as the real one: a test that
// passes against it must not pass because it says yes to everything.
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include "chartserviceprocess.h"

namespace {

const QString separator = QStringLiteral("-----Trelmarkholding---media---001-----");

QString deviceId(const QString &mediaId, const QString &head = QStringLiteral("HEAD"))
{
    return head + separator + QLatin1Char(' ') + mediaId + QLatin1Char(' ') + separator + QStringLiteral("TAIL");
}

QByteArray headerValue(const QList<QPair<QByteArray, QByteArray>> &headers, const QByteArray &name)
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return QByteArray();
}

QByteArray sha1Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex();
}

} // namespace

class TestChartService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void signIn_data();
    void signIn();
    void everyCallNeedsTheApiKey_data();
    void everyCallNeedsTheApiKey();
    void sessionCallsNeedALiveSession();
    void productListHasAllThreeLines();
    void activationBindsReusesAndRefuses();
    void recordsDescribeWhatIsServed_data();
    void recordsDescribeWhatIsServed();
    void rangesAndEtag_data();
    void rangesAndEtag();
    void productInfoAndPictures();
    void rqHeaderAndSegments();
    void oddHeadersOnDemand();
    void rqRegistrationNeedsChartData();
    void firmwareIsConfigurable();
    void faultsOnDemand_data();
    void faultsOnDemand();
    void faultsFireOnlyOnMatchingPathsAndCount();
    void requestLogShowsWhatWasSent();
    void bindingsSurviveRestartWithStateFile();
    void commandLineArmsFaultsAndFirmware();

private:
    QByteArray fileUrl(int productId, const QString &file, bool cdn = false, bool https = false) const;
    ChartServiceProcess m_service;
    QString m_session;
};

void TestChartService::initTestCase()
{
    QElapsedTimer startup;
    startup.start();
    QVERIFY(m_service.start());
    QVERIFY2(startup.elapsed() < 1000, qPrintable(QString::number(startup.elapsed())));
}

void TestChartService::init()
{
    m_service.useHttps(false);
    QVERIFY(m_service.clearFaults());
    QVERIFY(m_service.clearRequestLog());
    m_session = m_service.signIn();
    QVERIFY(!m_session.isEmpty());
}

QByteArray TestChartService::fileUrl(int productId, const QString &file, bool cdn, bool https) const
{
    return ((https ? m_service.httpsBaseUrl() : m_service.baseUrl()) + (cdn ? QStringLiteral("/cdn/") : QStringLiteral("/origin/")) + QString::number(productId)
            + QLatin1Char('/') + file)
        .toUtf8();
}

void TestChartService::signIn_data()
{
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");

    QTest::newRow("demo") << "demo@quorvel.test" << "Demo-Pass-2024" << 200 << "";
    QTest::newRow("upper-case e-mail") << "DEMO@Quorvel.TEST" << "Demo-Pass-2024" << 200 << "";
    QTest::newRow("wrong password") << "demo@quorvel.test" << "Demo-Pass-2025" << 401 << "wrong_password";
    QTest::newRow("unknown") << "nobody@quorvel.test" << "Demo-Pass-2024" << 401 << "user_not_found";
    QTest::newRow("locked") << "locked@quorvel.test" << "Locked-Pass-2024" << 403 << "account_not_active";
    QTest::newRow("locked, wrong password") << "locked@quorvel.test" << "nope-nope" << 401 << "wrong_password";
}

void TestChartService::signIn()
{
    QFETCH(QString, email);
    QFETCH(QString, password);
    QFETCH(int, status);
    QFETCH(QString, error);

    int got = 0;
    const QJsonObject reply = m_service.call(QStringLiteral("Login"), QStringLiteral("session"),
                                             {{QStringLiteral("email"), email},
                                              {QStringLiteral("password"), ChartServiceProcess::passwordHash(password)},
                                              {QStringLiteral("remember_me"), true}},
                                             &got);
    QCOMPARE(got, status);
    if (error.isEmpty()) {
        QCOMPARE(reply.value(QStringLiteral("session_id")).toString().size(), 32);
    } else {
        QCOMPARE(reply.value(QStringLiteral("error")).toString(), error);
        QVERIFY(!reply.value(QStringLiteral("message")).toString().isEmpty());
        QVERIFY(!reply.contains(QStringLiteral("session_id")));
    }
}

void TestChartService::everyCallNeedsTheApiKey_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("apiKey");

    const QString upper = ChartServiceProcess::apiKey().toUpper();
    for (const QString &path : {QStringLiteral("/api/session/Login"), QStringLiteral("/api/smn/GetAllProducts"),
                               QStringLiteral("/api/smn//GetSubscriptions"), QStringLiteral("/api/smn/ActivateProduct"),
                               QStringLiteral("/api/smn/GetSegments/  4321-1"),
                               QStringLiteral("/api/smn/HeaderUpdate/  4321-1")}) {
        QTest::addRow("%s missing", qPrintable(path)) << path << QString();
        QTest::addRow("%s upper-case", qPrintable(path)) << path << upper;
        QTest::addRow("%s wrong", qPrintable(path)) << path << QString(40, QLatin1Char('0'));
    }
}

void TestChartService::everyCallNeedsTheApiKey()
{
    QFETCH(QString, path);
    QFETCH(QString, apiKey);
    QJsonObject body{{QStringLiteral("session_id"), m_session}};
    if (!apiKey.isEmpty())
        body.insert(QStringLiteral("api_key"), apiKey);
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(m_service.baseUrl() + path)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply = manager.post(request, QJsonDocument(body).toJson());
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 401);
    const QJsonObject object = QJsonDocument::fromJson(reply->readAll()).object();
    QCOMPARE(object.value(QStringLiteral("error")).toString(), QStringLiteral("invalid_api_key"));
    QVERIFY(!object.value(QStringLiteral("message")).toString().isEmpty());
    delete reply;
}

void TestChartService::sessionCallsNeedALiveSession()
{
    int status = 0;
    QJsonObject reply = m_service.call(QStringLiteral("/GetSubscriptions"), QStringLiteral("smn"),
                                       {{QStringLiteral("product_type"), QStringLiteral("talvos")},
                                        {QStringLiteral("session_id"), QStringLiteral("0123456789abcdef")}},
                                       &status);
    QCOMPARE(status, 401);
    QCOMPARE(reply.value(QStringLiteral("error")).toString(), QStringLiteral("invalid_session"));

    // The subscriptions route exists only with its doubled slash.
    m_service.call(QStringLiteral("GetSubscriptions"), QStringLiteral("smn"),
                   {{QStringLiteral("product_type"), QStringLiteral("talvos")}, {QStringLiteral("session_id"), m_session}},
                   &status);
    QCOMPARE(status, 404);

    // The empty activation notice of an RQ update is refused cleanly.
    reply = m_service.call(QStringLiteral("ActivateProduct"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(status, 401);
    QVERIFY(!reply.value(QStringLiteral("message")).toString().isEmpty());

    reply = m_service.call(QStringLiteral("/GetSubscriptions"), QStringLiteral("smn"),
                           {{QStringLiteral("product_type"), QStringLiteral("talvos")}, {QStringLiteral("session_id"), m_session}},
                           &status);
    QCOMPARE(status, 200);
    QCOMPARE(reply.keys(), (QStringList{QStringLiteral("9011"), QStringLiteral("9012")}));
    const QJsonObject bound = reply.value(QStringLiteral("9012")).toObject();
    QCOMPARE(bound.value(QStringLiteral("product_id")).toInt(), 2102);
    QCOMPARE(bound.value(QStringLiteral("device_id")).toString(),
             ChartServiceProcess::encryptText(QString::fromLatin1(ChartServiceProcess::DemoMediaId)));
    QCOMPARE(reply.value(QStringLiteral("9011")).toObject().value(QStringLiteral("device_id")).toString(), QString());
}

void TestChartService::productListHasAllThreeLines()
{
    int status = 0;
    const QJsonObject reply = m_service.call(QStringLiteral("GetAllProducts"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(status, 200);
    QCOMPARE(reply.keys(), (QStringList{QStringLiteral("rq_sd"), QStringLiteral("talvos"), QStringLiteral("velmora_region")}));
    const QJsonObject rq = reply.value(QStringLiteral("rq_sd")).toObject().value(QStringLiteral("3101")).toObject();
    QCOMPARE(rq.value(QStringLiteral("sku")).toString(), QStringLiteral("  4321-1"));
    QCOMPARE(rq.value(QStringLiteral("build_number")).toInt(), 5002);
    QCOMPARE(rq.value(QStringLiteral("build_code")).toInt(), 27123);
    const QJsonObject vm = reply.value(QStringLiteral("velmora_region")).toObject().value(QStringLiteral("1101")).toObject();
    QCOMPARE(vm.value(QStringLiteral("sku")).toString(), QStringLiteral("VM-ARD-01"));
    QVERIFY(vm.value(QStringLiteral("size_in_kb")).toInt() > 4000);
    QVERIFY(!vm.contains(QStringLiteral("build_number")));
}

void TestChartService::activationBindsReusesAndRefuses()
{
    auto activate = [this](const QString &sku, const QString &device, int *status) {
        return m_service.call(QStringLiteral("ActivateProduct"), QStringLiteral("smn"),
                              {{QStringLiteral("sku"), sku},
                               {QStringLiteral("device_id"), device},
                               {QStringLiteral("session_id"), m_session}},
                              status);
    };
    int status = 0;
    // The free subscription binds to the first card...
    QJsonObject reply = activate(QStringLiteral("VM-BRE-02"), deviceId(QStringLiteral("CARD-A")), &status);
    QCOMPARE(status, 200);
    QCOMPARE(reply.value(QStringLiteral("subscription_id")).toInt(), 9002);
    QVERIFY(reply.value(QStringLiteral("expiration")).toInteger() > 0);
    // ...is reused for the same card even when the outer fields differ...
    reply = activate(QStringLiteral("VM-BRE-02"), deviceId(QStringLiteral("  CARD-A "), QStringLiteral("OTHER")), &status);
    QCOMPARE(status, 200);
    QCOMPARE(reply.value(QStringLiteral("subscription_id")).toInt(), 9002);
    // ...and refused to any other card.
    reply = activate(QStringLiteral("VM-BRE-02"), deviceId(QStringLiteral("CARD-B")), &status);
    QCOMPARE(status, 403);
    QVERIFY(!reply.value(QStringLiteral("message")).toString().isEmpty());
    QVERIFY(!reply.contains(QStringLiteral("files")));

    bool found = false;
    for (const QJsonValue &value : m_service.subscriptions()) {
        const QJsonObject s = value.toObject();
        if (s.value(QStringLiteral("subscription_id")).toInt() == 9002) {
            QCOMPARE(s.value(QStringLiteral("media_id")).toString(), QStringLiteral("CARD-A"));
            found = true;
        }
    }
    QVERIFY(found);

    // Bound to another card from the start; not owned; bad media file; unknown SKU.
    activate(QStringLiteral("VM-CAL-03"), deviceId(QStringLiteral("CARD-A")), &status);
    QCOMPARE(status, 403);
    activate(QStringLiteral("VM-DUN-04"), deviceId(QStringLiteral("CARD-A")), &status);
    QCOMPARE(status, 403);
    activate(QStringLiteral("VM-ARD-01"), QStringLiteral("no separators here"), &status);
    QCOMPARE(status, 400);
    activate(QStringLiteral("VM-NONE"), deviceId(QStringLiteral("CARD-A")), &status);
    QCOMPARE(status, 404);
    // Already bound to the demo card by the catalogue.
    reply = activate(QStringLiteral("VM-ARD-01"), deviceId(QString::fromLatin1(ChartServiceProcess::DemoMediaId)), &status);
    QCOMPARE(status, 200);
    QCOMPARE(reply.value(QStringLiteral("subscription_id")).toInt(), 9001);
}

void TestChartService::recordsDescribeWhatIsServed_data()
{
    QTest::addColumn<bool>("https");
    QTest::newRow("http") << false;
    QTest::newRow("https") << true;
}

void TestChartService::recordsDescribeWhatIsServed()
{
    QFETCH(bool, https);
    m_service.useHttps(https);
    int status = 0;
    const QJsonObject reply = m_service.call(QStringLiteral("ActivateProduct"), QStringLiteral("smn"),
                                             {{QStringLiteral("sku"), QStringLiteral("VM-ARD-01")},
                                              {QStringLiteral("device_id"), deviceId(QString::fromLatin1(ChartServiceProcess::DemoMediaId))},
                                              {QStringLiteral("session_id"), m_session}},
                                             &status);
    QCOMPARE(status, 200);
    const QString endPoint = reply.value(QStringLiteral("end_point")).toString();
    const QString cdn = reply.value(QStringLiteral("cdn_end_point")).toString();
    // End points lead back over the protocol the activation came in on.
    const QString base = https ? m_service.httpsBaseUrl() : m_service.baseUrl();
    QVERIFY2(endPoint.startsWith(base + QLatin1Char('/')), qPrintable(endPoint));
    QVERIFY2(cdn.startsWith(base + QLatin1Char('/')), qPrintable(cdn));
    QVERIFY(endPoint.endsWith(QLatin1Char('/')));
    QVERIFY(cdn.endsWith(QLatin1Char('/')));
    QVERIFY(endPoint != cdn);

    const QJsonArray files = reply.value(QStringLiteral("files")).toArray();
    QCOMPARE(files.size(), 6);
    int emptyRecords = 0;
    int inlineOnly = 0;
    for (const QJsonValue &value : files) {
        const QJsonObject record = value.toObject();
        const QString file = record.value(QStringLiteral("file")).toString();
        QVERIFY2(file.startsWith(QLatin1String("VMARD01/")), qPrintable(file));
        QVERIFY(record.value(QStringLiteral("size")).isDouble());
        const qint64 size = record.value(QStringLiteral("size")).toInteger();
        const QByteArray sha1 = record.value(QStringLiteral("sha1")).toString().toLatin1();
        QCOMPARE(sha1, sha1.toLower());
        QVERIFY(!record.value(QStringLiteral("etag")).toString().contains(QLatin1Char('"')));
        const QByteArray data = QByteArray::fromBase64(record.value(QStringLiteral("data")).toString().toLatin1());
        if (size == 0) {
            data.isEmpty() ? ++emptyRecords : ++inlineOnly;
            QCOMPARE(sha1, sha1Hex(QByteArray()));
            continue;
        }
        // Both end points serve the same bytes, whose SHA-1 is the record's.
        int got = 0;
        const QByteArray origin = m_service.get(endPoint + file, &got);
        QCOMPARE(got, 200);
        QCOMPARE(origin.size(), size);
        QCOMPARE(sha1Hex(origin), sha1);
        QCOMPARE(m_service.get(cdn + file), origin);
        QCOMPARE(m_service.expectedBytes(endPoint + file), origin);
    }
    QCOMPARE(emptyRecords, 1);
    QCOMPARE(inlineOnly, 1);
}

void TestChartService::rangesAndEtag_data()
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
    QTest::newRow("past size") << QByteArray("bytes=5000000-5000001") << 416 << qint64(0) << qint64(0);
}

void TestChartService::rangesAndEtag()
{
    QFETCH(QByteArray, range);
    QFETCH(int, status);
    QFETCH(qint64, from);
    QFETCH(qint64, length);

    const QString url = QString::fromUtf8(fileUrl(1101, QStringLiteral("VMARD01/tiles_0001.bin")));
    const QByteArray whole = m_service.expectedBytes(url);
    QCOMPARE(whole.size(), 1048576);

    QList<QPair<QByteArray, QByteArray>> request;
    if (!range.isEmpty())
        request.append({QByteArray("Range"), range});
    QList<QPair<QByteArray, QByteArray>> headers;
    int got = 0;
    const QByteArray body = m_service.get(url, &got, request, &headers);
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
    if (status == 206) {
        QCOMPARE(headerValue(headers, "Content-Range"),
                 QByteArray("bytes ") + QByteArray::number(from) + '-' + QByteArray::number(from + length - 1) + "/1048576");
    } else {
        QVERIFY(headerValue(headers, "Content-Range").isEmpty());
    }
}

void TestChartService::productInfoAndPictures()
{
    int status = 0;
    const QJsonObject info = m_service.call(QStringLiteral("GetProductInfo"), QStringLiteral("smn"),
                                            {{QStringLiteral("sku"), QStringLiteral("VM-ARD-01")},
                                             {QStringLiteral("encode_image"), true}},
                                            &status);
    QCOMPARE(status, 200);
    QCOMPARE(info.value(QStringLiteral("type")).toString(), QStringLiteral("velmora_region"));
    QVERIFY(!info.value(QStringLiteral("byline")).toString().isEmpty());
    QVERIFY(!info.value(QStringLiteral("description")).toString().isEmpty());
    QVERIFY(info.value(QStringLiteral("lake_list_url")).toString().startsWith(QLatin1String("https://")));
    const QJsonArray images = info.value(QStringLiteral("images")).toArray();
    QCOMPARE(images.size(), 3);
    QCOMPARE(images.at(1).toObject().value(QStringLiteral("type")).toString(), QStringLiteral("cover"));
    for (const QJsonValue &image : images) {
        const QString url = image.toObject().value(QStringLiteral("url")).toString();
        QVERIFY(url.startsWith(m_service.baseUrl()));
        const QByteArray png = m_service.get(url, &status);
        QCOMPARE(status, 200);
        QVERIFY(png.startsWith(QByteArray("\x89PNG\r\n\x1a\n", 8)));
        QCOMPARE(png.mid(12, 4), QByteArray("IHDR"));
        QCOMPARE(qFromBigEndian<quint32>(png.constData() + 16), 240u);
        QVERIFY(png.endsWith(QByteArray("IEND\xae\x42\x60\x82", 8)));
    }

    m_service.call(QStringLiteral("GetProductInfo"), QStringLiteral("smn"), {{QStringLiteral("sku"), QStringLiteral("NOPE")}}, &status);
    QCOMPARE(status, 404);
    m_service.get(QStringLiteral("/images/1101/3.png"), &status);
    QCOMPARE(status, 404);
}

void TestChartService::rqHeaderAndSegments()
{
    // Chart names begin with blanks; they travel percent-encoded.
    int status = 0;
    const QByteArray header = m_service.callRaw(QStringLiteral("HeaderUpdate/  4321-1"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(status, 200);
    QCOMPARE(header.size(), 352);
    QCOMPARE(header.left(8), QByteArray("romnirB\0", 8));
    QCOMPARE(qFromLittleEndian<quint64>(header.constData() + 8), quint64(352));
    QCOMPARE(qFromLittleEndian<quint64>(header.constData() + 24), quint64(262144));
    QVERIFY(qFromLittleEndian<quint64>(header.constData() + 72) & 0x800);
    QCOMPARE(qFromLittleEndian<quint32>(header.constData() + 156), 5002u);
    QCOMPARE(qFromLittleEndian<quint32>(header.constData() + 160), 1u);
    QCOMPARE(qFromLittleEndian<quint32>(header.constData() + 164), 4321u);
    QCOMPARE(qFromLittleEndian<quint64>(header.constData() + 168), quint64(352));
    QCOMPARE(qFromLittleEndian<quint32>(header.constData() + 244), 27123u);
    QCOMPARE(qFromLittleEndian<quint32>(header.constData() + 344), 27123u);
    // Opaque ranges carry data, so a reader that drops them is caught.
    QVERIFY(!header.mid(32, 40).contains('\0'));
    QVERIFY(!header.mid(176, 68).contains('\0'));

    // Without the blanks, or with one too few, there is no such chart.
    const QJsonObject missing = QJsonDocument::fromJson(
        m_service.callRaw(QStringLiteral("HeaderUpdate/4321-1"), QStringLiteral("smn"), {}, &status)).object();
    QCOMPARE(status, 404);
    QVERIFY(!missing.value(QStringLiteral("message")).toString().isEmpty());
    m_service.callRaw(QStringLiteral("GetSegments/ 4321-1"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(status, 404);

    const QJsonObject segments = m_service.call(QStringLiteral("GetSegments/  4321-1"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(status, 200);
    const QJsonArray files = segments.value(QStringLiteral("files")).toArray();
    QCOMPARE(files.size(), 3);
    QStringList names;
    for (const QJsonValue &value : files) {
        const QJsonObject record = value.toObject();
        names << record.value(QStringLiteral("file")).toString();
        const QByteArray bytes = m_service.get(segments.value(QStringLiteral("end_point")).toString() + names.last());
        QCOMPARE(bytes.size(), record.value(QStringLiteral("size")).toInteger());
        QCOMPARE(sha1Hex(bytes), record.value(QStringLiteral("sha1")).toString().toLatin1());
    }
    QCOMPARE(names, (QStringList{QStringLiteral("R004321_1.k01"), QStringLiteral("R004321_1.k02"), QStringLiteral("R004321_1.k03")}));
}

void TestChartService::oddHeadersOnDemand()
{
    QVERIFY(m_service.addFault({{"kind", "header_fields"}, {"path", "*HeaderUpdate/*"}, {"sku", "4321-1"},
                                {"build_number", 4000}, {"build_code", 5}, {"flags", 0}}));
    int status = 0;
    QByteArray header = m_service.callRaw(QStringLiteral("HeaderUpdate/  4321-1"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(status, 200);
    QCOMPARE(header.size(), 352);
    QCOMPARE(qFromLittleEndian<quint64>(header.constData() + 72), quint64(0));
    QCOMPARE(qFromLittleEndian<quint32>(header.constData() + 156), 4000u);
    QCOMPARE(qFromLittleEndian<quint32>(header.constData() + 244), 5u);

    QVERIFY(m_service.addFault({{"kind", "header_fields"}, {"path", "*HeaderUpdate/*"}, {"header_size", 4096}, {"length", 100}}));
    header = m_service.callRaw(QStringLiteral("HeaderUpdate/  4321-1"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(status, 200);
    QCOMPARE(header.size(), 100);
    QCOMPARE(qFromLittleEndian<quint64>(header.constData() + 8), quint64(4096));

    // Spent: the next header is the real one again.
    header = m_service.callRaw(QStringLiteral("HeaderUpdate/  4321-1"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(header.size(), 352);
    QCOMPARE(qFromLittleEndian<quint32>(header.constData() + 156), 5002u);
}

void TestChartService::rqRegistrationNeedsChartData()
{
    QTemporaryDir card;
    QVERIFY(ChartServiceProcess::makeCard(card.path(), QStringLiteral("rq"),
                                          {QStringLiteral("--sku"), QStringLiteral("123456-2"), QStringLiteral("--media-id"),
                                           QStringLiteral("NEW-RQ-7"), QStringLiteral("--segment-sizes"),
                                           QStringLiteral("262144,1000")}));
    // The chart-data blocks as the tool extracts them: every block of type
    // 2 or more, re-linked behind a 352-byte header. The card maker's
    // container is walked here by hand.
    QFile kim(card.path() + QStringLiteral("/R123456_2.kim"));
    QVERIFY(kim.open(QIODevice::ReadOnly));
    QFile k01(card.path() + QStringLiteral("/R123456_2.k01"));
    QVERIFY(k01.open(QIODevice::ReadOnly));
    const QByteArray segment0 = kim.readAll();
    const QByteArray segment1 = k01.readAll();
    QByteArray drm;
    quint64 position = 352;
    while (position) {
        const QByteArray &bytes = position < 262144 ? segment0 : segment1;
        const char *p = bytes.constData() + position % 262144;
        const quint16 type = qFromLittleEndian<quint16>(p);
        const quint8 flags = quint8(p[2]);
        const qint32 length = qFromLittleEndian<qint32>(p + 4);
        const int headerLength = 8 + ((flags & 4) ? 0 : 8) + ((flags & 0x20) ? 16 : 0);
        const quint64 next = (flags & 4) ? 0 : qFromLittleEndian<quint64>(p + 8);
        const int total = headerLength + length + ((flags & 2) ? 20 : 0);
        if (type >= 2) {
            QByteArray block(p, total);
            if (!(flags & 4) && next)
                qToLittleEndian<quint64>(quint64(352 + drm.size() + total), block.data() + 8);
            drm += block;
        }
        position = next;
    }

    const QString device = ChartServiceProcess::encryptText(QStringLiteral("NEW-RQ-7"));
    auto activate = [&](const QByteArray &chain, int *status) {
        return m_service.call(QStringLiteral("ActivateProduct"), QStringLiteral("smn"),
                              {{QStringLiteral("sku"), QStringLiteral("123456-2")},
                               {QStringLiteral("device_id"), device},
                               {QStringLiteral("session_id"), m_session},
                               {QStringLiteral("drm"), QString::fromLatin1(chain.toBase64())}},
                              status);
    };
    int status = 0;
    QJsonObject reply = activate(QByteArray(), &status);
    QCOMPARE(status, 400);
    QCOMPARE(reply.value(QStringLiteral("message")).toString(), QStringLiteral("Invalid Chart Data"));
    activate(drm.left(drm.size() - 1), &status);
    QCOMPARE(status, 400);

    reply = activate(drm, &status);
    QCOMPARE(status, 200);
    QCOMPARE(reply.value(QStringLiteral("subscription_id")).toInt(), 9022);
    const QJsonObject subscriptions = m_service.call(QStringLiteral("/GetSubscriptions"), QStringLiteral("smn"),
                                                     {{QStringLiteral("product_type"), QStringLiteral("rq_sd")},
                                                      {QStringLiteral("session_id"), m_session}});
    const QJsonObject registered = subscriptions.value(QStringLiteral("9022")).toObject();
    QCOMPARE(registered.value(QStringLiteral("device_id")).toString(), device);
    QCOMPARE(QByteArray::fromBase64(registered.value(QStringLiteral("drm")).toString().toLatin1()), drm);

    // The demo RQ card's subscription holds the blocks of the demo card that
    // make-card writes, so restoring and updating that card agree.
    QTemporaryDir demoCard;
    QVERIFY(ChartServiceProcess::makeCard(demoCard.path(), QStringLiteral("rq")));
    const QByteArray demoDrm = QByteArray::fromBase64(
        subscriptions.value(QStringLiteral("9021")).toObject().value(QStringLiteral("drm")).toString().toLatin1());
    QVERIFY(demoDrm.size() > 1000);
    QFile demoKim(demoCard.path() + QStringLiteral("/R004321_1.kim"));
    QVERIFY(demoKim.open(QIODevice::ReadOnly));
    // The first chart-data block follows a 64-byte structural block.
    QCOMPARE(demoKim.readAll().mid(352 + 64, 16 + 300 + 20).mid(16), demoDrm.mid(16, 300 + 20));
}

void TestChartService::firmwareIsConfigurable()
{
    int status = 0;
    QJsonObject reply = QJsonDocument::fromJson(m_service.get(QStringLiteral("/firmware_versions"), &status)).object();
    QCOMPARE(status, 200);
    QJsonObject tool = reply.value(QStringLiteral("desktop")).toObject().value(QStringLiteral("download_tool")).toObject();
    QCOMPARE(tool.value(QStringLiteral("latest_version")).toString(), QStringLiteral("2.760"));
    QVERIFY(!tool.value(QStringLiteral("macos_download_url")).toString().isEmpty());

    QVERIFY(m_service.setFirmware({{QStringLiteral("latest_version"), QStringLiteral("2.8")},
                                   {QStringLiteral("macos_download_url"), QStringLiteral("https://example.invalid/new")}}));
    reply = QJsonDocument::fromJson(m_service.get(QStringLiteral("/firmware_versions"))).object();
    tool = reply.value(QStringLiteral("desktop")).toObject().value(QStringLiteral("download_tool")).toObject();
    QCOMPARE(tool.value(QStringLiteral("latest_version")).toString(), QStringLiteral("2.8"));
    QCOMPARE(tool.value(QStringLiteral("macos_download_url")).toString(), QStringLiteral("https://example.invalid/new"));
    QVERIFY(m_service.setFirmware({{QStringLiteral("latest_version"), QStringLiteral("2.760")}}));
}

void TestChartService::faultsOnDemand_data()
{
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<bool>("https");

    const QString file = QStringLiteral("*/VMARD01/tiles_0002.bin");
    QTest::newRow("close_after") << QJsonObject{{"kind", "close_after"}, {"path", file}, {"bytes", 70000}} << QByteArray() << false;
    QTest::newRow("close_after ranged") << QJsonObject{{"kind", "close_after"}, {"path", file}, {"bytes", 10}} << QByteArray("bytes=5000-") << false;
    QTest::newRow("ignore_range") << QJsonObject{{"kind", "ignore_range"}, {"path", file}} << QByteArray("bytes=5000-") << false;
    QTest::newRow("omit_content_range") << QJsonObject{{"kind", "omit_content_range"}, {"path", file}} << QByteArray("bytes=5000-") << false;
    QTest::newRow("wrong_etag") << QJsonObject{{"kind", "wrong_etag"}, {"path", file}} << QByteArray() << false;
    QTest::newRow("wrong_etag given") << QJsonObject{{"kind", "wrong_etag"}, {"path", file}, {"etag", "other"}} << QByteArray() << false;
    QTest::newRow("stall before") << QJsonObject{{"kind", "stall"}, {"path", file}, {"seconds", 1}} << QByteArray() << false;
    QTest::newRow("stall inside") << QJsonObject{{"kind", "stall"}, {"path", file}, {"seconds", 1}, {"bytes", 300000}} << QByteArray() << false;
    QTest::newRow("throttle") << QJsonObject{{"kind", "throttle"}, {"path", file}, {"bytes_per_second", 1000000}} << QByteArray() << false;
    QTest::newRow("status") << QJsonObject{{"kind", "status"}, {"path", file}, {"status", 503}, {"message", "Try later"}} << QByteArray() << false;
    QTest::newRow("corrupt") << QJsonObject{{"kind", "corrupt"}, {"path", file}} << QByteArray() << false;
    QTest::newRow("corrupt at offset") << QJsonObject{{"kind", "corrupt"}, {"path", file}, {"offset", 5001}} << QByteArray("bytes=5000-") << false;
    QTest::newRow("short_no_content_range") << QJsonObject{{"kind", "short_no_content_range"}, {"path", file}} << QByteArray("bytes=5000-") << false;
    QTest::newRow("short_no_content_range as 200") << QJsonObject{{"kind", "short_no_content_range"}, {"path", file}, {"status", 200}, {"bytes", 1000}} << QByteArray("bytes=5000-") << false;
    QTest::newRow("wrong_range_start") << QJsonObject{{"kind", "wrong_range_start"}, {"path", file}} << QByteArray("bytes=5000-") << false;
    QTest::newRow("wrong_range_start before") << QJsonObject{{"kind", "wrong_range_start"}, {"path", file}, {"shift", -4000}} << QByteArray("bytes=5000-") << false;
    QTest::newRow("short_body") << QJsonObject{{"kind", "short_body"}, {"path", file}} << QByteArray() << false;
    QTest::newRow("short_body ranged") << QJsonObject{{"kind", "short_body"}, {"path", file}, {"bytes", 100}} << QByteArray("bytes=5000-") << false;
    QTest::newRow("extra_byte") << QJsonObject{{"kind", "extra_byte"}, {"path", file}} << QByteArray() << false;
    QTest::newRow("extra_byte ranged") << QJsonObject{{"kind", "extra_byte"}, {"path", file}} << QByteArray("bytes=5000-") << false;
    // The same faults through the TLS layer, which writes and closes differently.
    QTest::newRow("close_after over https") << QJsonObject{{"kind", "close_after"}, {"path", file}, {"bytes", 70000}} << QByteArray() << true;
    QTest::newRow("wrong_range_start over https") << QJsonObject{{"kind", "wrong_range_start"}, {"path", file}} << QByteArray("bytes=5000-") << true;
    QTest::newRow("short_body over https") << QJsonObject{{"kind", "short_body"}, {"path", file}} << QByteArray() << true;
    QTest::newRow("extra_byte over https") << QJsonObject{{"kind", "extra_byte"}, {"path", file}} << QByteArray() << true;
}

void TestChartService::faultsOnDemand()
{
    QFETCH(QJsonObject, fault);
    QFETCH(QByteArray, range);
    QFETCH(bool, https);

    const QString url = QString::fromUtf8(fileUrl(1101, QStringLiteral("VMARD01/tiles_0002.bin"), true, https));
    const QByteArray whole = m_service.expectedBytes(url);
    QCOMPARE(whole.size(), 1500000);
    QVERIFY(m_service.addFault(fault));

    QList<QPair<QByteArray, QByteArray>> request;
    if (!range.isEmpty())
        request.append({QByteArray("Range"), range});
    const qint64 from = range.isEmpty() ? 0 : 5000;
    QList<QPair<QByteArray, QByteArray>> headers;
    int status = 0;
    QElapsedTimer timer;
    timer.start();
    const QByteArray body = m_service.get(url, &status, request, &headers);
    const qint64 elapsed = timer.elapsed();
    const QString kind = fault.value(QStringLiteral("kind")).toString();

    if (kind == QLatin1String("close_after")) {
        QCOMPARE(body, whole.mid(from, fault.value(QStringLiteral("bytes")).toInt()));
    } else if (kind == QLatin1String("ignore_range")) {
        QCOMPARE(status, 200);
        QCOMPARE(body, whole);
        QVERIFY(headerValue(headers, "Content-Range").isEmpty());
    } else if (kind == QLatin1String("omit_content_range")) {
        QCOMPARE(status, 206);
        QCOMPARE(body, whole.mid(5000));
        QVERIFY(headerValue(headers, "Content-Range").isEmpty());
    } else if (kind == QLatin1String("wrong_etag")) {
        QList<QPair<QByteArray, QByteArray>> cleanHeaders;
        m_service.get(url, nullptr, {}, &cleanHeaders);
        const QByteArray bad = headerValue(headers, "ETag");
        const QByteArray good = headerValue(cleanHeaders, "ETag");
        // Clients look for their tag inside the header: it must not be there.
        QVERIFY(!bad.contains(good.mid(1).chopped(1)));
        if (fault.contains(QStringLiteral("etag")))
            QCOMPARE(bad, QByteArray("\"other\""));
        QCOMPARE(body, whole);
    } else if (kind == QLatin1String("stall")) {
        QVERIFY2(elapsed >= 950, qPrintable(QString::number(elapsed)));
        QCOMPARE(body, whole);
    } else if (kind == QLatin1String("throttle")) {
        QVERIFY2(elapsed >= 1300, qPrintable(QString::number(elapsed)));
        QCOMPARE(body, whole);
    } else if (kind == QLatin1String("status")) {
        QCOMPARE(status, 503);
        QCOMPARE(QJsonDocument::fromJson(body).object().value(QStringLiteral("message")).toString(), QStringLiteral("Try later"));
    } else if (kind == QLatin1String("corrupt")) {
        QCOMPARE(body.size(), whole.size() - from);
        QVERIFY(body != whole.mid(from));
        const qint64 at = fault.value(QStringLiteral("offset")).toInteger(whole.size() / 2);
        QCOMPARE(body.at(at - from), char(whole.at(at) ^ 0xff));
        QCOMPARE(body.left(at - from), whole.mid(from, at - from));
        QCOMPARE(body.mid(at - from + 1), whole.mid(at + 1));
    } else if (kind == QLatin1String("short_no_content_range")) {
        const int expectedStatus = fault.value(QStringLiteral("status")).toInt(206);
        QCOMPARE(status, expectedStatus);
        QCOMPARE(body, whole.mid(from, fault.value(QStringLiteral("bytes")).toInt((whole.size() - from) / 2)));
        QCOMPARE(headerValue(headers, "Content-Length").toLongLong(), body.size());
        QVERIFY(headerValue(headers, "Content-Range").isEmpty());
    } else if (kind == QLatin1String("wrong_range_start")) {
        const qint64 start = from + fault.value(QStringLiteral("shift")).toInteger(1);
        QCOMPARE(status, 206);
        QCOMPARE(headerValue(headers, "Content-Range"),
                 "bytes " + QByteArray::number(start) + '-' + QByteArray::number(whole.size() - 1) + '/'
                     + QByteArray::number(whole.size()));
        QCOMPARE(body, whole.mid(start));
    } else if (kind == QLatin1String("short_body")) {
        QCOMPARE(status, range.isEmpty() ? 200 : 206);
        QCOMPARE(body, whole.mid(from, fault.value(QStringLiteral("bytes")).toInt((whole.size() - from) / 2)));
        QCOMPARE(headerValue(headers, "Content-Length").toLongLong(), body.size());
    } else if (kind == QLatin1String("extra_byte")) {
        QCOMPARE(status, range.isEmpty() ? 200 : 206);
        QCOMPARE(body.size(), whole.size() - from + 1);
        QCOMPARE(body.chopped(1), whole.mid(from));
        QCOMPARE(headerValue(headers, "Content-Length").toLongLong(), body.size());
    }

    // One hit only, reported as such: the retry gets the real thing.
    const QJsonArray armed = m_service.faults();
    QCOMPARE(armed.size(), 1);
    QCOMPARE(armed.first().toObject().value(QStringLiteral("count")).toInt(), 0);
    QCOMPARE(m_service.firedCount(kind), 1);
    int again = 0;
    QCOMPARE(m_service.get(url, &again, request), whole.mid(from));
    QCOMPARE(again, range.isEmpty() ? 200 : 206);
}

void TestChartService::faultsFireOnlyOnMatchingPathsAndCount()
{
    // JSON replies: not JSON at all, and cut in half.
    QVERIFY(m_service.addFault({{"kind", "non_json"}, {"path", "*GetAllProducts"}}));
    QVERIFY(m_service.addFault({{"kind", "truncated_json"}, {"path", "*GetSubscriptions"}, {"count", 2}}));
    int status = 0;
    QByteArray raw = m_service.callRaw(QStringLiteral("GetAllProducts"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(status, 200);
    QVERIFY(!raw.isEmpty());
    QVERIFY(QJsonDocument::fromJson(raw).isNull());
    const QJsonObject body{{QStringLiteral("product_type"), QStringLiteral("velmora_region")}, {QStringLiteral("session_id"), m_session}};
    for (int i = 0; i < 2; ++i) {
        raw = m_service.callRaw(QStringLiteral("/GetSubscriptions"), QStringLiteral("smn"), body, &status);
        QCOMPARE(status, 200);
        QVERIFY(raw.startsWith("{\""));
        QVERIFY(QJsonDocument::fromJson(raw).isNull());
    }
    QVERIFY(QJsonDocument::fromJson(m_service.callRaw(QStringLiteral("/GetSubscriptions"), QStringLiteral("smn"), body)).isObject());
    QVERIFY(QJsonDocument::fromJson(m_service.callRaw(QStringLiteral("GetAllProducts"), QStringLiteral("smn"), {})).isObject());
    QCOMPARE(m_service.firedCount(QStringLiteral("non_json")), 1);
    QCOMPARE(m_service.firedCount(QStringLiteral("truncated_json")), 2);

    // A status on one endpoint leaves the others alone; -1 never runs out.
    QVERIFY(m_service.addFault({{"kind", "status"}, {"path", "/api/smn/ActivateProduct"}, {"count", -1}, {"status", 500},
                                {"message", "Activation is down"}}));
    const QJsonObject activation{{QStringLiteral("sku"), QStringLiteral("TV-NORTH-1")},
                                 {QStringLiteral("device_id"), deviceId(QStringLiteral("CARD-T"))},
                                 {QStringLiteral("session_id"), m_session}};
    for (int i = 0; i < 3; ++i) {
        const QJsonObject reply = m_service.call(QStringLiteral("ActivateProduct"), QStringLiteral("smn"), activation, &status);
        QCOMPARE(status, 500);
        QCOMPARE(reply.value(QStringLiteral("message")).toString(), QStringLiteral("Activation is down"));
    }
    m_service.call(QStringLiteral("GetAllProducts"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(status, 200);
    QCOMPARE(m_service.firedCount(QStringLiteral("status")), 3);
    QVERIFY(m_service.clearFaults());
    QCOMPARE(m_service.firedCount(), 0);

    // A range fault waits for a request that asks for a range: a plain one
    // neither changes nor uses it up.
    QVERIFY(m_service.addFault({{"kind", "wrong_range_start"}, {"path", "*/VMARD01/region.idx"}}));
    const QString idx = QString::fromUtf8(fileUrl(1101, QStringLiteral("VMARD01/region.idx")));
    const QByteArray plain = m_service.get(idx, &status);
    QCOMPARE(status, 200);
    QCOMPARE(m_service.firedCount(QStringLiteral("wrong_range_start")), 0);
    QList<QPair<QByteArray, QByteArray>> headers;
    QCOMPARE(m_service.get(idx, &status, {{QByteArray("Range"), QByteArray("bytes=10-")}}, &headers), plain.mid(11));
    QCOMPARE(headerValue(headers, "Content-Range"), QByteArray("bytes 11-65535/65536"));
    QCOMPARE(m_service.firedCount(QStringLiteral("wrong_range_start")), 1);
    QVERIFY(m_service.clearFaults());

    // Unsafe paths are added to the file records, for the tool to refuse.
    QVERIFY(m_service.addFault({{"kind", "unsafe_paths"}, {"path", "*ActivateProduct"}}));
    const QJsonObject reply = m_service.call(QStringLiteral("ActivateProduct"), QStringLiteral("smn"), activation, &status);
    QCOMPARE(status, 200);
    QStringList files;
    for (const QJsonValue &value : reply.value(QStringLiteral("files")).toArray())
        files << value.toObject().value(QStringLiteral("file")).toString();
    for (const QString &unsafe : {QStringLiteral("../x"), QStringLiteral("/abs"), QStringLiteral("a/../../x"),
                                  QStringLiteral("a\\..\\..\\x")})
        QVERIFY2(files.contains(unsafe), qPrintable(files.join(QLatin1Char(' '))));
    QVERIFY(m_service.addFault({{"kind", "unsafe_paths"}, {"path", "*GetSegments/*"}, {"paths", QJsonArray{"C:\\evil"}}}));
    const QJsonObject segments = m_service.call(QStringLiteral("GetSegments/  4321-1"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(segments.value(QStringLiteral("files")).toArray().last().toObject().value(QStringLiteral("file")).toString(),
             QStringLiteral("C:\\evil"));

    // Unknown kinds are refused, not silently ignored.
    QVERIFY(!m_service.addFault({{"kind", "explode"}}));
}

void TestChartService::requestLogShowsWhatWasSent()
{
    const QString url = QString::fromUtf8(fileUrl(2101, QStringLiteral("TVNORTH1/n0001.tvc")));
    m_service.get(url, nullptr, {{QByteArray("Range"), QByteArray("bytes=10-20")}, {QByteArray("Accept-Encoding"), QByteArray("identity")}});
    m_service.call(QStringLiteral("GetSegments/  4321-1"), QStringLiteral("smn"), {});

    const QJsonArray files = m_service.requestLog(QStringLiteral("/origin/*"));
    QCOMPARE(files.size(), 1);
    const QJsonObject entry = files.at(0).toObject();
    QCOMPARE(entry.value(QStringLiteral("method")).toString(), QStringLiteral("GET"));
    QCOMPARE(entry.value(QStringLiteral("path")).toString(), QStringLiteral("/origin/2101/TVNORTH1/n0001.tvc"));
    QCOMPARE(entry.value(QStringLiteral("headers")).toObject().value(QStringLiteral("Range")).toString(), QStringLiteral("bytes=10-20"));
    QCOMPARE(entry.value(QStringLiteral("headers")).toObject().value(QStringLiteral("Accept-Encoding")).toString(), QStringLiteral("identity"));

    const QJsonArray posts = m_service.requestLog(QStringLiteral("*GetSegments*"));
    QCOMPARE(posts.size(), 1);
    const QJsonObject post = posts.at(0).toObject();
    QCOMPARE(post.value(QStringLiteral("path")).toString(), QStringLiteral("/api/smn/GetSegments/  4321-1"));
    QCOMPARE(post.value(QStringLiteral("target")).toString(), QStringLiteral("/api/smn/GetSegments/%20%204321-1"));
    QCOMPARE(post.value(QStringLiteral("json")).toObject().value(QStringLiteral("api_key")).toString(), ChartServiceProcess::apiKey());
    QVERIFY(post.value(QStringLiteral("body")).toString().contains(QLatin1Char('\n')));
}

void TestChartService::bindingsSurviveRestartWithStateFile()
{
    QTemporaryDir dir;
    const QString state = dir.filePath(QStringLiteral("state.json"));
    ChartServiceProcess service;
    QVERIFY(service.start({QStringLiteral("--state"), state}));
    const QString session = service.signIn();
    int status = 0;
    service.call(QStringLiteral("ActivateProduct"), QStringLiteral("smn"),
                 {{QStringLiteral("sku"), QStringLiteral("TV-NORTH-1")},
                  {QStringLiteral("device_id"), deviceId(QStringLiteral("KEEP-ME"))},
                  {QStringLiteral("session_id"), session}},
                 &status);
    QCOMPARE(status, 200);
    service.stop();

    QVERIFY(service.start({QStringLiteral("--state"), state}));
    const QJsonObject reply = service.call(QStringLiteral("/GetSubscriptions"), QStringLiteral("smn"),
                                           {{QStringLiteral("product_type"), QStringLiteral("talvos")},
                                            {QStringLiteral("session_id"), service.signIn()}});
    QCOMPARE(reply.value(QStringLiteral("9011")).toObject().value(QStringLiteral("device_id")).toString(),
             deviceId(QStringLiteral("KEEP-ME")));
    service.stop();

    // Without a state file every start begins from the catalogue.
    QVERIFY(service.start());
    const QJsonObject fresh = service.call(QStringLiteral("/GetSubscriptions"), QStringLiteral("smn"),
                                           {{QStringLiteral("product_type"), QStringLiteral("talvos")},
                                            {QStringLiteral("session_id"), service.signIn()}});
    QCOMPARE(fresh.value(QStringLiteral("9011")).toObject().value(QStringLiteral("device_id")).toString(), QString());
}

void TestChartService::commandLineArmsFaultsAndFirmware()
{
    ChartServiceProcess service;
    QVERIFY(service.start({QStringLiteral("--latest-version"), QStringLiteral("2.9"), QStringLiteral("--fault"),
                           QStringLiteral("{\"kind\":\"status\",\"path\":\"/firmware_versions\",\"status\":502}")}));
    int status = 0;
    service.get(QStringLiteral("/firmware_versions"), &status);
    QCOMPARE(status, 502);
    const QJsonObject reply = QJsonDocument::fromJson(service.get(QStringLiteral("/firmware_versions"), &status)).object();
    QCOMPARE(status, 200);
    QCOMPARE(reply.value(QStringLiteral("desktop")).toObject().value(QStringLiteral("download_tool")).toObject()
                 .value(QStringLiteral("latest_version")).toString(),
             QStringLiteral("2.9"));
    service.stop();

    // A fault that cannot be understood stops the start instead of being dropped.
    QVERIFY(!service.start({QStringLiteral("--fault"), QStringLiteral("{\"kind\":\"melt\"}")}));
}

QTEST_GUILESS_MAIN(TestChartService)
#include "tst_chartservice.moc"
