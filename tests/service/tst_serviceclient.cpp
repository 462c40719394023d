// What the tool posts must match what the chart service accepts (body form,
// API key, odd paths); over HTTPS it talks only to a server it can verify.
#include <QtTest>

#include <QJsonDocument>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTemporaryDir>

#include "base/startup.h"
#include "chartserviceprocess.h"
#include "service/extracatrust.h"
#include "shell/serviceclient.h"
#include "testkit.h"

class TestServiceClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void post();

    void httpsTrust_data();
    void httpsTrust();

private:
    // Waits for the reply and returns what the service logged of it.
    QJsonObject sent(QNetworkReply *reply);

    ChartServiceProcess service;
    QSslConfiguration systemTls;
    QTemporaryDir files;
};

void TestServiceClient::initTestCase()
{
    prepareStartup();
    QVERIFY(service.start());
    qputenv("QUORVEL_SERVICE_URL", service.baseUrl().toUtf8());
    systemTls = QSslConfiguration::defaultConfiguration();
}

void TestServiceClient::init()
{
    QVERIFY(service.clearRequestLog());
}

QJsonObject TestServiceClient::sent(QNetworkReply *reply)
{
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(10000);
    reply->deleteLater();
    const QJsonArray log = service.requestLog();
    return log.size() == 1 ? log.first().toObject() : QJsonObject();
}

void TestServiceClient::post()
{
    ServiceClient client;
    const QJsonObject body { { QStringLiteral("sku"), QStringLiteral("ABC") },
        { QStringLiteral("api_key"), QStringLiteral("caller's own") } };
    const QJsonObject request
        = sent(client.post(QStringLiteral("GetSegments/  1234-5"), QStringLiteral("smn"), body));
    QCOMPARE(request.value(QStringLiteral("target")).toString(),
        QStringLiteral("/api/smn/GetSegments/%20%201234-5"));
    const QJsonObject headers = request.value(QStringLiteral("headers")).toObject();
    QCOMPARE(headers.value(QStringLiteral("Content-Type")).toString(), QStringLiteral("application/json"));
    // Indented form: one key per line, four spaces in.
    QVERIFY(
        request.value(QStringLiteral("body")).toString().contains(QStringLiteral("\n    \"sku\": \"ABC\"")));
    // The tool's key replaces whatever the caller put there.
    const QJsonObject json = request.value(QStringLiteral("json")).toObject();
    QCOMPARE(json.value(QStringLiteral("api_key")).toString(), ChartServiceProcess::apiKey());
    QCOMPARE(json.size(), 2);
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
    auto restore = qScopeGuard([&] {
        qputenv("QUORVEL_SERVICE_URL", service.baseUrl().toUtf8());
        qunsetenv(ExtraCaTrust::EnvironmentVariable);
        QSslConfiguration::setDefaultConfiguration(systemTls);
    });
    QString path;
    if (caFile == QLatin1String("service")) {
        path = service.caFilePath();
    } else if (caFile != QLatin1String("none")) {
        path = files.filePath(caFile);
        if (caFile == QLatin1String("empty.pem"))
            writeFile(path, "-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n");
    }
    if (!path.isEmpty())
        qputenv(ExtraCaTrust::EnvironmentVariable, path.toUtf8());

    QCOMPARE(ExtraCaTrust::installFromEnvironment(), added);
    // Beside the system's authorities, never instead of them.
    if (added > 0)
        QCOMPARE(QSslConfiguration::defaultConfiguration().caCertificates().size(),
            QSslConfiguration::systemCaCertificates().size() + added);

    qputenv(
        "QUORVEL_SERVICE_URL", (wrongName ? service.wrongNameHttpsUrl() : service.httpsBaseUrl()).toUtf8());
    ServiceClient client;
    QNetworkReply *reply = client.get(QStringLiteral("/firmware_versions"));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    reply->deleteLater();
    QCOMPARE(reply->error(), reached ? QNetworkReply::NoError : QNetworkReply::SslHandshakeFailedError);
    if (reached)
        QVERIFY(reply->readAll().contains("download_tool"));
}

QTEST_MAIN(TestServiceClient)
#include "tst_serviceclient.moc"
