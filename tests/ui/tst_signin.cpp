// The way into the tool as a user sees it, against the local chart service: the
// terms gate, sign-in refusals, the remembered sign-in (in a keyring of the
// test's own, never in a file), the version line.
#include <QtTest>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>

#include "base/appglobals.h"
#include "base/settings.h"
#include "base/startup.h"
#include "chartserviceprocess.h"
#include "dialogs/about.h"
#include "dialogs/signin.h"
#include "dialogs/termsofuse.h"
#include "modalanswerer.h"
#include "secretscan.h"
#include "service/account.h"
#include "service/chartservice.h"
#include "shell/appcontroller.h"
#include "window/newwindow.h"

namespace {

// The salted digest the service expects, from the test kit rather than the tool.
QByteArray expectedHash(const QString &password)
{
    return ChartServiceProcess::passwordHash(password).toLatin1();
}

// The loop's exit code, -1 on time-out. The time-out goes with the loop:
// left pending, it would end whatever loop runs later.
int runApplicationLoop(const std::function<void()> &action, int timeoutMs = 5000)
{
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    timeout.start(timeoutMs);
    QTimer::singleShot(0, action);
    return QApplication::exec();
}

template<typename T> T *child(QObject *parent, const char *name)
{
    return parent->findChild<T *>(QString::fromLatin1(name));
}

} // namespace

class TestSignIn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void cancelOrCloseQuits_data();
    void cancelOrCloseQuits();
    void agreeingReachesSignInAndLasts();
    void refusals_data();
    void refusals();
    void passwordHashSentAndRemembered();
    void olderRememberedSignInMovesToTheKeyring();
    void versionLine_data();
    void versionLine();

private:
    AppController *start(bool termsAgreed = true);
    void typeAndSignIn(SignIn *dialog, const QString &email, const QString &password, bool remember);
    // The password of the next sign-in to reach the service.
    QByteArray nextPassword();

    ChartServiceProcess service;
    QList<AppController *> controllers;
    int loginsSeen = 0;
};

void TestSignIn::initTestCase()
{
    prepareStartup();
    QVERIFY(service.start());
    qputenv("QUORVEL_SERVICE_URL", service.baseUrl().toUtf8());
}

void TestSignIn::init()
{
    Settings settings(configFilePath);
    settings.clear();
    settings.sync();
    QVERIFY(service.clearFaults());
    QVERIFY(service.clearRequestLog());
    loginsSeen = 0;
}

void TestSignIn::cleanup()
{
    qDeleteAll(controllers);
    controllers.clear();
}

AppController *TestSignIn::start(bool termsAgreed)
{
    if (termsAgreed)
        Settings(configFilePath).setValue(SettingsKeys::termsAgreed, QStringLiteral("1"));
    auto *controller = new AppController;
    controllers << controller;
    controller->start();
    return controller;
}

QByteArray TestSignIn::nextPassword()
{
    auto logins = [this] { return service.requestLog(QStringLiteral("*Login")); };
    if (!QTest::qWaitFor([&] { return logins().size() > loginsSeen; }, 10000))
        return {};
    const QJsonObject body = logins().at(loginsSeen++).toObject().value(QStringLiteral("json")).toObject();
    return body.value(QStringLiteral("password")).toString().toLatin1();
}

void TestSignIn::typeAndSignIn(SignIn *dialog, const QString &email, const QString &password, bool remember)
{
    auto *emailField = child<QLineEdit>(dialog, "emlTxt");
    auto *passwordField = child<QLineEdit>(dialog, "pwdTxt");
    emailField->clear();
    QTest::keyClicks(emailField, email);
    passwordField->clear();
    QTest::keyClicks(passwordField, password);
    child<QCheckBox>(dialog, "rmbChk")->setChecked(remember);
    QTest::mouseClick(child<QPushButton>(dialog, "signinBtn"), Qt::LeftButton);
}

void TestSignIn::cancelOrCloseQuits_data()
{
    QTest::addColumn<bool>("terms");
    QTest::addColumn<QString>("how");
    QTest::newRow("terms, cancel button") << true << "button";
    QTest::newRow("terms, window closed") << true << "close";
    QTest::newRow("terms, Escape") << true << "escape";
    QTest::newRow("sign-in, cancel button") << false << "button";
    QTest::newRow("sign-in, window closed") << false << "close";
    QTest::newRow("sign-in, Escape") << false << "escape";
}

