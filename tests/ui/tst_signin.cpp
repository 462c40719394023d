// The way into the tool: the terms gate, sign-in validation and errors, the
// remembered password hash, and the version line must behave exactly as a
// user at the screen sees them.
#include <QtTest>

#include <QCheckBox>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBrowser>

#include "app/appglobals.h"
#include "app/settings.h"
#include "app/startup.h"
#include "capturehttpserver.h"
#include "modalanswerer.h"
#include "service/about.h"
#include "service/deploymentdata.h"
#include "service/signin.h"
#include "service/termsofuse.h"
#include "ui/newwindow.h"

namespace {

// The salted digest the service expects, computed here byte by byte rather
// than with the dialog's own routine.
QByteArray expectedHash(const QString &password)
{
    QByteArray salt(20, '\0');
    for (int i = 0; i < 20; ++i)
        salt[i] = char(DeploymentData::saltA[i] ^ DeploymentData::saltB[i]);
    return QCryptographicHash::hash(password.toUtf8() + salt.toHex(), QCryptographicHash::Sha1).toHex();
}

QByteArray scramble(const QByteArray &data, const QByteArray &key)
{
    QByteArray out = data;
    for (int i = 0; i < out.size(); ++i)
        out[i] = char(out[i] ^ key[i % key.size()]);
    return out;
}

// Runs the application's event loop until something quits it or the time
// runs out; returns the loop's exit code (-1 on time-out).
int runApplicationLoop(const std::function<void()> &action, int timeoutMs = 5000)
{
    QTimer::singleShot(0, action);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    guard.start(timeoutMs);
    return QApplication::exec();
}

} // namespace

class TestSignIn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstStartShowsOnlyTheTerms();
    void termsCancelOrCloseQuits_data();
    void termsCancelOrCloseQuits();
    void agreeingReachesSignInAndLasts();
    void signInCancelQuits();
    void validationMessages_data();
    void validationMessages();
    void addressIsSentAndStoredInLowerCase();
    void serviceErrors_data();
    void serviceErrors();
    void noConnection();
    void rememberedHashIsSentWithoutRehashing();
    void successOpensMainWindow();
    void versionLine_data();
    void versionLine();

private:
    SignIn *makeSignIn();
    CaptureHttpServer::Request waitForLogin();
    void typeAndSignIn(SignIn *dialog, const QString &email, const QString &password, bool remember);

    CaptureHttpServer *server = nullptr;
    QList<SignIn *> dialogs;
};

void TestSignIn::initTestCase()
{
    prepareStartup();
    server = new CaptureHttpServer(this);
    QVERIFY(server->listen());
    qputenv("QUORVEL_SERVICE_URL", server->baseUrl().toUtf8());
}

void TestSignIn::init()
{
    Settings settings(configFilePath);
    settings.clear();
    settings.sync();
    server->requests.clear();
    server->setReply(200, "{}");
}

void TestSignIn::cleanup()
{
    for (SignIn *dialog : std::as_const(dialogs)) {
        delete dialog->mainWindow();
        delete dialog;
    }
    dialogs.clear();
}

SignIn *TestSignIn::makeSignIn()
{
    auto *dialog = new SignIn(nullptr);
    dialogs << dialog;
    return dialog;
}

CaptureHttpServer::Request TestSignIn::waitForLogin()
{
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        for (const auto &request : std::as_const(server->requests)) {
            if (request.path == "/api/session/Login")
                return request;
        }
        QSignalSpy spy(server, &CaptureHttpServer::requestReceived);
        spy.wait(200);
    }
    return {};
}

void TestSignIn::typeAndSignIn(SignIn *dialog, const QString &email, const QString &password, bool remember)
{
    auto *emailField = dialog->findChild<QLineEdit *>(QStringLiteral("emlTxt"));
    auto *passwordField = dialog->findChild<QLineEdit *>(QStringLiteral("pwdTxt"));
    emailField->clear();
    QTest::keyClicks(emailField, email);
    passwordField->clear();
    QTest::keyClicks(passwordField, password);
    dialog->findChild<QCheckBox *>(QStringLiteral("rmbChk"))->setChecked(remember);
    QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("signinBtn")), Qt::LeftButton);
}

