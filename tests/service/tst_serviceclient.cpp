// What the tool puts on the wire must match what the chart service accepts:
// body format, API key, paths with their odd slashes, and range headers; and
// over HTTPS it talks only to a server whose certificate it can verify.
#include <QtTest>

#include <QJsonDocument>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QTemporaryDir>

#include "app/appglobals.h"
#include "app/startup.h"
#include "capturehttpserver.h"
#include "chartserviceprocess.h"
#include "service/extracatrust.h"
#include "service/serviceclient.h"

class TestServiceClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void xorBytesRepeatsKey();
    void postFormatAndKey_data();
    void postFormatAndKey();
    void getCarriesNoKey();
    void rangedDownloadHeaders();
    void unrangedDownloadSetsNothing();
    void httpsTrust_data();
    void httpsTrust();

private:
    CaptureHttpServer::Request sendAndCapture(QNetworkReply *reply);
    CaptureHttpServer *server = nullptr;
    ChartServiceProcess service;
    QSslConfiguration systemTls;
    QTemporaryDir files;
};

void TestServiceClient::initTestCase()
{
    prepareStartup();
    server = new CaptureHttpServer(this);
    QVERIFY(server->listen());
    qputenv("QUORVEL_SERVICE_URL", server->baseUrl().toUtf8());
    QVERIFY(service.start());
    systemTls = QSslConfiguration::defaultConfiguration();
}

void TestServiceClient::init()
{
    server->requests.clear();
}

CaptureHttpServer::Request TestServiceClient::sendAndCapture(QNetworkReply *reply)
{
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (finished.isEmpty())
        finished.wait(10000);
    reply->deleteLater();
    if (server->requests.size() != 1)
        return {};
    return server->requests.first();
}

void TestServiceClient::xorBytesRepeatsKey()
{
    QCOMPARE(xorBytes(QByteArray(), "k"), QByteArray());
    QCOMPARE(xorBytes(QByteArray("\x0f\xf0\x0f", 3), QByteArray("\xff", 1)), QByteArray("\xf0\x0f\xf0", 3));
    QCOMPARE(xorBytes("ab", "abcdef"), QByteArray(2, '\0'));
    // Applying the same key twice gives the data back: the remembered
    // password relies on it.
    const QByteArray hash = "0123456789abcdef0123456789abcdef01234567";
    QCOMPARE(xorBytes(xorBytes(hash, "me@example.com"), "me@example.com"), hash);
}

void TestServiceClient::postFormatAndKey_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("group");
    QTest::addColumn<QByteArray>("path");

    QTest::newRow("login") << "Login" << "session" << QByteArray("/api/session/Login");
    QTest::newRow("products") << "GetAllProducts" << "smn" << QByteArray("/api/smn/GetAllProducts");
    QTest::newRow("subscriptions keep the double slash")
        << "/GetSubscriptions" << "smn" << QByteArray("/api/smn//GetSubscriptions");
    QTest::newRow("chart name with leading spaces")
        << "GetSegments/  1234-5" << "smn" << QByteArray("/api/smn/GetSegments/%20%201234-5");
}

void TestServiceClient::postFormatAndKey()
{
    QFETCH(QString, name);
    QFETCH(QString, group);
    QFETCH(QByteArray, path);

    ServiceClient client;
    QJsonObject body{{QStringLiteral("sku"), QStringLiteral("ABC")},
                     {QStringLiteral("api_key"), QStringLiteral("caller's own")}};
    QNetworkReply *reply = client.post(name, group, body, QStringLiteral("tag"));
    QCOMPARE(reply->property("id").toString(), QStringLiteral("tag"));
    const CaptureHttpServer::Request request = sendAndCapture(reply);

    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.path, path);
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Content-Length").toLongLong(), request.body.size());
    // Indented form: one key per line, four spaces in.
    QVERIFY(request.body.contains("\n    \"sku\": \"ABC\""));
    const QJsonObject sent = QJsonDocument::fromJson(request.body).object();
    const QString key = sent.value(QStringLiteral("api_key")).toString();
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{40}$")).match(key).hasMatch());
    QCOMPARE(key.toLatin1(), serviceApiKey());
    QCOMPARE(sent.size(), 2);
}

void TestServiceClient::getCarriesNoKey()
{
    ServiceClient client;
    const CaptureHttpServer::Request request = sendAndCapture(client.get(QStringLiteral("/firmware_versions")));
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.path, QByteArray("/firmware_versions"));
    QVERIFY(request.body.isEmpty());
    QVERIFY(!request.path.contains("api_key"));
    QVERIFY(!request.hasHeader("Range"));
    QVERIFY(!request.hasHeader("Content-Type"));
}

