// The remembered sign-in lives in the keyring and in no file: not in an older
// version's config.ini once moved, not in the log, not in a file of its own
// where there is no keyring; and the data folder is its user's alone.
#include <QtTest>

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QProcess>
#include <QStandardPaths>

#include <sys/stat.h>

#include "base/appglobals.h"
#include "base/logsink.h"
#include "base/settings.h"
#include "base/startup.h"
#include "secretscan.h"
#include "service/credentialstore.h"
#include "service/passwordmigration.h"
#include "testkit.h"

namespace {

// Stands for what the service takes as the password: 40 hex digits.
QByteArray hashOf(const QByteArray &password)
{
    return QCryptographicHash::hash(password, QCryptographicHash::Sha1).toHex();
}

QByteArray scrambled(const QByteArray &hash, const QByteArray &email)
{
    QByteArray out;
    for (int i = 0; i < hash.size(); ++i)
        out.append(char(hash.at(i) ^ email.at(i % email.size())));
    return out;
}

// config.ini as an older version left it. The scrambled hash is mostly
// control characters; each character goes in as a \x escape, which the INI
// reader turns back into exactly that character.
QByteArray olderConfig(const QByteArray &email, bool rememberMe, const QByteArray &stored)
{
    QByteArray value;
    for (const char c : stored)
        value += "\\x" + QByteArray::number(uchar(c), 16);
    return "[General]\ndomain=https://charts.quorvel.example\ntermsAgreed=1\nemail=" + email
        + "\nrememberMe=" + (rememberMe ? "true" : "false") + "\npassword=\"" + value + "\"\n";
}

// Root and the entries under it with other modes than 0700 (folders) or 0600
// (files), as lstat sees them; links are always 0777 and are skipped.
QStringList notPrivate(const QString &root)
{
    QStringList open;
    QDirIterator entries(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    for (QString path = root; !path.isEmpty(); path = entries.hasNext() ? entries.next() : QString()) {
        struct stat status;
        if (::lstat(QFile::encodeName(path).constData(), &status) == 0 && !S_ISLNK(status.st_mode)
            && (status.st_mode & 07777) != (S_ISDIR(status.st_mode) ? 0700u : 0600u))
            open.append(path + QLatin1Char(' ') + QString::number(status.st_mode & 07777, 8));
    }
    return open;
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
    void dataFolderIsPrivate();
    void keyring_data();
    void keyring();
    void migration_data();
    void migration();
    void noKeyring_data();
    void noKeyring();
    void lockedKeyring();
};

void TestCredentials::initTestCase()
{
    // Never the developer's own keyring.
    QVERIFY2(qEnvironmentVariableIsSet("QUORVEL_KEYRING_BUS"), "run through tests/with-keyring.sh");
}

void TestCredentials::dataFolderIsPrivate()
{
    // First start: no folder yet. What the tool writes afterwards stays
    // private whoever writes it: the settings through their temporary file
    // and rename, the log, a container's backup in a folder of its own.
    prepareStartup();
    qInfo() << "a line for the log";
    LogSink::instance().flush();
    Settings(configFilePath).setValue(SettingsKeys::tab, QStringLiteral("2"));
    const QString backups = appDataFolder + QStringLiteral("/4321-1-5001-1000");
    writeFile(backups + QStringLiteral("/R004321_1.kim"), "container");
    QVERIFY(QFileInfo::exists(logFilePath));
    QCOMPARE(notPrivate(appDataFolder), QStringList());

    // What an older version left readable is narrowed at the next start; a
    // link to a file elsewhere is not followed.
    const QString elsewhere = QDir::homePath() + QStringLiteral("/elsewhere.txt");
    writeFile(elsewhere, "not the tool's");
    QVERIFY(QFile::link(elsewhere, appDataFolder + QStringLiteral("/link")));
    // 0755 and 0644 in Qt's terms, which count the owner twice.
    for (const QString &path : { elsewhere, appDataFolder, backups, configFilePath, logFilePath,
             backups + QStringLiteral("/R004321_1.kim") })
        QVERIFY(QFile::setPermissions(
            path, QFile::Permissions::fromInt(QFileInfo(path).isDir() ? 0x7755 : 0x6644)));
    prepareStartup();
    QCOMPARE(notPrivate(appDataFolder), QStringList());
    QVERIFY(QFileInfo(elsewhere).permissions() & QFile::ReadOther);
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

void TestCredentials::migration_data()
{
    QTest::addColumn<QByteArray>("email");
    QTest::addColumn<bool>("rememberMe");
    QTest::addColumn<QByteArray>("scrambledWith");
    QTest::addColumn<bool>("moved");

    QTest::newRow("remembered") << QByteArray("m1@example.com") << true << QByteArray("m1@example.com")
                                << true;
    QTest::newRow("Remember Me off") << QByteArray("m2@example.com") << false << QByteArray("m2@example.com")
                                     << false;
    QTest::newRow("address edited by hand since")
        << QByteArray("m3@example.com") << true << QByteArray("old@example.com") << false;
}

void TestCredentials::migration()
{
    QFETCH(QByteArray, email);
    QFETCH(bool, rememberMe);
    QFETCH(QByteArray, scrambledWith);
    QFETCH(bool, moved);

    prepareStartup();
    const QByteArray hash = hashOf(email + "'s password");
    const QByteArray stored = scrambled(hash, scrambledWith);
    writeFile(configFilePath, olderConfig(email, rememberMe, stored));

    CredentialStore store;
    {
        Settings settings(configFilePath);
        PasswordMigration migration(settings, store);
        QSignalSpy finished(&migration, &PasswordMigration::finished);
        QCOMPARE(migration.start(), moved);
        if (moved) {
            QVERIFY(finished.wait(30000));
            QCOMPARE(finished.first().first().value<CredentialResult>().kind(), CredentialResult::Ok);
        }
        // Once: the next start finds nothing to move.
        QVERIFY(!migration.start());
    }

    QVERIFY(!readAll(configFilePath).contains("\npassword="));

    store.read(QString::fromLatin1(email));
    const CredentialResult read = answer(store, &CredentialStore::readFinished);
    QCOMPARE(read.kind(), moved ? CredentialResult::Ok : CredentialResult::NotFound);
    QCOMPARE(read.secret(), moved ? hash : QByteArray());

    LogSink::instance().flush();
    QCOMPARE(SecretScan::find({ appDataFolder, logFilePath }, { hash, stored }), QStringList());
}

void TestCredentials::noKeyring_data()
{
    // The probe runs on the row's bus (none without a wrapper), on the row's
    // desktop: the desktop decides which backend the keyring library tries.
    QTest::addColumn<QStringList>("wrapper");
    QTest::addColumn<QStringList>("desktop");

    const QStringList bareBus { "dbus-run-session", "--config-file=" QUORVEL_BARE_SESSION_CONF, "--" };
    QTest::newRow("bus without a Secret Service") << bareBus << QStringList();
    QTest::newRow("KDE 4 desktop without its wallet")
        << bareBus << QStringList { "XDG_CURRENT_DESKTOP=KDE", "KDE_SESSION_VERSION=4" };
    QTest::newRow("no session bus at all") << QStringList() << QStringList();
}

void TestCredentials::noKeyring()
{
    QFETCH(QStringList, wrapper);
    QFETCH(QStringList, desktop);

    prepareStartup();
    const QByteArray email("n1@example.com");
    const QByteArray hash = hashOf("password without a keyring");
    const QByteArray stored = scrambled(hash, email);
    writeFile(configFilePath, olderConfig(email, true, stored));

    QTemporaryDir runtime;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name :
        { "DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "XDG_CURRENT_DESKTOP", "KDE_SESSION_VERSION" })
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    for (const QString &variable : std::as_const(desktop))
        environment.insert(variable.section(QLatin1Char('='), 0, 0), variable.section(QLatin1Char('='), 1));
    QProcess probe;
    probe.setProcessEnvironment(environment);
    QStringList command = wrapper;
    command << QStringLiteral(QUORVEL_CREDENTIAL_PROBE) << configFilePath;
    probe.start(command.takeFirst(), command);
    QVERIFY(probe.waitForFinished(60000));
    const QByteArray output = probe.readAllStandardOutput();
    QVERIFY2(probe.exitCode() == 0, probe.readAllStandardError().constData());
    QVERIFY2(output.startsWith("no-keyring\n"), output.constData());

    // Gone from config.ini all the same, and written nowhere else.
    QVERIFY(!readAll(configFilePath).contains("\npassword="));
    const QStringList everywhere { QDir::homePath(), QDir::tempPath(),
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation),
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) };
    QCOMPARE(SecretScan::find(everywhere, { hash, stored }), QStringList());
}

void TestCredentials::lockedKeyring()
{
    // Last: the keyring stays locked. Nothing here can answer the unlock
    // prompt, as when the user declines it; a locked keyring is none, not an
    // empty one.
    CredentialStore store;
    store.store(QStringLiteral("l1@example.com"), hashOf("locked"));
    QVERIFY(answer(store, &CredentialStore::storeFinished).ok());

    // A plain call: an introspecting QDBusInterface leaves QtDBus's cache of
    // what it learnt allocated at exit.
    const QDBusMessage locked = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.secrets"),
            QStringLiteral("/org/freedesktop/secrets"), QStringLiteral("org.freedesktop.Secret.Service"),
            QStringLiteral("Lock"))
        << QVariant::fromValue(
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