void TestSignIn::firstStartShowsOnlyTheTerms()
{
    SignIn *dialog = makeSignIn();
    dialog->Show();
    QVERIFY(dialog->termsDialog()->isVisible());
    QVERIFY(!dialog->isVisible());
    QVERIFY(dialog->termsDialog()->findChild<QWidget *>(QStringLiteral("buttonsWidget"))->isVisible());
    // Our own terms text is built in and shown.
    const QString terms = dialog->termsDialog()->findChild<QTextBrowser *>(QStringLiteral("termsBrowser"))->toPlainText();
    QVERIFY(terms.contains(QStringLiteral("ENCRYPT.TXT")));
    QCOMPARE(Settings(configFilePath).value(SettingsKeys::termsAgreed).toString(), QStringLiteral("0"));
}

void TestSignIn::termsCancelOrCloseQuits_data()
{
    QTest::addColumn<bool>("byClosing");
    QTest::newRow("cancel button") << false;
    QTest::newRow("window closed") << true;
}

void TestSignIn::termsCancelOrCloseQuits()
{
    QFETCH(bool, byClosing);
    SignIn *dialog = makeSignIn();
    dialog->Show();
    TermsOfUse *terms = dialog->termsDialog();
    const int code = runApplicationLoop([terms, byClosing] {
        if (byClosing)
            terms->close();
        else
            QTest::mouseClick(terms->findChild<QPushButton *>(QStringLiteral("cancelButton")), Qt::LeftButton);
    });
    QCOMPARE(code, 0);
    // Not agreed, so the next start asks again.
    QCOMPARE(Settings(configFilePath).value(SettingsKeys::termsAgreed).toString(), QStringLiteral("0"));
}

void TestSignIn::agreeingReachesSignInAndLasts()
{
    SignIn *first = makeSignIn();
    first->Show();
    QTest::mouseClick(first->termsDialog()->findChild<QPushButton *>(QStringLiteral("agreeButton")), Qt::LeftButton);
    QVERIFY(first->isVisible());
    QVERIFY(!first->termsDialog()->isVisible());
    QCOMPARE(Settings(configFilePath).value(SettingsKeys::termsAgreed).toString(), QStringLiteral("1"));

    SignIn *second = makeSignIn();
    second->Show();
    QVERIFY(second->isVisible());
    QVERIFY(!second->termsDialog()->isVisible());

    // Shown again from the sign-in dialog, the terms are a plain viewer
    // whose closing leaves the tool running.
    QTest::mouseClick(second->findChild<QPushButton *>(QStringLiteral("termsBtn")), Qt::LeftButton);
    QVERIFY(second->termsDialog()->isVisible());
    QVERIFY(!second->termsDialog()->findChild<QWidget *>(QStringLiteral("buttonsWidget"))->isVisible());
    TermsOfUse *terms = second->termsDialog();
    const int code = runApplicationLoop([terms] { terms->close(); }, 300);
    QCOMPARE(code, -1);
    QVERIFY(second->isVisible());
}

void TestSignIn::signInCancelQuits()
{
    Settings(configFilePath).setValue(SettingsKeys::termsAgreed, QStringLiteral("1"));
    SignIn *dialog = makeSignIn();
    dialog->Show();
    QVERIFY(dialog->isVisible());
    QPushButton *cancel = dialog->findChild<QPushButton *>(QStringLiteral("quitBtn"));
    QCOMPARE(runApplicationLoop([cancel] { QTest::mouseClick(cancel, Qt::LeftButton); }), 0);

    SignIn *another = makeSignIn();
    another->Show();
    QCOMPARE(runApplicationLoop([another] { another->close(); }), 0);
}