void TestSignIn::cancelOrCloseQuits()
{
    QFETCH(bool, terms);
    QFETCH(QString, how);
    AppController *controller = start(!terms);
    QWidget *shown = terms ? static_cast<QWidget *>(controller->termsWindow())
                           : static_cast<QWidget *>(controller->signInDialog());
    auto *cancel = child<QPushButton>(shown, terms ? "cancelButton" : "quitBtn");
    QCOMPARE(runApplicationLoop([=] {
                 if (how == QLatin1String("close"))
                     shown->close();
                 else if (how == QLatin1String("escape"))
                     QTest::keyClick(shown, Qt::Key_Escape);
                 else
                     QTest::mouseClick(cancel, Qt::LeftButton);
             }),
             0);
    // Not agreed, so the next start asks again.
    if (terms)
        QCOMPARE(Settings(configFilePath).value(SettingsKeys::termsAgreed).toString(), QStringLiteral("0"));
}

void TestSignIn::agreeingReachesSignInAndLasts()
{
    AppController *first = start(false);
    QVERIFY(!first->signInDialog());
    QCOMPARE(Settings(configFilePath).value(SettingsKeys::termsAgreed).toString(), QStringLiteral("0"));
    // Enter agrees, as the button that has the focus says.
    child<QPushButton>(first->termsWindow(), "agreeButton")->setFocus();
    QTest::keyClick(first->termsWindow(), Qt::Key_Return);
    QVERIFY(first->signInDialog()->isVisible());
    QVERIFY(!first->termsWindow()->isVisible());

    AppController *second = start(false);
    QVERIFY(second->signInDialog()->isVisible());
    QVERIFY(!second->termsWindow());

    // Shown again from sign-in, the terms are a viewer whose closing quits nothing.
    QTest::mouseClick(child<QPushButton>(second->signInDialog(), "termsBtn"), Qt::LeftButton);
    TermsOfUse *terms = second->termsWindow();
    QVERIFY(terms->isVisible());
    QVERIFY(!child<QWidget>(terms, "buttonsWidget")->isVisible());
    QCOMPARE(runApplicationLoop([terms] { terms->close(); }, 300), -1);
    QVERIFY(second->signInDialog()->isVisible());
}

void TestSignIn::refusals_data()
{
    QTest::addColumn<QString>("email");
    QTest::addColumn<QJsonArray>("faults");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("buttons"); // sorted
    QTest::addColumn<QString>("message");

    const QString badEmail = QStringLiteral("<li>Wrong email format.</li>");
    const QString shortPassword = QStringLiteral("<li>Password too short.</li>");
    const QString demo = QString::fromLatin1(ChartServiceProcess::DemoEmail);
    const QString demoPassword = QString::fromLatin1(ChartServiceProcess::DemoPassword);
    const QStringList ok{QStringLiteral("OK")};
    const QJsonArray none;
    // Refused by the dialog before anything is sent.
    QTest::newRow("no at sign") << "angler.example.com" << none << "longenough" << ok << badEmail;
    QTest::newRow("top-level part of five letters") << "angler@example.lures" << none << "longenough" << ok
                                                    << badEmail;
    QTest::newRow("seven characters") << "angler@example.com" << none << "1234567" << ok << shortPassword;
    QTest::newRow("both, e-mail first") << "nobody" << none << "short" << ok << badEmail + shortPassword;
    // Refused by the service, or no service at all.
    QTest::newRow("wrong password") << demo << none << "Demo-Pass-2025" << QStringList{"OK", "Reset Password"}
                                    << "Wrong email or password";
    QTest::newRow("locked account") << QString::fromLatin1(ChartServiceProcess::LockedEmail) << none
                                    << QString::fromLatin1(ChartServiceProcess::LockedPassword)
                                    << QStringList{"OK", "Unlock Account"}
                                    << "This account is locked. Follow the link in your e-mail to unlock it.";
    QTest::newRow("server fault with message")
        << demo
        << QJsonArray{QJsonObject{{"kind", "status"}, {"path", "*Login"}, {"message", "Service is down for maintenance"}}}
        << demoPassword << ok << "Service is down for maintenance";
    QTest::newRow("server fault, body not JSON")
        << demo
        << QJsonArray{QJsonObject{{"kind", "status"}, {"path", "*Login"}, {"status", 502}},
                      QJsonObject{{"kind", "non_json"}, {"path", "*Login"}}}
        << demoPassword << ok << "Error: 502";
    QTest::newRow("nothing answers") << demo << none << demoPassword << ok << "Please check your internet connection.";
}

