// What the tool asks the chart service must stay byte for byte what the
// service accepts (paths, body form, API key, the salted password); every
// way a call fails comes back as its kind; over HTTPS it talks only to a
// server it can verify.
#include <QtTest>

#include <QSslConfiguration>
#include <QTcpServer>
#include <QTemporaryDir>

#include <sys/stat.h>

#include "base/appglobals.h"
#include "chartserviceprocess.h"
#include "service/account.h"
#include "service/chartservice.h"
#include "service/extracatrust.h"
#include "service/servicekeys.h"
#include "testkit.h"

Q_DECLARE_METATYPE(ServiceError::Kind)

namespace {

// Waits for the call's one finished() and hands back its error; read sees
// the call while it still lives (it deletes itself after).
ServiceError finish(ServiceReply *reply, const std::function<void()> &read = {})
{
    ServiceError error;
    bool done = false;
    QObject::connect(reply, &ServiceReply::finished, reply, [&] {
        error = reply->error();
        if (read)
            read();
        done = true;
    });
    return QTest::qWaitFor([&] { return done; }, 20000) ? error : ServiceError{ServiceError::Network, -1, QString(), QString()};
}

} // namespace

class TestServiceClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void requests_data();
    void requests();
    void failures_data();
    void failures();
    void account();
    void pictures_data();
    void pictures();

    void httpsTrust_data();
    void httpsTrust();

private:
    ChartServiceProcess service;
    QSslConfiguration systemTls;
    QTemporaryDir files;
};

void TestServiceClient::initTestCase()
{
    appDataFolder = files.path();
    configFilePath = files.filePath(QStringLiteral("config.ini"));
    QVERIFY(service.start());
    systemTls = QSslConfiguration::defaultConfiguration();
}

void TestServiceClient::init()
{
    QVERIFY(service.clearRequestLog());
    QVERIFY(service.clearFaults());
}

void TestServiceClient::requests_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("target"); // as it reaches the service, GET when no body is expected
    QTest::addColumn<QJsonObject>("body"); // without the API key every POST carries

    const QString session = QStringLiteral("S-1");
    QTest::newRow("sign-in") << "signIn" << "/api/session/Login"
                             << QJsonObject{{"password", ChartServiceProcess::passwordHash(QStringLiteral("Pass-1234"))},
                                            {"email", "a@b.cd"},
                                            {"remember_me", true}};
    QTest::newRow("products") << "products" << "/api/smn/GetAllProducts" << QJsonObject();
    // The name's leading slash is doubled in the path: the service's route.
    QTest::newRow("subscriptions") << "subscriptions" << "/api/smn//GetSubscriptions"
                                   << QJsonObject{{"product_type", "talvos"}, {"session_id", session}};
    QTest::newRow("product info") << "productInfo" << "/api/smn/GetProductInfo"
                                  << QJsonObject{{"sku", "VM-1"}, {"encode_image", true}};
    QTest::newRow("activation") << "activate" << "/api/smn/ActivateProduct"
                                << QJsonObject{{"device_id", "DEV"}, {"sku", "VM-1"}, {"session_id", session}};
    QTest::newRow("registration") << "register" << "/api/smn/ActivateProduct"
                                  << QJsonObject{{"device_id", "DEV"},
                                                 {"sku", "  1234-5"},
                                                 {"session_id", session},
                                                 {"drm", "Y2hhaW4="}};
    QTest::newRow("update announced") << "announceUpdate" << "/api/smn/ActivateProduct" << QJsonObject();
    QTest::newRow("header") << "headerUpdate" << "/api/smn/HeaderUpdate/%20%201234-5" << QJsonObject();
    QTest::newRow("segments") << "segments" << "/api/smn/GetSegments/%20%201234-5" << QJsonObject();
    QTest::newRow("version") << "version" << "/firmware_versions" << QJsonObject();
    QTest::newRow("picture") << "picture" << "/images/1101/1.png" << QJsonObject();
}