void TestSignIn::validationMessages_data()
{
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("message");

    const QString badEmail = QStringLiteral("<li>Wrong email format.</li>");
    const QString shortPassword = QStringLiteral("<li>Password too short.</li>");
    QTest::newRow("no at sign") << "angler.example.com" << "longenough" << badEmail;
    QTest::newRow("top-level part of five letters") << "angler@example.lures" << "longenough" << badEmail;
    QTest::newRow("top-level part of one letter") << "angler@example.c" << "longenough" << badEmail;
    QTest::newRow("seven characters") << "angler@example.com" << "1234567" << shortPassword;
    QTest::newRow("both, e-mail first") << "nobody" << "short" << badEmail + shortPassword;
    QTest::newRow("empty fields") << "" << "" << badEmail + shortPassword;
}

void TestSignIn::validationMessages()
{
    QFETCH(QString, email);
    QFETCH(QString, password);
    QFETCH(QString, message);

    Settings(configFilePath).setValue(SettingsKeys::termsAgreed, QStringLiteral("1"));
    SignIn *dialog = makeSignIn();
    dialog->Show();
    ModalAnswerer answerer;
    typeAndSignIn(dialog, email, password, false);

    QCOMPARE(answerer.texts(), QStringList{message});
    QVERIFY(dialog->findChild<QPushButton *>(QStringLiteral("signinBtn"))->isEnabled());
    // Nothing but the about dialog's version check reaches the service.
    QTest::qWait(100);
    for (const auto &request : std::as_const(server->requests))
        QCOMPARE(request.path, QByteArray("/firmware_versions"));
}

void TestSignIn::addressIsSentAndStoredInLowerCase()
{
    Settings(configFilePath).setValue(SettingsKeys::termsAgreed, QStringLiteral("1"));
    server->setReply(401, R"({"error":"wrong_password","message":"nope"})");
    SignIn *dialog = makeSignIn();
    ModalAnswerer answerer;
    // An address inside other text still passes the check, and an
    // eight-character password is long enough.
    typeAndSignIn(dialog, QStringLiteral("Mail Angler@Example.COM please"), QStringLiteral("12345678"), false);

    const auto login = waitForLogin();
    const QJsonObject body = QJsonDocument::fromJson(login.body).object();
    QCOMPARE(body.value(QStringLiteral("email")).toString(), QStringLiteral("mail angler@example.com please"));
    QCOMPARE(body.value(QStringLiteral("password")).toString().toLatin1(), expectedHash(QStringLiteral("12345678")));
    QCOMPARE(body.value(QStringLiteral("remember_me")), QJsonValue(true));
    QTRY_COMPARE(Settings(configFilePath).value(SettingsKeys::email).toString(),
                 QStringLiteral("mail angler@example.com please"));
}

void TestSignIn::serviceErrors_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("linkButton");

    QTest::newRow("wrong password") << 401 << QByteArray(R"({"error":"wrong_password","message":"Invalid credentials"})")
                                    << "Wrong email or password" << "Reset Password";
    QTest::newRow("unknown user") << 404 << QByteArray(R"({"error":"user_not_found","message":"No such user"})")
                                  << "Wrong email or password" << "Reset Password";
    QTest::newRow("locked account") << 403 << QByteArray(R"({"error":"account_not_active","message":"Account locked"})")
                                    << "Account locked" << "Unlock Account";
    QTest::newRow("locked account without message") << 403 << QByteArray(R"({"error":"account_not_active"})")
                                                    << "Error: 403" << "Unlock Account";
    QTest::newRow("server fault with message") << 500 << QByteArray(R"({"message":"Service is down for maintenance"})")
                                               << "Service is down for maintenance" << "";
    QTest::newRow("server fault, body not JSON") << 502 << QByteArray("<html>bad gateway</html>") << "Error: 502" << "";
}

