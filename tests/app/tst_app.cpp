// Start-up leaves a fresh config.ini and an emptied log of what every thread said,
// in order; the tool answers its options without a display or touching the
// data of a copy that is running.
#include <QtTest>

#include <QRegularExpression>

#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include "base/appglobals.h"
#include "base/logclock.h"
#include "base/logsink.h"
#include "base/startup.h"
#include "base/utilities.h"
#include "testkit.h"

class TestApp : public QObject
{
    Q_OBJECT

private slots:
    void startupPreparesFolderAndLog();
    void logClockFollowsTheLocalTime_data();
    void logClockFollowsTheLocalTime();
    void kbToReadable_data();
    void kbToReadable();
    void commandLine_data();
    void commandLine();
};

void TestApp::startupPreparesFolderAndLog()
{
    qputenv("QUORVEL_SERVICE_URL", "http://127.0.0.1:9/base");
    prepareStartup();
    qunsetenv("QUORVEL_SERVICE_URL");
    QCOMPARE(QSettings(configFilePath, QSettings::IniFormat).value(QStringLiteral("domain")).toString(),
        QStringLiteral("http://127.0.0.1:9/base"));

    qInfo() << "first run line";
    // Developer output stays out of the user's log.
    qDebug() << "developer line";
    LogSink::instance().flush();
    const QByteArray first = readAll(logFilePath);
    QVERIFY(first.contains(" info first run line"));
    QVERIFY(!first.contains("developer line"));
    // Each start begins a log of its own; the last few runs' logs stay
    // beside it, the oldest going first.
    for (int run = 1; run <= keptLogs + 1; ++run) {
        prepareStartup();
        qInfo() << "run" << run;
        LogSink::instance().flush();
    }
    prepareStartup();
    QVERIFY(!QFileInfo::exists(logFilePath));
    for (int kept = 1; kept <= keptLogs; ++kept)
        QVERIFY(readAll(logFilePath + QLatin1Char('.') + QString::number(kept))
                    .endsWith(" run " + QByteArray::number(keptLogs + 2 - kept) + '\n'));
    QVERIFY(!QFileInfo::exists(logFilePath + QLatin1Char('.') + QString::number(keptLogs + 1)));
    // While another copy runs, a run moves no log: that copy goes on
    // writing the current one, and so does this run.
    qInfo() << "before the other copy";
    LogSink::instance().flush();
    const QByteArray previous = readAll(logFilePath + QStringLiteral(".1"));
    QProcess other;
    other.start(QStringLiteral("flock"),
                {QStringLiteral("--no-fork"), QStringLiteral("-s"), appDataFolder + QStringLiteral("/QuorvelV2.lock"),
                 QStringLiteral("sleep"), QStringLiteral("60")});
    QVERIFY(other.waitForStarted());
    const QByteArray holder = " " + QByteArray::number(other.processId()) + " ";
    QTRY_VERIFY(readAll(QStringLiteral("/proc/locks")).contains(holder));
    prepareStartup();
    qInfo() << "beside the other copy";
    LogSink::instance().flush();
    QVERIFY(readAll(logFilePath).contains(" info before the other copy\n"));
    QVERIFY(readAll(logFilePath).contains("Another copy of the tool is running"));
    QCOMPARE(readAll(logFilePath + QStringLiteral(".1")), previous);
    other.kill();
    QVERIFY(other.waitForFinished());
    prepareStartup();
    QVERIFY(readAll(logFilePath + QStringLiteral(".1")).endsWith(" info beside the other copy\n"));
    // More lines than may wait hold the writer back: none is lost, and all
    // come before the GUI thread's next line.
    const int lines = 30000;
    std::unique_ptr<QThread> worker(QThread::create([] {
        for (int i = 0; i < lines; ++i)
            qWarning() << "worker line" << i;
    }));
    worker->start();
    QVERIFY(worker->wait(30000));
    qInfo() << "gui thread line";
    LogSink::instance().flush();
    const QList<QByteArray> log = readAll(logFilePath).split('\n');
    QCOMPARE(log.size(), lines + 2); // and the empty piece after the last line feed
    // Every line says when and how serious.
    static const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} warning "));
    for (int i = 0; i < lines; ++i) {
        QVERIFY(stamp.match(QString::fromUtf8(log.at(i))).hasMatch());
        QVERIFY(log.at(i).endsWith(QByteArray(" worker line ") + QByteArray::number(i)));
    }
    QVERIFY(log.at(lines).endsWith(" info gui thread line"));

    // Without a flush, a line arrives by itself.
    std::unique_ptr<QThread> late(QThread::create([] { qWarning() << "late worker line"; }));
    late->start();
    QVERIFY(late->wait(10000));
    QTRY_VERIFY(readAll(logFilePath).contains("late worker line"));

    // The writer gathers a burst before writing it, but a flush does not
    // wait for that.
    QElapsedTimer flushing;
    flushing.start();
    for (int i = 0; i < 50; ++i) {
        qInfo() << "flushed line" << i;
        LogSink::instance().flush();
        QVERIFY(readAll(logFilePath).endsWith(" flushed line " + QByteArray::number(i) + '\n'));
    }
    QVERIFY2(flushing.elapsed() < 50 * LogSink::gatherFor.count(),
        qPrintable(QString::number(flushing.elapsed())));
}