void TestServiceClient::rangedDownloadHeaders()
{
    ServiceClient client;
    QFile::resize(logFilePath, 0);
    const QString url = server->baseUrl() + QStringLiteral("/cdn/charts/a.bin");
    QNetworkReply *reply = client.downloadRequest(url, QStringLiteral("charts/a.bin"),
                                                  QStringLiteral("bytes=1048576-5242879"));
    QCOMPARE(reply->property("id").toString(), QStringLiteral("charts/a.bin"));
    QCOMPARE(reply->request().rawHeaderList(), QList<QByteArray>({"Range", "Accept-Encoding"}));
    const CaptureHttpServer::Request request = sendAndCapture(reply);

    QCOMPARE(request.path, QByteArray("/cdn/charts/a.bin"));
    QCOMPARE(request.header("Range"), QByteArray("bytes=1048576-5242879"));
    QCOMPARE(request.header("Accept-Encoding"), QByteArray("identity"));

    QFile log(logFilePath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().split('\n');
    int traced = 0;
    for (const QByteArray &line : lines) {
        if (!line.contains("<downloadRequest>[49]"))
            continue;
        ++traced;
        QVERIFY(line.contains(url.toUtf8()));
    }
    QCOMPARE(traced, 2);
}

void TestServiceClient::unrangedDownloadSetsNothing()
{
    ServiceClient client;
    QFile::resize(logFilePath, 0);
    QNetworkReply *reply = client.downloadRequest(server->baseUrl() + QStringLiteral("/img.png"));
    QVERIFY(reply->request().rawHeaderList().isEmpty());
    QVERIFY(!reply->property("id").isValid());
    const CaptureHttpServer::Request request = sendAndCapture(reply);
    QVERIFY(!request.hasHeader("Range"));
    // Qt's own transfer encoding offer may appear; the tool's "identity" must not.
    QVERIFY(request.header("Accept-Encoding") != "identity");
    QCOMPARE(QFileInfo(logFilePath).size(), 0);
}

void TestServiceClient::httpsTrust_data()
{
    QTest::addColumn<QString>("caFile"); // "service", "none", or a file made here
    QTest::addColumn<bool>("wrongName");
    QTest::addColumn<int>("added");
    QTest::addColumn<bool>("reached");

    QTest::newRow("system authorities only") << "none" << false << 0 << false;
    QTest::newRow("service authority") << "service" << false << 1 << true;
    QTest::newRow("service authority, certificate for another host") << "service" << true << 1 << false;
    QTest::newRow("file that cannot be read") << "missing.pem" << false << 0 << false;
    QTest::newRow("file without a certificate") << "empty.pem" << false << 0 << false;
}

// The extra authority is the only door: without it the service's
// certificate is refused, with it a certificate for another host still is.
void TestServiceClient::httpsTrust()
{
    QFETCH(QString, caFile);
    QFETCH(bool, wrongName);
    QFETCH(int, added);
    QFETCH(bool, reached);

    QSslConfiguration::setDefaultConfiguration(systemTls);
    const QByteArray oldUrl = qgetenv("QUORVEL_SERVICE_URL");
    auto restore = qScopeGuard([&] {
        qputenv("QUORVEL_SERVICE_URL", oldUrl);
        qunsetenv(ExtraCaTrust::EnvironmentVariable);
        QSslConfiguration::setDefaultConfiguration(systemTls);
    });
    QString path;
    if (caFile == QLatin1String("service")) {
        path = service.caFilePath();
    } else if (caFile != QLatin1String("none")) {
        path = files.filePath(caFile);
        if (caFile == QLatin1String("empty.pem")) {
            QFile empty(path);
            QVERIFY(empty.open(QIODevice::WriteOnly));
            empty.write("-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n");
        }
    }
    if (!path.isEmpty())
        qputenv(ExtraCaTrust::EnvironmentVariable, path.toUtf8());
    QFile::resize(logFilePath, 0);
    QCOMPARE(ExtraCaTrust::installFromEnvironment(), added);
    // Beside the system's authorities, never instead of them.
    if (added > 0)
        QCOMPARE(QSslConfiguration::defaultConfiguration().caCertificates().size(),
                 QSslConfiguration::systemCaCertificates().size() + added);
    if (!path.isEmpty() && added == 0) {
        QFile log(logFilePath);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains(path.toUtf8()));
    }

    qputenv("QUORVEL_SERVICE_URL", (wrongName ? service.wrongNameHttpsUrl() : service.httpsBaseUrl()).toUtf8());
    ServiceClient client;
    QNetworkReply *reply = client.get(QStringLiteral("/firmware_versions"));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    reply->deleteLater();
    if (reached) {
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QVERIFY(reply->readAll().contains("download_tool"));
    } else {
        QCOMPARE(reply->error(), QNetworkReply::SslHandshakeFailedError);
    }
}

QTEST_MAIN(TestServiceClient)
#include "tst_serviceclient.moc"