void TestServiceClient::requests()
{
    QFETCH(QString, call);
    QFETCH(QString, target);
    QFETCH(QJsonObject, body);

    ChartService chart(service.baseUrl());
    const QString session = QStringLiteral("S-1");
    const QString chartName = QStringLiteral("  1234-5");
    const QHash<QString, std::function<ServiceReply *()>> calls{
        {"signIn", [&] { return chart.signIn(QStringLiteral("a@b.cd"), ServiceKeys::passwordHash("Pass-1234")); }},
        {"products", [&] { return chart.products(); }},
        {"subscriptions", [&] { return chart.subscriptions(Talvos, session); }},
        {"productInfo", [&] { return chart.productInfo(QStringLiteral("VM-1")); }},
        {"activate", [&] { return chart.activate(QStringLiteral("DEV"), QStringLiteral("VM-1"), session); }},
        {"register", [&] { return chart.activate(QStringLiteral("DEV"), chartName, session, "chain"); }},
        {"announceUpdate", [&] { return chart.announceUpdate(); }},
        {"headerUpdate", [&] { return chart.headerUpdate(chartName); }},
        {"segments", [&] { return chart.segments(chartName); }},
        {"version", [&] { return chart.version(); }},
        {"picture", [&] { return chart.picture(service.baseUrl() + QStringLiteral("/images/1101/1.png")); }},
    };
    finish(calls.value(call)());

    const QJsonArray log = service.requestLog();
    QCOMPARE(log.size(), 1);
    const QJsonObject request = log.first().toObject();
    QCOMPARE(request.value(QStringLiteral("target")).toString(), target);
    const bool get = call == QLatin1String("version") || call == QLatin1String("picture");
    QCOMPARE(request.value(QStringLiteral("method")).toString(), get ? QStringLiteral("GET") : QStringLiteral("POST"));
    if (get)
        return;
    QCOMPARE(request.value(QStringLiteral("headers")).toObject().value(QStringLiteral("Content-Type")).toString(),
             QStringLiteral("application/json"));
    // Indented form: one key per line, four spaces in.
    QVERIFY(request.value(QStringLiteral("body")).toString().contains(QStringLiteral("\n    \"api_key\": \"")));
    body.insert(QStringLiteral("api_key"), ChartServiceProcess::apiKey());
    QCOMPARE(request.value(QStringLiteral("json")).toObject(), body);
}

void TestServiceClient::failures_data()
{
    QTest::addColumn<QJsonObject>("fault"); // on the product list; none: no service at all
    QTest::addColumn<ServiceError::Kind>("kind");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("code");

    const auto fault = [](const char *kind, QJsonObject parameters = {}) {
        parameters.insert(QStringLiteral("kind"), QLatin1String(kind));
        parameters.insert(QStringLiteral("path"), QStringLiteral("*GetAllProducts"));
        return parameters;
    };
    QTest::newRow("no service") << QJsonObject() << ServiceError::Network << 0 << QString();
    // The service said yes, then the connection broke: no refusal.
    QTest::newRow("cut off mid-answer") << fault("close_after", {{"bytes", 10}}) << ServiceError::Network << 200
                                        << QString();
    // Connected, and then nothing: given up long before the answer comes.
    QTest::newRow("says nothing") << fault("stall", {{"seconds", 4}}) << ServiceError::Network << 0 << QString();
    QTest::newRow("session refused")
        << fault("status", {{"status", 401}, {"error", "invalid_session"}, {"message", "Sign in again."}})
        << ServiceError::Refused << 401 << "invalid_session";
    QTest::newRow("server error") << fault("status", {{"error", "overloaded"}}) << ServiceError::Refused << 500
                                  << "overloaded";
    QTest::newRow("a captive portal's page") << fault("non_json") << ServiceError::Unreadable << 200 << QString();
    QTest::newRow("cut short") << fault("truncated_json") << ServiceError::Unreadable << 200 << QString();
    QTest::newRow("labelled with a coding it is not in")
        << fault("content_encoding") << ServiceError::Unreadable << 200 << QString();
    QTest::newRow("redirected in a loop") << fault("redirect", {{"count", -1}, {"status", 307}})
                                          << ServiceError::Unreadable << 307 << QString();
    QTest::newRow("redirected to a file") << fault("redirect", {{"location", "file:///etc/passwd"}})
                                          << ServiceError::Unreadable << 302 << QString();
    // The body holds the API key: it does not go to another server.
    QTest::newRow("redirected to another server")
        << fault("redirect", {{"location", "http://127.0.0.1:9/api/smn/GetAllProducts"}, {"status", 307}})
        << ServiceError::Unreadable << 307 << QString();
    // Past the limit the body is not read whole.
    QTest::newRow("larger than any answer") << fault("pad_reply") << ServiceError::Unreadable << 200 << QString();
    // Below it, an answer of many pieces is read whole: a byte lost or
    // doubled between pieces leaves no JSON to read.
    QTest::newRow("long, in many pieces")
        << fault("pad_reply", { { "bytes", 24 * 1024 * 1024 } }) << ServiceError::None << 200 << QString();
}

void TestServiceClient::failures()
{
    QFETCH(QJsonObject, fault);
    QFETCH(ServiceError::Kind, kind);

    QString base = service.baseUrl();
    if (fault.isEmpty()) {
        // A port that was free a moment ago: nothing answers there.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        base = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
    } else {
        QVERIFY(service.addFault(fault));
    }
    const int quietLimit = ServiceReply::quietLimit();
    const auto restoreLimit = qScopeGuard([quietLimit] { ServiceReply::setQuietLimit(quietLimit); });
    if (fault.value(QStringLiteral("kind")) == QLatin1String("stall"))
        ServiceReply::setQuietLimit(1);
    ChartService chart(base);
    const ServiceError error = finish(chart.products());
    QCOMPARE(error.kind, kind);
    QTEST(error.status, "status");
    QTEST(error.code, "code");
    QCOMPARE(error.message.isEmpty(), kind == ServiceError::None);
    if (kind == ServiceError::Unreadable)
        QCOMPARE(error.message, ServiceReply::unreadableText());
    // Once, or (a loop) until the client gave up following it.
    if (!fault.isEmpty())
        QCOMPARE(service.firedCount(fault.value(QStringLiteral("kind")).toString()),
                 fault.value(QStringLiteral("count")).toInt(1) < 0 ? 51 : 1);
}