void TestSignIn::refusals()
{
    QFETCH(QString, email);
    QFETCH(QString, password);
    QFETCH(QJsonArray, faults);
    QFETCH(QString, message);

    if (!faults.isEmpty())
        QVERIFY(service.addFault({{QStringLiteral("faults"), faults}}));
    if (QTest::currentDataTag() == QLatin1String("nothing answers")) {
        // A port that was just free.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        qputenv("QUORVEL_SERVICE_URL", QByteArray("http://127.0.0.1:") + QByteArray::number(probe.serverPort()));
    }
    AppController *controller = start();
    qputenv("QUORVEL_SERVICE_URL", service.baseUrl().toUtf8());
    SignIn *dialog = controller->signInDialog();
    ModalAnswerer answerer;
    typeAndSignIn(dialog, email, password, false);
    // A request sent keeps the button disabled until its reply.
    const bool sent = !message.startsWith(QLatin1String("<li>"));
    QCOMPARE(child<QPushButton>(dialog, "signinBtn")->isEnabled(), !sent);

    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 1, 10000);
    QCOMPARE(answerer.seen.first().text, message);
    QStringList shown = answerer.seen.first().visibleButtons;
    shown.sort();
    QTEST(shown, "buttons");
    QVERIFY(child<QPushButton>(dialog, "signinBtn")->isEnabled());
    QVERIFY(dialog->isVisible());
    QVERIFY(!controller->mainWindow());
    QCOMPARE(service.firedCount(), faults.size());
}

void TestSignIn::passwordHashSentAndRemembered()
{
    // Eight characters are enough.
    ModalAnswerer answerer;
    typeAndSignIn(start()->signInDialog(), QStringLiteral("angler@example.com"), QStringLiteral("12345678"), false);
    QCOMPARE(nextPassword(), expectedHash(QStringLiteral("12345678")));
    QTRY_COMPARE(answerer.seen.size(), 1);

    // Success without "Remember Me": the main window opens, no password is kept.
    const QString email = QString::fromLatin1(ChartServiceProcess::DemoEmail);
    const QString password = QString::fromLatin1(ChartServiceProcess::DemoPassword);
    AppController *first = start();
    typeAndSignIn(first->signInDialog(), email, password, false);
    QTRY_VERIFY_WITH_TIMEOUT(first->mainWindow() && first->mainWindow()->isVisible(), 10000);
    QVERIFY(!first->signInDialog()->isVisible());
    QVERIFY(!Settings(configFilePath).contains(SettingsKeys::password));
    nextPassword();
    // Signed out, the dialog comes back without the password typed before.
    first->mainWindow()->findChild<QAction *>(QStringLiteral("signOutAction"))->trigger();
    QTRY_VERIFY(first->signInDialog()->isVisible());
    QCOMPARE(child<QLineEdit>(first->signInDialog(), "emlTxt")->text(), email);
    QVERIFY(child<QLineEdit>(first->signInDialog(), "pwdTxt")->text().isEmpty());

    // With it, the digest goes to the keyring and nowhere the tool writes.
    AppController *second = start();
    typeAndSignIn(second->signInDialog(), email, password, true);
    const QByteArray hash = nextPassword();
    QCOMPARE(hash, expectedHash(password));
    QTRY_VERIFY_WITH_TIMEOUT(second->mainWindow(), 10000);
    QVERIFY(!Settings(configFilePath).contains(SettingsKeys::password));

    // Next start: the field shows a stand-in, never the digest, and the
    // remembered digest goes out.
    SignIn *third = start()->signInDialog();
    QCOMPARE(child<QLineEdit>(third, "emlTxt")->text(), email);
    QTRY_VERIFY_WITH_TIMEOUT(!child<QLineEdit>(third, "pwdTxt")->text().isEmpty(), 10000);
    QVERIFY(!child<QLineEdit>(third, "pwdTxt")->text().toLatin1().contains(hash.left(8)));
    QVERIFY(child<QCheckBox>(third, "rmbChk")->isChecked());
    QTest::mouseClick(child<QPushButton>(third, "signinBtn"), Qt::LeftButton);
    QCOMPARE(nextPassword(), hash);
    const QByteArray session = second->account()->sessionId().toUtf8();
    QVERIFY(!session.isEmpty());
    const QStringList written = SecretScan::find({QFileInfo(configFilePath).absolutePath(), QDir::homePath()},
                                                 {hash, password.toUtf8(), session});
    QVERIFY2(written.isEmpty(), qPrintable(written.join(QLatin1Char('\n'))));

    // A retyped password is hashed.
    typeAndSignIn(start()->signInDialog(), email, QStringLiteral("another secret"), true);
    QCOMPARE(nextPassword(), expectedHash(QStringLiteral("another secret")));

    // Another address never gets the remembered credential.
    answerer.seen.clear();
    SignIn *fifth = start()->signInDialog();
    child<QLineEdit>(fifth, "emlTxt")->setText(QStringLiteral("other@example.com"));
    QTest::mouseClick(child<QPushButton>(fifth, "signinBtn"), Qt::LeftButton);
    QTRY_COMPARE(answerer.texts(), QStringList{QStringLiteral("<li>Password too short.</li>")});

    // Without "Remember Me" the credential is forgotten.
    typeAndSignIn(start()->signInDialog(), email, password, false);
    nextPassword();
    SignIn *last = start()->signInDialog();
    QTest::qWait(500);
    QVERIFY(child<QLineEdit>(last, "pwdTxt")->text().isEmpty());
}

