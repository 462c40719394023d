// Start-up must leave a fresh config.ini and an emptied log, and the log must
// hold what every thread said, in the order it was said.
#include <QtTest>

#include <QProcess>
#include <QSettings>
#include <QThread>

#include "app/appglobals.h"
#include "app/settings.h"
#include "app/startup.h"

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void prepareCreatesFolderAndDomain();
    void logIsEmptiedAndHoldsEveryThread();
    void valueOrInitWritesDefaultsOnce();
    void realApplicationFillsConfig();
};

static QString readLog()
{
    QFile f(logFilePath);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

void TestStartup::prepareCreatesFolderAndDomain()
{
    qputenv("QUORVEL_SERVICE_URL", "http://127.0.0.1:9/base");
    prepareStartup();
    qunsetenv("QUORVEL_SERVICE_URL");

    QVERIFY(configFilePath.endsWith(QLatin1String("/SMN/config.ini")));
    QVERIFY(logFilePath.endsWith(QLatin1String("/SMN/QuorvelV2.log")));
    QVERIFY(QFileInfo(appDataFolder).isDir());
    QCOMPARE(QFileInfo(configFilePath).absolutePath(), QFileInfo(appDataFolder).absoluteFilePath());

    QSettings ini(configFilePath, QSettings::IniFormat);
    QCOMPARE(ini.value(QStringLiteral("domain")).toString(), QStringLiteral("http://127.0.0.1:9/base"));
}

void TestStartup::logIsEmptiedAndHoldsEveryThread()
{
    prepareStartup();
    qDebug() << "first run line";
    QVERIFY(readLog().contains(QLatin1String("first run line")));

    // A second start empties what the first one wrote before anything else.
    prepareStartup();
    QCOMPARE(QFileInfo(logFilePath).size(), 0);

    // A worker's lines wait for the GUI thread, which is blocked here: the
    // few first, then more than may wait, which the worker writes itself.
    // None is lost, and all come before the GUI thread's next line.
    const int lines = 30000;
    QThread *worker = QThread::create([] {
        for (int i = 0; i < lines; ++i)
            qWarning() << "worker line" << i;
    });
    worker->start();
    QVERIFY(worker->wait(30000));
    delete worker;
    qInfo() << "gui thread line";

    const QStringList log = readLog().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(log.size(), lines + 1);
    for (int i = 0; i < lines; ++i)
        QCOMPARE(log.at(i), QStringLiteral("worker line %1").arg(i));
    QCOMPARE(log.last(), QStringLiteral("gui thread line"));

    // Left to the event loop, a worker's line arrives by itself.
    QThread *late = QThread::create([] { qWarning() << "late worker line"; });
    late->start();
    QVERIFY(late->wait(10000));
    delete late;
    QTRY_VERIFY(readLog().contains(QLatin1String("late worker line")));
}

void TestStartup::valueOrInitWritesDefaultsOnce()
{
    const QString path = QDir::temp().filePath(QStringLiteral("valueOrInit.ini"));
    QFile::remove(path);
    {
        Settings settings(path);
        QCOMPARE(settings.valueOrInit(QStringLiteral("downloadConcurrency"), QStringLiteral("3")),
                 QStringLiteral("3"));
        settings.setValue(QStringLiteral("Tab"), 2);
        // A stored value wins over the default, and is not overwritten.
        QCOMPARE(settings.valueOrInit(QStringLiteral("Tab"), QString()), QStringLiteral("2"));
        QCOMPARE(settings.valueOrInit(QStringLiteral("downloadConcurrency"), QStringLiteral("9")),
                 QStringLiteral("3"));
    }
    QSettings ini(path, QSettings::IniFormat);
    QCOMPARE(ini.value(QStringLiteral("downloadConcurrency")).toString(), QStringLiteral("3"));
    QCOMPARE(ini.value(QStringLiteral("Tab")).toString(), QStringLiteral("2"));
}

void TestStartup::realApplicationFillsConfig()
{
    // The real executable in its own data folder: it must create SMN/config.ini
    // with the two first keys, and keep running with no window open.
    const QString data = QDir::temp().filePath(QStringLiteral("appdata"));
    QDir(data).removeRecursively();
    QDir().mkpath(data);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), data);
    env.insert(QStringLiteral("QUORVEL_SERVICE_URL"), QStringLiteral("http://127.0.0.1:9"));
    QProcess app;
    app.setProcessEnvironment(env);
    app.start(QStringLiteral(QUORVEL_APP_PATH), {});
    QVERIFY(app.waitForStarted());

    const QString ini = data + QStringLiteral("/SMN/config.ini");
    QTRY_VERIFY_WITH_TIMEOUT(QSettings(ini, QSettings::IniFormat).contains(QStringLiteral("termsAgreed")), 20000);
    QSettings settings(ini, QSettings::IniFormat);
    QCOMPARE(settings.value(QStringLiteral("domain")).toString(), QStringLiteral("http://127.0.0.1:9"));
    QCOMPARE(settings.value(QStringLiteral("termsAgreed")).toString(), QStringLiteral("0"));

    QTest::qWait(300);
    QCOMPARE(app.state(), QProcess::Running);
    app.kill();
    app.waitForFinished();

    // Without any display it says so and ends, instead of aborting.
    for (const char *variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QString::fromLatin1(variable));
    app.setProcessEnvironment(env);
    app.start(QStringLiteral(QUORVEL_APP_PATH), {});
    QVERIFY(app.waitForFinished(20000));
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 1);
    QVERIFY(app.readAllStandardError().contains("no display"));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
