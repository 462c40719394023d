// An eject unmounts only a removable card, switches its reader off only where
// that harms nothing, and tells the user in plain words why it could not.
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "card/cardejector.h"
#include "fakeudisks.h"
#include "testkit.h"

class TestCardEjector : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void eject_data();
    void eject();

private:
    FakeUDisks udisks;
    QString busProblem;
};

void TestCardEjector::initTestCase()
{
    if (!udisks.start(&busProblem) && busProblem.isEmpty())
        busProblem = QStringLiteral("no private bus");
}

void TestCardEjector::eject_data()
{
    QTest::addColumn<bool>("service");
    // "slot", "fixed", or "unknown": a folder the service knows nothing of.
    QTest::addColumn<QString>("drive");
    QTest::addColumn<bool>("canPowerOff");
    // Another file system of the same reader stays mounted.
    QTest::addColumn<bool>("otherMounted");
    QTest::addColumn<QString>("unmountError");
    QTest::addColumn<QString>("powerOffError");
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("poweredOff");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("said");

    const QString busy = QStringLiteral("org.freedesktop.UDisks2.Error.DeviceBusy");
    const QString refused = QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed");
    const QString unsupported = QStringLiteral("org.freedesktop.UDisks2.Error.NotSupported");
    const QStringList both { "GetManagedObjects", "Unmount sdc1", "PowerOff slot" };
    const QStringList unmountOnly { "GetManagedObjects", "Unmount sdc1" };

    QTest::newRow("unmounted and switched off")
        << true << "slot" << true << false << QString() << QString() << int(CardEjector::Result::Ejected)
        << true << both << "can be taken out";
    QTest::newRow("reader cannot be switched off")
        << true << "slot" << false << false << QString() << QString() << int(CardEjector::Result::Ejected)
        << false << unmountOnly << "can be taken out";
    QTest::newRow("switching off not supported")
        << true << "slot" << true << false << QString() << unsupported << int(CardEjector::Result::Ejected)
        << false << both << "can be taken out";
    QTest::newRow("switching off refused")
        << true << "slot" << true << false << QString() << refused << int(CardEjector::Result::Ejected)
        << false << both << "can be taken out";
    QTest::newRow("another card of the reader in use")
        << true << "slot" << true << true << QString() << QString() << int(CardEjector::Result::Ejected)
        << false << unmountOnly << "can be taken out";
    QTest::newRow("unmounted meanwhile")
        << true << "slot" << true << false << QStringLiteral("org.freedesktop.UDisks2.Error.NotMounted")
        << QString() << int(CardEjector::Result::Ejected) << true << both << "can be taken out";
    QTest::newRow("files still open")
        << true << "slot" << true << false << busy << QString() << int(CardEjector::Result::Busy) << false
        << unmountOnly << "still in use";
    QTest::newRow("not authorised") << true << "slot" << true << false << refused << QString()
                                    << int(CardEjector::Result::NotAuthorised) << false << unmountOnly
                                    << "did not allow";
    QTest::newRow("unmount fails") << true << "slot" << true << false
                                   << QStringLiteral("org.freedesktop.UDisks2.Error.Failed") << QString()
                                   << int(CardEjector::Result::Failed) << false << unmountOnly
                                   << "told to refuse";
    QTest::newRow("computer's own disk") << true << "fixed" << false << false << QString() << QString()
                                         << int(CardEjector::Result::NotRemovable) << false
                                         << QStringList { "GetManagedObjects" } << "not on a removable card";
    QTest::newRow("plain folder") << true << "unknown" << false << false << QString() << QString()
                                  << int(CardEjector::Result::NotRemovable) << false
                                  << QStringList { "GetManagedObjects" } << "is a folder, not a card";
    QTest::newRow("no disk service") << false << "unknown" << false << false << QString() << QString()
                                     << int(CardEjector::Result::Unavailable) << false << QStringList()
                                     << "cannot be ejected here";
}

void TestCardEjector::eject()
{
    if (!busProblem.isEmpty())
        QSKIP(qPrintable(busProblem));
    QFETCH(bool, service);
    QFETCH(QString, drive);
    QFETCH(bool, canPowerOff);
    QFETCH(bool, otherMounted);
    QFETCH(QString, unmountError);
    QFETCH(QString, powerOffError);
    QFETCH(int, kind);
    QFETCH(bool, poweredOff);
    QFETCH(QStringList, calls);
    QFETCH(QString, said);

    udisks.reset();
    QTemporaryDir folders;
    const QString root = QFileInfo(folders.path()).canonicalFilePath() + QStringLiteral("/card");
    QVERIFY(Kit::writeCard(root, "CARD"));
    if (drive != QLatin1String("unknown")) {
        FakeUDisks::Drive flags;
        flags.mediaRemovable = drive == QLatin1String("slot");
        flags.canPowerOff = canPowerOff;
        const QString drivePath = udisks.addDrive(drive, flags);
        udisks.addFileSystem(QStringLiteral("sdc1"), drivePath, { root }, false);
        if (otherMounted)
            udisks.addFileSystem(QStringLiteral("sdc2"), drivePath, { root + QStringLiteral("2") }, false);
    }
    if (!unmountError.isEmpty())
        udisks.errors.insert(QStringLiteral("Unmount"), unmountError);
    if (!powerOffError.isEmpty())
        udisks.errors.insert(QStringLiteral("PowerOff"), powerOffError);
    QVERIFY(udisks.setPresent(service));

    CardEjector ejector;
    QSignalSpy finished(&ejector, &CardEjector::finished);
    // Given as the user may type it; the result names the folder itself.
    ejector.eject(root + QStringLiteral("/"));
    QCOMPARE(finished.count(), 0);
    QVERIFY(finished.wait(10000));
    const auto result = finished.first().first().value<CardEjector::Result>();
    QCOMPARE(int(result.kind), kind);
    QCOMPARE(result.ok(), kind == CardEjector::Result::Ejected);
    QCOMPARE(result.poweredOff, poweredOff);
    QCOMPARE(result.root, root);
    QVERIFY2(result.message.contains(said), qPrintable(result.message));
    QCOMPARE(udisks.calls, calls);
}

QTEST_GUILESS_MAIN(TestCardEjector)
#include "tst_cardejector.moc"