void TestSignIn::serviceErrors()
{
    QFETCH(int, status);
    QFETCH(QByteArray, reply);
    QFETCH(QString, message);
    QFETCH(QString, linkButton);

    Settings(configFilePath).setValue(SettingsKeys::termsAgreed, QStringLiteral("1"));
    server->setReply(status, reply);
    SignIn *dialog = makeSignIn();
    dialog->Show();
    ModalAnswerer answerer;
    typeAndSignIn(dialog, QStringLiteral("angler@example.com"), QStringLiteral("correct horse"), false);
    QVERIFY(!dialog->findChild<QPushButton *>(QStringLiteral("signinBtn"))->isEnabled());

    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 1, 10000);
    QCOMPARE(answerer.seen.first().text, message);
    QStringList expectedButtons{QStringLiteral("OK")};
    if (!linkButton.isEmpty())
        expectedButtons << linkButton;
    QStringList shown = answerer.seen.first().visibleButtons;
    shown.sort();
    expectedButtons.sort();
    QCOMPARE(shown, expectedButtons);
    QVERIFY(dialog->findChild<QPushButton *>(QStringLiteral("signinBtn"))->isEnabled());
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->mainWindow());
}

void TestSignIn::noConnection()
{
    Settings(configFilePath).setValue(SettingsKeys::termsAgreed, QStringLiteral("1"));
    // A port that was just free: nothing answers there.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    qputenv("QUORVEL_SERVICE_URL", QByteArray("http://127.0.0.1:") + QByteArray::number(port));
    SignIn *dialog = makeSignIn();
    qputenv("QUORVEL_SERVICE_URL", server->baseUrl().toUtf8());

    ModalAnswerer answerer;
    typeAndSignIn(dialog, QStringLiteral("angler@example.com"), QStringLiteral("correct horse"), false);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 1, 10000);
    QCOMPARE(answerer.seen.first().text, QStringLiteral("Please check your internet connection."));
    QCOMPARE(answerer.seen.first().visibleButtons, QStringList{QStringLiteral("OK")});
}

void TestSignIn::rememberedHashIsSentWithoutRehashing()
{
    Settings(configFilePath).setValue(SettingsKeys::termsAgreed, QStringLiteral("1"));
    server->setReply(200, R"({"session_id":"s-123"})");
    const QString email = QStringLiteral("angler@example.com");
    const QByteArray hash = expectedHash(QStringLiteral("correct horse"));

    SignIn *first = makeSignIn();
    typeAndSignIn(first, email, QStringLiteral("correct horse"), true);
    QTRY_VERIFY_WITH_TIMEOUT(first->mainWindow(), 10000);
    QCOMPARE(Settings(configFilePath).value(SettingsKeys::password).toString().toLatin1(),
             scramble(hash, email.toUtf8()));
    QCOMPARE(Settings(configFilePath).value(SettingsKeys::rememberMe).toBool(), true);

    // Next start: the field holds the digest itself, masked, and it goes out
    // unchanged.
    server->requests.clear();
    SignIn *second = makeSignIn();
    auto *passwordField = second->findChild<QLineEdit *>(QStringLiteral("pwdTxt"));
    QCOMPARE(second->findChild<QLineEdit *>(QStringLiteral("emlTxt"))->text(), email);
    QCOMPARE(passwordField->text().toLatin1(), hash);
    QCOMPARE(passwordField->echoMode(), QLineEdit::Password);
    QVERIFY(second->findChild<QCheckBox *>(QStringLiteral("rmbChk"))->isChecked());
    QTest::mouseClick(second->findChild<QPushButton *>(QStringLiteral("signinBtn")), Qt::LeftButton);
    QCOMPARE(QJsonDocument::fromJson(waitForLogin().body).object().value(QStringLiteral("password")).toString().toLatin1(),
             hash);

    // A retyped password is hashed.
    server->requests.clear();
    SignIn *third = makeSignIn();
    typeAndSignIn(third, email, QStringLiteral("another secret"), true);
    QCOMPARE(QJsonDocument::fromJson(waitForLogin().body).object().value(QStringLiteral("password")).toString().toLatin1(),
             expectedHash(QStringLiteral("another secret")));

    // A changed address hashes whatever the field holds, even the digest.
    server->requests.clear();
    SignIn *fourth = makeSignIn();
    const QString remembered = fourth->findChild<QLineEdit *>(QStringLiteral("pwdTxt"))->text();
    QCOMPARE(remembered.size(), 40);
    auto *emailField = fourth->findChild<QLineEdit *>(QStringLiteral("emlTxt"));
    emailField->clear();
    QTest::keyClicks(emailField, QStringLiteral("other@example.com"));
    QTest::mouseClick(fourth->findChild<QPushButton *>(QStringLiteral("signinBtn")), Qt::LeftButton);
    QCOMPARE(QJsonDocument::fromJson(waitForLogin().body).object().value(QStringLiteral("password")).toString().toLatin1(),
             expectedHash(remembered));
}

