// Start-up leaves a fresh config.ini and an emptied log of what every thread said,
// in order; the command line answers without a display or touching the user's data;
// every picture the window names is in the binary.
#include <QtTest>

#include <QDirIterator>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include "base/appglobals.h"
#include "shell/commandline.h"
#include "base/logsink.h"
#include "base/startup.h"
#include "base/utilities.h"
#include "testkit.h"

class TestApp : public QObject
{
    Q_OBJECT

private slots:
    void startupPreparesFolderAndLog();
    void kbToReadable_data();
    void kbToReadable();
    void commandLine_data();
    void commandLine();
    void realApplication();
    void picturesLoad_data();
    void picturesLoad();
};

void TestApp::startupPreparesFolderAndLog()
{
    qputenv("QUORVEL_SERVICE_URL", "http://127.0.0.1:9/base");
    prepareStartup();
    qunsetenv("QUORVEL_SERVICE_URL");
    QCOMPARE(QSettings(configFilePath, QSettings::IniFormat).value(QStringLiteral("domain")).toString(),
        QStringLiteral("http://127.0.0.1:9/base"));

    qDebug() << "first run line";
    LogSink::instance().flush();
    QVERIFY(readAll(logFilePath).contains("first run line"));
    // A second start empties what the first one wrote before anything else.
    prepareStartup();
    QCOMPARE(QFileInfo(logFilePath).size(), 0);
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
    for (int i = 0; i < lines; ++i)
        QCOMPARE(log.at(i), QByteArray("worker line ") + QByteArray::number(i));
    QCOMPARE(log.at(lines), QByteArray("gui thread line"));

    // Without a flush, a line arrives by itself.
    std::unique_ptr<QThread> late(QThread::create([] { qWarning() << "late worker line"; }));
    late->start();
    QVERIFY(late->wait(10000));
    QTRY_VERIFY(readAll(logFilePath).contains("late worker line"));
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
    QTest::addColumn<int>("exitCode"); // -1: the tool starts
    QTest::addColumn<QString>("stdoutContains");
    QTest::addColumn<QString>("stderrContains");

    const QString prog = QStringLiteral("/usr/bin/quorvel-download-tool");
    const QString version = QStringLiteral("Quorvel Download Tool " QUORVEL_VERSION "\n");
    QTest::newRow("no options") << QStringList { prog } << -1 << QString() << QString();
    QTest::newRow("--version") << QStringList { prog, "--version" } << 0 << version << QString();
    QTest::newRow("--help") << QStringList { prog, "--help" } << 0 << "Usage: quorvel-download-tool [options]"
                            << QString();
    QTest::newRow("-h with -v") << QStringList { prog, "-v", "-h" } << 0 << "--version  Show the version"
                                << QString();
    QTest::newRow("-platform value") << QStringList { prog, "-platform", "offscreen" } << -1 << QString()
                                     << QString();

    QTest::newRow("-platform without value")
        << QStringList { prog, "-platform" } << 2 << QString() << "Missing value after '-platform'";
    QTest::newRow("unknown option") << QStringList { prog, "--verbose" } << 2 << QString()
                                    << "Unknown option 'verbose'";
    QTest::newRow("stray argument") << QStringList { prog, "/media/card/ENCRYPT.TXT" } << 2 << QString()
                                    << "unexpected argument '/media/card/ENCRYPT.TXT'";
}

void TestApp::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, stdoutContains);
    QFETCH(QString, stderrContains);

    const CommandLine::Outcome outcome = CommandLine::parse(arguments);
    QCOMPARE(outcome.exitCode.value_or(-1), exitCode);
    QVERIFY2(stdoutContains.isEmpty() ? outcome.standardOutput.isEmpty()
                                      : outcome.standardOutput.contains(stdoutContains),
        qPrintable(outcome.standardOutput));
    QVERIFY2(stderrContains.isEmpty() ? outcome.standardError.isEmpty()
                                      : outcome.standardError.contains(stderrContains)
                && outcome.standardError.contains(QLatin1String("--help")),
        qPrintable(outcome.standardError));
}