void TestApp::logClockFollowsTheLocalTime_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QList<qint64>>("moments");

    // In this order, on one thread: what a second's text is reused for, and
    // what makes it be converted again.
    const QByteArray berlin = "CET-1CEST,M3.5.0,M10.5.0/3";
    QTest::newRow("within a second, then the next")
        << berlin << QList<qint64> { 1700000000123, 1700000000999, 1700000001000, 1700000061000 };
    QTest::newRow("the clock set back")
        << berlin << QList<qint64> { 1700000005000, 1700000001500, 1700000001499 };
    QTest::newRow("summer time begins") << berlin << QList<qint64> { 1711846799900, 1711846800100 };
    QTest::newRow("summer time ends") << berlin << QList<qint64> { 1729990799999, 1729990800000 };
    QTest::newRow("before 1970") << QByteArray("UTC0") << QList<qint64> { -1500, -1000, -1 };
}

void TestApp::logClockFollowsTheLocalTime()
{
    QFETCH(QByteArray, zone);
    QFETCH(QList<qint64>, moments);

    const bool hadZone = qEnvironmentVariableIsSet("TZ");
    const QByteArray before = qgetenv("TZ");
    qputenv("TZ", zone);
    tzset();
    // The zone is read when a second is converted; a change of zone within a
    // second is only ever seen from the next one on, so each row starts anew.
    LogClock::stamp(0);
    for (const qint64 moment : moments) {
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(moment);
        QCOMPARE(
            LogClock::stamp(moment), local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toLatin1());
        QCOMPARE(LogClock::textDate(moment), local.toString(Qt::TextDate));
    }
    if (hadZone)
        qputenv("TZ", before);
    else
        qunsetenv("TZ");
    tzset();
}

void TestApp::kbToReadable_data()
{
    QTest::addColumn<double>("kb");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<bool>("withUnit");
    QTest::addColumn<QString>("expected");

    QTest::newRow("just below MiB stays KB") << 1023.999 << QString() << true << "1024.00 KB";
    QTest::newRow("1536 auto") << 1536.0 << QString() << true << "1.50 MB";
    QTest::newRow("unit chosen before rounding") << 1048575.0 << QString() << true << "1024.00 MB";
    QTest::newRow("512 as MB") << 512.0 << "MB" << true << "0.50 MB";
    QTest::newRow("2048 as MB, no unit") << 2048.0 << "MB" << false << "2.00";

    QTest::newRow("negative") << -1.0 << QString() << true << QString();
}

void TestApp::kbToReadable()
{
    QFETCH(double, kb);
    QFETCH(QString, unit);
    QFETCH(bool, withUnit);
    QTEST(Utilities::kbToReadable(kb, unit, withUnit), "expected");
}