// The digest of the password goes out, for the address in lower case; what is
// typed is judged before anything is sent. (The remembered sign-in, which
// needs a keyring, is the sign-in suite's.)
void TestServiceClient::account()
{
    const QString wrongEmail = QStringLiteral("Wrong email format.");
    const QList<std::pair<QString, QStringList>> typings{
        {QStringLiteral("demo@quorvel.test"), {}},
        {QStringLiteral("demo@quorvel"), {wrongEmail, QStringLiteral("Password too short.")}},
        // The address goes to config.ini and back to the terminal whole:
        // nothing around it, no control character in it.
        {QStringLiteral("\x1b]0;title\x07" "demo@quorvel.test"), {wrongEmail}},
        {QStringLiteral("demo@quorvel.test\nx"), {wrongEmail}},
        {QStringLiteral("my demo@quorvel.test"), {wrongEmail}},
    };
    for (const auto &[email, problems] : typings) {
        const QString password = QString::fromLatin1(problems.size() == 2 ? "1234567" : "12345678");
        QVERIFY2(Account::problems(email, password) == problems, qPrintable(email.toHtmlEscaped()));
    }

    ChartService chart(service.baseUrl());
    Account typed(&chart);
    QSignalSpy signedIn(&typed, &Account::signedIn);
    typed.signIn(QStringLiteral("Demo@Quorvel.test"), QString::fromLatin1(ChartServiceProcess::DemoPassword),
                Account::Remember::Store);
    QVERIFY(signedIn.wait(20000));
    QVERIFY(!typed.sessionId().isEmpty());

    const QJsonArray log = service.requestLog(QStringLiteral("*Login"));
    QCOMPARE(log.size(), 1);
    for (const QJsonValue &request : log) {
        const QJsonObject body = request.toObject().value(QStringLiteral("json")).toObject();
        QCOMPARE(body.value(QStringLiteral("email")).toString(), QStringLiteral("demo@quorvel.test"));
        QCOMPARE(body.value(QStringLiteral("password")).toString(),
                 ChartServiceProcess::passwordHash(QString::fromLatin1(ChartServiceProcess::DemoPassword)));
    }
}

void TestServiceClient::pictures_data()
{
    QTest::addColumn<QString>("sku");
    QTest::addColumn<QStringList>("pictures");

    // A lake region shows only its cover (its second picture).
    QTest::newRow("lake region") << "VM-ARD-01" << QStringList{"/images/1101/1.png"};
    QTest::newRow("other lines: every picture") << "TV-NORTH-1"
                                                << QStringList{"/images/2101/0.png", "/images/2101/1.png"};
}

void TestServiceClient::pictures()
{
    QFETCH(QString, sku);
    QFETCH(QStringList, pictures);

    ChartService chart(service.baseUrl());
    ServiceCall<ProductInfo> *call = chart.productInfo(sku);
    ProductInfo info;
    QCOMPARE(finish(call, [&] { info = call->value(); }).kind, ServiceError::None);
    QStringList paths;
    for (const QString &url : std::as_const(info.pictureUrls))
        paths << QUrl(url).path();
    QCOMPARE(paths, pictures);
    QVERIFY(!info.byline.isEmpty());
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
    // Opening a FIFO waits for a writer: the start-up would hang.
    QTest::newRow("a FIFO") << "fifo.pem" << false << 0 << false;
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
        else if (caFile == QLatin1String("fifo.pem"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    }
    if (!path.isEmpty())
        qputenv(ExtraCaTrust::EnvironmentVariable, path.toUtf8());

    QCOMPARE(ExtraCaTrust::installFromEnvironment(), added);
    // Beside the system's authorities, never instead of them.
    if (added > 0)
        QCOMPARE(QSslConfiguration::defaultConfiguration().caCertificates().size(),
                 QSslConfiguration::systemCaCertificates().size() + added);

    ChartService chart(wrongName ? service.wrongNameHttpsUrl() : service.httpsBaseUrl());
    ServiceCall<VersionInfo> *call = chart.version();
    VersionInfo version;
    QCOMPARE(finish(call, [&] { version = call->value(); }).kind,
             reached ? ServiceError::None : ServiceError::Network);
    QCOMPARE(version.latestVersion.isEmpty(), !reached);
}

QTEST_GUILESS_MAIN(TestServiceClient)
#include "tst_serviceclient.moc"
