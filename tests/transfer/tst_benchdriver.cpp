// The benchmark driver must run the real downloader end to end and print
// its figures; a driver that silently measures nothing would make every
// benchmark table a lie.
#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>

#include "chartserviceprocess.h"

class TestBenchDriver : public QObject
{
    Q_OBJECT

private slots:
    void downloadsThenVerifiesWithoutRefetching();

private:
    QMap<QString, QString> run(const QString &card);

    ChartServiceProcess service;
};

QMap<QString, QString> TestBenchDriver::run(const QString &card)
{
    QProcess driver;
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
    QMap<QString, QString> figures;
    if (!driver.waitForFinished(60000))
        return figures;
    const QList<QByteArray> lines = driver.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            figures.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    figures.insert(QStringLiteral("exit"), QString::number(driver.exitCode()));
    return figures;
}

void TestBenchDriver::downloadsThenVerifiesWithoutRefetching()
{
    QVERIFY(service.start());
    QTemporaryDir root;
    const QString card = root.path() + QStringLiteral("/card");
    QVERIFY(ChartServiceProcess::makeCard(card, QStringLiteral("velmora")));

    const QMap<QString, QString> first = run(card);
    QCOMPARE(first.value(QStringLiteral("exit")), QStringLiteral("0"));
    QVERIFY2(!first.contains(QStringLiteral("error")), qPrintable(first.value(QStringLiteral("error"))));
    QVERIFY(first.value(QStringLiteral("bytes")).toLongLong() > 0);
    for (const char *key : { "wall_s", "throughput_mib_s", "peak_rss_mib", "max_stall_ms", "concurrency" })
        QVERIFY2(first.value(QString::fromLatin1(key)).toDouble() > 0, key);
    QVERIFY(!service.requestLog(QStringLiteral("*/VMARD01/*")).isEmpty());

    // The same card again: every file is checked by SHA-1 and none fetched.
    QVERIFY(service.clearRequestLog());
    const QMap<QString, QString> again = run(card);
    QCOMPARE(again.value(QStringLiteral("exit")), QStringLiteral("0"));
    QCOMPARE(again.value(QStringLiteral("bytes")), first.value(QStringLiteral("bytes")));
    QCOMPARE(service.requestLog(QStringLiteral("*/VMARD01/*")).size(), 0);
}

QTEST_GUILESS_MAIN(TestBenchDriver)
#include "tst_benchdriver.moc"