void TestApp::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("platform"); // QT_QPA_PLATFORM; empty: no display at all
    QTest::addColumn<int>("exitCode"); // -1: the tool starts
    QTest::addColumn<QString>("stdoutContains");
    QTest::addColumn<QString>("stderrContains");

    const QString version = QStringLiteral("Quorvel Download Tool " QUORVEL_VERSION "\n");
    const QString minimal = QStringLiteral("minimal");
    QTest::newRow("no options") << QStringList() << minimal << -1 << QString() << QString();
    QTest::newRow("--version") << QStringList{"--version"} << QString() << 0 << version << QString();
    QTest::newRow("--help") << QStringList{"--help"} << minimal << 0 << "Usage: quorvel-download-tool [options]"
                            << QString();
    QTest::newRow("-h with -v") << QStringList{"-v", "-h"} << minimal << 0 << "--version  Show the version"
                                << QString();
    // Qt's own option, Qt's to honour.
    QTest::newRow("-platform value") << QStringList{"-platform", "minimal"} << QString() << -1 << QString()
                                     << QString();
    QTest::newRow("-platform without value")
        << QStringList{"-platform"} << minimal << 2 << QString() << "Missing value after '-platform'";
    QTest::newRow("unknown option") << QStringList{"--verbose"} << minimal << 2 << QString()
                                    << "Unknown option 'verbose'";
    QTest::newRow("stray argument") << QStringList{"/media/card/ENCRYPT.TXT"} << minimal << 2 << QString()
                                    << "unexpected argument '/media/card/ENCRYPT.TXT'";
    // Without a display it says so and ends, instead of aborting.
    QTest::newRow("no display") << QStringList() << QString() << 1 << QString() << "no display";
}

// The real executable, in a data folder where another copy runs.
void TestApp::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, platform);
    QFETCH(int, exitCode);
    QFETCH(QString, stdoutContains);
    QFETCH(QString, stderrContains);

    QTemporaryDir data;
    const QString smn = data.filePath(QStringLiteral("SMN"));
    writeFile(smn + QStringLiteral("/QuorvelV2.log"), "line of the running copy\n");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), data.path());
    env.insert(QStringLiteral("QUORVEL_SERVICE_URL"), QStringLiteral("http://127.0.0.1:9"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    if (!platform.isEmpty())
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    QProcess app;
    Kit::dieWithParent(app);
    app.setProcessEnvironment(env);
    app.start(QStringLiteral(QUORVEL_APP_PATH), arguments);
    QVERIFY(app.waitForStarted());

    if (exitCode < 0) {
        // Past its options it fills config.ini and waits for the user.
        const QString ini = smn + QStringLiteral("/config.ini");
        QTRY_VERIFY_WITH_TIMEOUT(QSettings(ini, QSettings::IniFormat).contains(QStringLiteral("termsAgreed")), 20000);
        QCOMPARE(app.state(), QProcess::Running);
        app.kill();
        app.waitForFinished();
        return;
    }
    QVERIFY(app.waitForFinished(30000));
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), exitCode);
    const QString out = QString::fromLocal8Bit(app.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(app.readAllStandardError());
    QVERIFY2(stdoutContains.isEmpty() ? out.isEmpty() : out.contains(stdoutContains), qPrintable(out));
    QVERIFY2(stderrContains.isEmpty() ? err.isEmpty()
                                      : err.contains(stderrContains) && (exitCode != 2 || err.contains("--help")),
             qPrintable(err));
    // The running copy's log and settings are left alone.
    QCOMPARE(readAll(smn + QStringLiteral("/QuorvelV2.log")), QByteArray("line of the running copy\n"));
    QCOMPARE(QDir(smn).entryList(QDir::Files), QStringList{QStringLiteral("QuorvelV2.log")});
}

QTEST_GUILESS_MAIN(TestApp)
#include "tst_app.moc"
