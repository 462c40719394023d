// The benchmark driver must run the real downloader end to end and print
// its figures; a driver that silently measures nothing would make every
// benchmark table a lie.
#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>

#include "chartserviceprocess.h"
#include "testkit.h"

class TestBenchDriver : public QObject
{
    Q_OBJECT

private slots:
    void runsTheDownloaderAndPrintsItsFigures();
};

void TestBenchDriver::runsTheDownloaderAndPrintsItsFigures()
{
    ChartServiceProcess service;
    QVERIFY(service.start());
    QTemporaryDir root;
    const QString card = root.path() + QStringLiteral("/card");
    QVERIFY(ChartServiceProcess::makeCard(card, QStringLiteral("velmora")));

    QProcess driver;
    Kit::dieWithParent(driver);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Over HTTPS: the figures must include the handshakes a user's run pays.
    env.insert(QStringLiteral("QUORVEL_SERVICE_URL"), service.httpsBaseUrl());
    env.insert(QStringLiteral("QUORVEL_EXTRA_CA_FILE"), service.caFilePath());
    driver.setProcessEnvironment(env);
    driver.start(QStringLiteral(QUORVEL_BENCH_PATH),
        { QStringLiteral("--email"), QString::fromLatin1(ChartServiceProcess::DemoEmail),
            QStringLiteral("--password"), QString::fromLatin1(ChartServiceProcess::DemoPassword),
            QStringLiteral("--sku"), QStringLiteral("VM-ARD-01"), QStringLiteral("--type"),
            QStringLiteral("velmora"), QStringLiteral("--card"), card });
    QVERIFY(driver.waitForFinished(60000));
    QCOMPARE(driver.exitCode(), 0);
    QMap<QString, QString> figures;
    for (const QByteArray &line : driver.readAllStandardOutput().split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            figures.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    QVERIFY2(!figures.contains(QStringLiteral("error")), qPrintable(figures.value(QStringLiteral("error"))));
    QVERIFY(figures.value(QStringLiteral("bytes")).toLongLong() > 0);
    for (const char *key : { "wall_s", "throughput_mib_s", "peak_rss_mib", "max_stall_ms", "concurrency" })
        QVERIFY2(figures.value(QString::fromLatin1(key)).toDouble() > 0, key);
    QVERIFY(!service.requestLog(QStringLiteral("*/VMARD01/*")).isEmpty());
}

QTEST_GUILESS_MAIN(TestBenchDriver)
#include "tst_benchdriver.moc"
