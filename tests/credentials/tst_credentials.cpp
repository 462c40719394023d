// The remembered sign-in lives in the keyring and nowhere else: not in the
// log, not in the data folder.
#include <QtTest>

#include <QCryptographicHash>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>

#include "base/appglobals.h"
#include "base/logsink.h"
#include "base/startup.h"
#include "secretscan.h"
#include "service/credentialstore.h"
#include "testkit.h"

namespace {

// Stands for what the service takes as the password: 40 hex digits.
QByteArray hashOf(const QByteArray &password)
{
    return QCryptographicHash::hash(password, QCryptographicHash::Sha1).toHex();
}

CredentialResult answer(CredentialStore &store, void (CredentialStore::*signal)(const CredentialResult &))
{
    QSignalSpy spy(&store, signal);
    spy.wait(30000); // without an answer: a default result, which has failed
    return spy.value(0).value(0).value<CredentialResult>();
}

} // namespace

class TestCredentials : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keyring_data();
    void keyring();
    void lockedKeyring();
};

void TestCredentials::initTestCase()
{
    // Never the developer's own keyring.
    QVERIFY2(qEnvironmentVariableIsSet("QUORVEL_KEYRING_BUS"), "run through tests/with-keyring.sh");
}

void TestCredentials::keyring_data()
{
    // Each step "store <address> <password>" or "remove <address>" must
    // succeed; then the read of readAddress gives the hash of password.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("readAddress");
    QTest::addColumn<QByteArray>("password"); // empty: nothing is found

    QTest::newRow("stored, then read")
        << QStringList { "store a1@x.example one" } << "a1@x.example" << QByteArray("one");
    QTest::newRow("unknown address") << QStringList { "store a2@x.example one" } << "b2@x.example"
                                     << QByteArray();
    QTest::newRow("removed") << QStringList { "store a3@x.example one", "remove a3@x.example" }
                             << "a3@x.example" << QByteArray();
    QTest::newRow("overwritten") << QStringList { "store a4@x.example one", "store a4@x.example two" }
                                 << "a4@x.example" << QByteArray("two");
    QTest::newRow("address typed in capitals")
        << QStringList { "store A5@X.example one" } << "a5@x.example" << QByteArray("one");
    QTest::newRow("removal keeps other addresses")
        << QStringList { "store a6@x.example one", "store b6@x.example two", "remove a6@x.example" }
        << "b6@x.example" << QByteArray("two");
    QTest::newRow("removing what is not there")
        << QStringList { "remove a7@x.example" } << "a7@x.example" << QByteArray();
}

void TestCredentials::keyring()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, readAddress);
    QFETCH(QByteArray, password);

    prepareStartup();
    CredentialStore store;
    QByteArrayList secrets;
    for (const QString &step : std::as_const(steps)) {
        const QStringList words = step.split(QLatin1Char(' '));
        CredentialResult result;
        if (words.first() == QLatin1String("store")) {
            secrets.append(hashOf(words.at(2).toUtf8()));
            store.store(words.at(1), secrets.last());
            result = answer(store, &CredentialStore::storeFinished);
        } else {
            store.remove(words.at(1));
            result = answer(store, &CredentialStore::removeFinished);
        }
        QVERIFY2(result.ok(), qPrintable(step + QStringLiteral(": ") + result.message()));
    }

    store.read(readAddress);
    const CredentialResult read = answer(store, &CredentialStore::readFinished);
    QCOMPARE(read.kind(), password.isEmpty() ? CredentialResult::NotFound : CredentialResult::Ok);
    QCOMPARE(read.secret(), password.isEmpty() ? QByteArray() : hashOf(password));

    LogSink::instance().flush();
    QCOMPARE(SecretScan::find({ appDataFolder, logFilePath }, secrets), QStringList());
}

void TestCredentials::lockedKeyring()
{
    // Last: the keyring stays locked. Nothing here can answer the unlock
    // prompt, as when the user declines it; a locked keyring is none, not an
    // empty one.
    CredentialStore store;
    store.store(QStringLiteral("l1@example.com"), hashOf("locked"));
    QVERIFY(answer(store, &CredentialStore::storeFinished).ok());

    QDBusInterface service(QStringLiteral("org.freedesktop.secrets"),
        QStringLiteral("/org/freedesktop/secrets"), QStringLiteral("org.freedesktop.Secret.Service"));
    const QDBusMessage locked = service.call(QStringLiteral("Lock"),
        QVariant::fromValue(
            QList<QDBusObjectPath> { QDBusObjectPath("/org/freedesktop/secrets/collection/login") }));
    QVERIFY2(locked.type() == QDBusMessage::ReplyMessage, qPrintable(locked.errorMessage()));

    store.read(QStringLiteral("l1@example.com"));
    QCOMPARE(answer(store, &CredentialStore::readFinished).kind(), CredentialResult::NoKeyring);
    store.remove(QStringLiteral("l1@example.com"));
    QCOMPARE(answer(store, &CredentialStore::removeFinished).kind(), CredentialResult::NoKeyring);
    store.store(QStringLiteral("l2@example.com"), hashOf("locked"));
    QCOMPARE(answer(store, &CredentialStore::storeFinished).kind(), CredentialResult::NoKeyring);
}

QTEST_GUILESS_MAIN(TestCredentials)
#include "tst_credentials.moc"