void TestSignIn::successOpensMainWindow()
{
    Settings(configFilePath).setValue(SettingsKeys::termsAgreed, QStringLiteral("1"));
    server->setReply(200, R"({"session_id":"s-456"})");
    SignIn *dialog = makeSignIn();
    dialog->Show();
    typeAndSignIn(dialog, QStringLiteral("angler@example.com"), QStringLiteral("correct horse"), false);
    QTRY_VERIFY_WITH_TIMEOUT(dialog->mainWindow() && dialog->mainWindow()->isVisible(), 10000);
    QVERIFY(!dialog->isVisible());
    QVERIFY(dialog->mainWindow()->windowTitle().startsWith(QStringLiteral("Quorvel Download Tool (")));
    // Unticked "Remember Me" stores no password.
    QVERIFY(!Settings(configFilePath).contains(SettingsKeys::password));
    // The window asks for the catalogue with the new session.
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(server->requests.cbegin(), server->requests.cend(),
                                         [](const auto &r) { return r.path == "/api/smn/GetAllProducts"; }),
                             10000);
}

void TestSignIn::versionLine_data()
{
    QTest::addColumn<QByteArray>("latest");
    QTest::addColumn<QString>("aboutLine");
    QTest::addColumn<QString>("windowLine");
    QTest::addColumn<bool>("offered");

    QTest::newRow("newer on the service") << QByteArray("\"2.8\"") << "Version: 2.760 (New version available)"
                                          << "Version 2.760" << true;
    QTest::newRow("same number") << QByteArray("\"2.76\"") << "Version: 2.760 (Up to date)" << "Version: 2.760" << false;
    QTest::newRow("dotted text reads as zero") << QByteArray("\"2.7.6.1\"") << "Version: 2.760" << "Version: 2.760"
                                               << false;
    QTest::newRow("no version object") << QByteArray("null") << "Version: 2.760" << "Version: 2.760" << false;
}

void TestSignIn::versionLine()
{
    QFETCH(QByteArray, latest);
    QFETCH(QString, aboutLine);
    QFETCH(QString, windowLine);
    QFETCH(bool, offered);

    QCoreApplication::setApplicationVersion(QStringLiteral("2.7.6.0"));
    server->setReply(200, R"({"desktop":{"download_tool":{"latest_version":)" + latest
                              + R"(,"macos_download_url":"http://127.0.0.1/get-latest"}}})");
    About about;
    NewWindow window(QStringLiteral("s"));
    window.show();
    about.show();
    auto *aboutLabel = about.findChild<QLabel *>(QStringLiteral("versionLabel"));
    auto *windowLabel = window.findChild<QLabel *>(QStringLiteral("versionLabel"));
    QTRY_COMPARE_WITH_TIMEOUT(aboutLabel->text(), aboutLine, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(windowLabel->text(), windowLine, 10000);

    auto offers = [](QLabel *link) { return link->isVisible() && link->text().contains(QStringLiteral("href")); };
    auto *aboutLink = about.findChild<QLabel *>(QStringLiteral("updateLnk"));
    auto *windowLink = window.findChild<QLabel *>(QStringLiteral("updateLnk"));
    QTRY_COMPARE(offers(aboutLink), offered);
    QTRY_COMPARE(offers(windowLink), offered);
    if (offered) {
        QVERIFY(aboutLink->text().contains(QStringLiteral("get-latest\">Update</a>")));
        QVERIFY(windowLink->text().contains(QStringLiteral(">Update Available</a>)")));
    }
    QCoreApplication::setApplicationVersion(QString());
}

QTEST_MAIN(TestSignIn)
#include "tst_signin.moc"