void TestSignIn::olderRememberedSignInMovesToTheKeyring()
{
    // An older version kept the digest in config.ini, scrambled with the
    // address: computed here, not by the tool.
    const QString email = QString::fromLatin1(ChartServiceProcess::DemoEmail);
    const QByteArray hash = expectedHash(QString::fromLatin1(ChartServiceProcess::DemoPassword));
    QByteArray scrambled = hash;
    for (int i = 0; i < scrambled.size(); ++i)
        scrambled[i] = char(scrambled[i] ^ email.toUtf8().at(i % email.size()));
    {
        Settings settings(configFilePath);
        settings.setValue(SettingsKeys::email, email);
        settings.setValue(SettingsKeys::rememberMe, true);
        settings.setValue(SettingsKeys::password, QString::fromUtf8(scrambled));
    }
    SignIn *dialog = start()->signInDialog();
    QTRY_VERIFY_WITH_TIMEOUT(!child<QLineEdit>(dialog, "pwdTxt")->text().isEmpty(), 10000);
    QVERIFY(!Settings(configFilePath).contains(SettingsKeys::password));
    QTest::mouseClick(child<QPushButton>(dialog, "signinBtn"), Qt::LeftButton);
    QCOMPARE(nextPassword(), hash);
}

void TestSignIn::versionLine_data()
{
    QTest::addColumn<QString>("latest");
    QTest::addColumn<bool>("offered");
    QTest::addColumn<QString>("aboutLine");
    QTest::addColumn<QString>("windowLine");

    QTest::newRow("newer") << "2.8" << true << QStringLiteral("Version: 2.7.6.0 (New version available)")
                           << "Version 2.7.6.0";
    QTest::newRow("same number") << "2.76" << false << QStringLiteral("Version: 2.7.6.0 (Up to date)")
                                 << "Version: 2.7.6.0";
    QTest::newRow("dotted text reads as zero") << "2.7.6.1" << false << QStringLiteral("Version: 2.7.6.0")
                                               << "Version: 2.7.6.0";
}

void TestSignIn::versionLine()
{
    QFETCH(QString, latest);
    QFETCH(QString, aboutLine);
    QFETCH(QString, windowLine);
    QFETCH(bool, offered);

    QCoreApplication::setApplicationVersion(QStringLiteral("2.7.6.0"));
    auto restore = qScopeGuard([] { QCoreApplication::setApplicationVersion(QString()); });
    QVERIFY(service.setFirmware({{QStringLiteral("latest_version"), latest},
                                 {QStringLiteral("macos_download_url"), QStringLiteral("http://127.0.0.1/get-latest")}}));
    ChartService chart;
    Account account(&chart);
    About about(&chart);
    NewWindow window(&chart, &account);
    window.show();
    about.show();
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(&about, "versionLabel")->text(), aboutLine, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(&window, "versionLabel")->text(), windowLine, 10000);

    auto *aboutLink = child<QLabel>(&about, "updateLnk");
    auto *windowLink = child<QLabel>(&window, "updateLnk");
    auto offers = [](QLabel *link) { return link->isVisible() && link->text().contains(QStringLiteral("href")); };
    QTRY_COMPARE(offers(aboutLink), offered);
    QTRY_COMPARE(offers(windowLink), offered);
    if (offered) {
        QVERIFY(aboutLink->text().contains(QStringLiteral("get-latest\">Update</a>")));
        QVERIFY(windowLink->text().contains(QStringLiteral(">Update Available</a>)")));
    }
}

QTEST_MAIN(TestSignIn)
#include "tst_signin.moc"