void TestApp::realApplication()
{
    // The real executable in a data folder of its own, without any display.
    QTemporaryDir data;
    const QString smn = data.filePath(QStringLiteral("SMN"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), data.path());
    env.insert(QStringLiteral("QUORVEL_SERVICE_URL"), QStringLiteral("http://127.0.0.1:9"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    auto run = [&env](const QStringList &arguments, QProcess &app) {
        app.setProcessEnvironment(env);
        app.start(QStringLiteral(QUORVEL_APP_PATH), arguments);
        return app.waitForStarted();
    };

    // A running copy's log and settings survive someone asking the version.
    writeFile(smn + QStringLiteral("/QuorvelV2.log"), "line of the running copy\n");
    {
        QProcess app;
        QVERIFY(run({ QStringLiteral("--version") }, app));
        QVERIFY(app.waitForFinished(30000));
        QCOMPARE(app.exitCode(), 0);
        QCOMPARE(app.readAllStandardOutput(), QByteArray("Quorvel Download Tool " QUORVEL_VERSION "\n"));
    }
    QCOMPARE(readAll(smn + QStringLiteral("/QuorvelV2.log")), QByteArray("line of the running copy\n"));
    QCOMPARE(QDir(smn).entryList(QDir::Files), QStringList { QStringLiteral("QuorvelV2.log") });

    // "-platform minimal" is Qt's to honour, or the tool could not start here:
    // it fills config.ini and keeps running with no window open.
    {
        QProcess app;
        QVERIFY(run({ QStringLiteral("-platform"), QStringLiteral("minimal") }, app));
        const QString ini = smn + QStringLiteral("/config.ini");
        QTRY_VERIFY_WITH_TIMEOUT(
            QSettings(ini, QSettings::IniFormat).contains(QStringLiteral("termsAgreed")), 20000);
        QCOMPARE(QSettings(ini, QSettings::IniFormat).value(QStringLiteral("termsAgreed")).toString(),
            QStringLiteral("0"));
        QVERIFY2(!app.waitForFinished(300), app.readAllStandardError().constData());
        app.kill();
        app.waitForFinished();
    }
    // Without a display it says so and ends, instead of aborting.
    {
        QProcess app;
        QVERIFY(run({}, app));
        QVERIFY(app.waitForFinished(20000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 1);
        QVERIFY(app.readAllStandardError().contains("no display"));
    }
}

void TestApp::picturesLoad_data()
{
    QTest::addColumn<QString>("path");

    // Every picture the code and the forms name, written as they write it,
    // and every one the bundle is made from: a parallel build once compiled
    // an empty bundle, and the window came up without them.
    const QString gui = QStringLiteral(QUORVEL_GUI_SOURCE_DIR);
    QStringList paths;
    static const QRegularExpression named(QStringLiteral(":/+resources/[^\"'()<>\\s]+\\.(?:png|gif|jpg)"));
    QDirIterator sources(gui, { QStringLiteral("*.cpp"), QStringLiteral("*.h"), QStringLiteral("*.ui") }, QDir::Files,
        QDirIterator::Subdirectories);
    while (sources.hasNext()) {
        QFile source(sources.next());
        QVERIFY(source.open(QIODevice::ReadOnly));
        for (const QRegularExpressionMatch &match : named.globalMatch(QString::fromUtf8(source.readAll())))
            paths << match.captured(0);
    }
    QDirIterator images(gui + QStringLiteral("/resources/images"), QDir::Files);
    while (images.hasNext())
        paths << QStringLiteral(":/resources/images/") + QFileInfo(images.next()).fileName();
    paths.removeDuplicates();
    paths.sort();
    for (const QString &path : paths)
        QTest::newRow(qPrintable(path)) << path;
}

void TestApp::picturesLoad()
{
    QFETCH(QString, path);
    QVERIFY(!QPixmap(path).isNull());
}

QTEST_MAIN(TestApp)
#include "tst_app.moc"
