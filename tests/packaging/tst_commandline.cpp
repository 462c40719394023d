// --help and --version must answer without a display and without touching the
// user's data folder, while the toolkit's own options keep reaching Qt.
#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>

#include "app/commandline.h"

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void versionNeedsNoDisplayAndLeavesLogAlone();
    void toolkitOptionStillReachesQt();
};

void TestCommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode"); // -1: the tool starts
    QTest::addColumn<QString>("stdoutContains");
    QTest::addColumn<QString>("stderrContains");

    const QString prog = QStringLiteral("/usr/bin/quorvel-download-tool");
    const QString version = QStringLiteral("Quorvel Download Tool " QUORVEL_VERSION "\n");
    QTest::newRow("no options") << QStringList{prog} << -1 << QString() << QString();
    QTest::newRow("empty argv") << QStringList{} << -1 << QString() << QString();
    QTest::newRow("--version") << QStringList{prog, QStringLiteral("--version")} << 0 << version << QString();
    QTest::newRow("-v") << QStringList{prog, QStringLiteral("-v")} << 0 << version << QString();
    QTest::newRow("--help") << QStringList{prog, QStringLiteral("--help")} << 0
                            << QStringLiteral("Usage: quorvel-download-tool [options]") << QString();
    QTest::newRow("-h with -v") << QStringList{prog, QStringLiteral("-v"), QStringLiteral("-h")} << 0
                                << QStringLiteral("--version  Show the version") << QString();
    QTest::newRow("-platform value") << QStringList{prog, QStringLiteral("-platform"), QStringLiteral("offscreen")}
                                     << -1 << QString() << QString();
    QTest::newRow("--style=value") << QStringList{prog, QStringLiteral("--style=Fusion")} << -1 << QString()
                                   << QString();
    QTest::newRow("-reverse flag") << QStringList{prog, QStringLiteral("-reverse")} << -1 << QString() << QString();
    QTest::newRow("-platform without value") << QStringList{prog, QStringLiteral("-platform")} << 2 << QString()
                                             << QStringLiteral("Missing value after '-platform'");
    QTest::newRow("unknown option") << QStringList{prog, QStringLiteral("--verbose")} << 2 << QString()
                                    << QStringLiteral("Unknown option 'verbose'");
    // Grouped short options would be read as one long option and rejected,
    // which is better than silently ignoring half of them.
    QTest::newRow("grouped -hv") << QStringList{prog, QStringLiteral("-hv")} << 2 << QString()
                                 << QStringLiteral("Unknown option 'hv'");
    QTest::newRow("stray argument") << QStringList{prog, QStringLiteral("/media/card/ENCRYPT.TXT")} << 2 << QString()
                                    << QStringLiteral("unexpected argument '/media/card/ENCRYPT.TXT'");
    QTest::newRow("after --") << QStringList{prog, QStringLiteral("--"), QStringLiteral("--version")} << 2
                              << QString() << QStringLiteral("unexpected argument '--version'");
}

void TestCommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, stdoutContains);
    QFETCH(QString, stderrContains);

    const CommandLine::Outcome outcome = CommandLine::parse(arguments);
    QCOMPARE(outcome.exitCode.value_or(-1), exitCode);
    if (stdoutContains.isEmpty())
        QVERIFY2(outcome.standardOutput.isEmpty(), qPrintable(outcome.standardOutput));
    else
        QVERIFY2(outcome.standardOutput.contains(stdoutContains), qPrintable(outcome.standardOutput));
    if (stderrContains.isEmpty()) {
        QVERIFY2(outcome.standardError.isEmpty(), qPrintable(outcome.standardError));
    } else {
        QVERIFY2(outcome.standardError.contains(stderrContains), qPrintable(outcome.standardError));
        QVERIFY(outcome.standardError.contains(QLatin1String("--help")));
    }
}

void TestCommandLine::versionNeedsNoDisplayAndLeavesLogAlone()
{
    // A running copy's log must survive someone asking the version, and the
    // answer must come on a server or in a package check without any display.
    QTemporaryDir data;
    QVERIFY(data.isValid());
    const QString smn = data.filePath(QStringLiteral("SMN"));
    QVERIFY(QDir().mkpath(smn));
    QFile log(smn + QStringLiteral("/QuorvelV2.log"));
    QVERIFY(log.open(QIODevice::WriteOnly));
    log.write("line of the running copy\n");
    log.close();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), data.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));

    for (const QString &option : {QStringLiteral("--version"), QStringLiteral("--help")}) {
        QProcess app;
        app.setProcessEnvironment(env);
        app.start(QStringLiteral(QUORVEL_APP_PATH), {option});
        QVERIFY(app.waitForFinished(30000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        const QByteArray out = app.readAllStandardOutput();
        QVERIFY2(out.contains(option == QLatin1String("--version") ? QByteArray("Quorvel Download Tool " QUORVEL_VERSION)
                                                                  : QByteArray("--version")),
                 out.constData());
        QCOMPARE(app.readAllStandardError(), QByteArray());
    }
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), QByteArray("line of the running copy\n"));
    QCOMPARE(QDir(smn).entryList(QDir::Files), QStringList{QStringLiteral("QuorvelV2.log")});

    QProcess bad;
    bad.setProcessEnvironment(env);
    bad.start(QStringLiteral(QUORVEL_APP_PATH), {QStringLiteral("--no-such-option")});
    QVERIFY(bad.waitForFinished(30000));
    QCOMPARE(bad.exitCode(), 2);
    QVERIFY(bad.readAllStandardError().contains("no-such-option"));
}

void TestCommandLine::toolkitOptionStillReachesQt()
{
    // "-platform minimal" is not ours: the parser must let it through and Qt
    // must still honour it, or the tool could not start without a display here.
    QTemporaryDir data;
    QVERIFY(data.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), data.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("QUORVEL_SERVICE_URL"), QStringLiteral("http://127.0.0.1:9"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));

    QProcess app;
    app.setProcessEnvironment(env);
    app.start(QStringLiteral(QUORVEL_APP_PATH), {QStringLiteral("-platform"), QStringLiteral("minimal")});
    QVERIFY(app.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(data.filePath(QStringLiteral("SMN/config.ini"))), 20000);
    QTest::qWait(300);
    QVERIFY2(app.state() == QProcess::Running, app.readAllStandardError().constData());
    app.kill();
    app.waitForFinished();
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
