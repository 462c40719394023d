// What the downloader shows while it works: how many files run at once, the
// speed and the time left; the download itself is tests/outcomes' business.
#include <QApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include "app/appglobals.h"
#include "app/settings.h"
#include "download/productdownloader.h"
#include "downloadfixture.h"

class TestProductDownloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void concurrencySetting_data();
    void concurrencySetting();
    void speedAndTimeLeft();
    void timeLeftText_data();
    void timeLeftText();

private:
    QTemporaryDir dataDir;
};

void TestProductDownloader::initTestCase()
{
    appDataFolder = dataDir.path();
    configFilePath = dataDir.path() + QStringLiteral("/config.ini");
}

void TestProductDownloader::concurrencySetting_data()
{
    const int ideal = QThread::idealThreadCount();
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("expected");
    QTest::newRow("zero") << QStringLiteral("0") << ideal;
    QTest::newRow("not a number") << QStringLiteral("abc") << ideal;
    QTest::newRow("one") << QStringLiteral("1") << 1;
    // The cores no longer cap it; one network manager's connections do.
    QTest::newRow("above the cores") << QString::number(ideal + 1) << qMin(ideal + 1, 6);
    QTest::newRow("above six") << QStringLiteral("16") << 6;
}

void TestProductDownloader::concurrencySetting()
{
    QFETCH(QString, stored);
    QFETCH(int, expected);
    {
        Settings settings(configFilePath);
        settings.setValue(SettingsKeys::downloadConcurrency, stored);
    }
    TestProduct product(QJsonObject { { QStringLiteral("sku"), QStringLiteral("VM-1") } }, VelmoraRegion);
    ProductDownloader downloader(nullptr, &product);
    QCOMPARE(downloader.concurrency, expected);
}

// 24 MiB over 3 s is 8 MiB/s, 64 Mbps; the 118 MiB left before the second
// report take 14 s at that rate.
void TestProductDownloader::speedAndTimeLeft()
{
    TestProduct product(QJsonObject { { QStringLiteral("sku"), QStringLiteral("VM-1") } }, VelmoraRegion);
    ProductDownloader downloader(nullptr, &product);
    QSignalSpy statuses(&downloader, &ProductDownloader::statusUpdate);
    downloader.totalBytes = 128LL << 20;
    downloader.lastTick = downloader.speedTimer.elapsed() - 3100;
    downloader.handleBytesDone(10LL << 20); // at most 10 MiB: too few to tell a speed
    QCOMPARE(statuses.count(), 0);
    downloader.handleBytesDone(14LL << 20);
    QCOMPARE(statuses.count(), 1);
    QCOMPARE(statuses.first().at(1).toString(), QStringLiteral("@ 64 Mbps -  14 seconds left"));
    QCOMPARE(downloader.doneBytes, 24LL << 20);
    QCOMPARE(downloader.windowBytes, 0);
}

void TestProductDownloader::timeLeftText_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("1") << qint64(1) << QStringLiteral(" 1 second");
    QTest::newRow("59") << qint64(59) << QStringLiteral(" 59 seconds");
    QTest::newRow("60") << qint64(60) << QStringLiteral(" 1 minute");
    QTest::newRow("3600") << qint64(3600) << QStringLiteral("1 hour 0 minutes");
    QTest::newRow("3700") << qint64(3700) << QStringLiteral("1 hour 1 minutes");
}

void TestProductDownloader::timeLeftText()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(ProductDownloader::formatTimeLeft(seconds), text);
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    TestProductDownloader test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_productdownloader.moc"
