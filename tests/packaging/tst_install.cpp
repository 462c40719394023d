// What `cmake --install` lays down is what the package ships: exactly the
// tool and its desktop files, consistent with each other, and no developer tools.
#include <QtTest>

#include <QDirIterator>
#include <QImageReader>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QRegularExpression>

class TestInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installsExactlyTheShippedFiles();
    void desktopEntryMatchesTheInstall();
    void metainfoCarriesTheBuildVersion();
    void installedToolAnswersVersion();
    void validatorsAccept_data();
    void validatorsAccept();

private:
    QTemporaryDir prefix;
    QString file(const QString &relative) const { return prefix.filePath(relative); }
};

static const char *const appstreamId = "example.quorvel.DownloadTool";

void TestInstall::initTestCase()
{
    QVERIFY(prefix.isValid());
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral(CMAKE_COMMAND),
                  {QStringLiteral("--install"), QStringLiteral(QUORVEL_BUILD_DIR), QStringLiteral("--prefix"),
                   prefix.path()});
    QVERIFY(install.waitForFinished(120000));
    QVERIFY2(install.exitCode() == 0, install.readAll().constData());
}

void TestInstall::installsExactlyTheShippedFiles()
{
    QStringList expected{
        QStringLiteral("bin/quorvel-download-tool"),
        QStringLiteral("share/applications/quorvel-download-tool.desktop"),
        QStringLiteral("share/metainfo/%1.metainfo.xml").arg(QLatin1String(appstreamId)),
        QStringLiteral("share/man/man1/quorvel-download-tool.1.gz"),
        QStringLiteral("share/doc/quorvel-download-tool/copyright"),
        QStringLiteral("share/doc/quorvel-download-tool/changelog.gz"),
    };
    for (int size : {16, 32, 48, 64, 128, 256})
        expected << QStringLiteral("share/icons/hicolor/%1x%1/apps/quorvel-download-tool.png").arg(size);
    expected.sort();

    QStringList installed;
    QDirIterator it(prefix.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        installed << QDir(prefix.path()).relativeFilePath(it.next());
    installed.sort();
    // A local chart service or benchmark showing up here would end in the package.
    QCOMPARE(installed, expected);

    QVERIFY(QFileInfo(file(QStringLiteral("bin/quorvel-download-tool"))).isExecutable());
    for (int size : {16, 32, 48, 64, 128, 256}) {
        QImageReader icon(file(QStringLiteral("share/icons/hicolor/%1x%1/apps/quorvel-download-tool.png").arg(size)));
        QCOMPARE(icon.size(), QSize(size, size));
    }
    QFile man(file(QStringLiteral("share/man/man1/quorvel-download-tool.1.gz")));
    QVERIFY(man.open(QIODevice::ReadOnly));
    QCOMPARE(man.read(2), QByteArray("\x1f\x8b"));
}

void TestInstall::desktopEntryMatchesTheInstall()
{
    QFile desktop(file(QStringLiteral("share/applications/quorvel-download-tool.desktop")));
    QVERIFY(desktop.open(QIODevice::ReadOnly | QIODevice::Text));
    QHash<QString, QString> entry;
    for (const QByteArray &line : desktop.readAll().split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            entry.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    // The launcher starts the installed binary by name and finds the icon by name.
    QCOMPARE(entry.value(QStringLiteral("Exec")).section(QLatin1Char(' '), 0, 0),
             QStringLiteral("quorvel-download-tool"));
    QVERIFY(QFileInfo::exists(file(QStringLiteral("bin/") + entry.value(QStringLiteral("Exec")))));
    QVERIFY(QFileInfo::exists(
        file(QStringLiteral("share/icons/hicolor/48x48/apps/%1.png").arg(entry.value(QStringLiteral("Icon"))))));
    // Qt names the window class after the executable; a mismatch splits the
    // launcher and the running window in the task bar.
    QCOMPARE(entry.value(QStringLiteral("StartupWMClass")), QStringLiteral("quorvel-download-tool"));
}

void TestInstall::metainfoCarriesTheBuildVersion()
{
    QFile xml(file(QStringLiteral("share/metainfo/%1.metainfo.xml").arg(QLatin1String(appstreamId))));
    QVERIFY(xml.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(xml.readAll());
    // The validator below checks the form; what it cannot know is that the
    // entry names this tool, its launcher and the version being built.
    QVERIFY(text.contains(QStringLiteral("<id>%1</id>").arg(QLatin1String(appstreamId))));
    QVERIFY(text.contains(QStringLiteral("<launchable type=\"desktop-id\">quorvel-download-tool.desktop</launchable>")));
    const QRegularExpressionMatch release = QRegularExpression(QStringLiteral("<release version=\"([^\"]*)\" date=\"([^\"]*)\"")).match(text);
    QCOMPARE(release.captured(1), QStringLiteral(QUORVEL_VERSION));
    QVERIFY2(QDate::fromString(release.captured(2), Qt::ISODate).isValid(), qPrintable(release.captured(2)));
}

void TestInstall::installedToolAnswersVersion()
{
    // Build-tree RPATHs are stripped on install: this runs the copy a user gets.
    QProcess tool;
    tool.start(file(QStringLiteral("bin/quorvel-download-tool")), {QStringLiteral("--version")});
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitCode(), 0);
    QCOMPARE(tool.readAllStandardOutput(), QByteArray("Quorvel Download Tool " QUORVEL_VERSION "\n"));
}

void TestInstall::validatorsAccept_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("desktop-file-validate")
        << QStringLiteral("desktop-file-validate")
        << QStringList{file(QStringLiteral("share/applications/quorvel-download-tool.desktop"))};
    QTest::newRow("appstreamcli")
        << QStringLiteral("appstreamcli")
        << QStringList{QStringLiteral("validate"), QStringLiteral("--no-net"), QStringLiteral("--explain"),
                       file(QStringLiteral("share/metainfo/%1.metainfo.xml").arg(QLatin1String(appstreamId)))};
}

void TestInstall::validatorsAccept()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    if (QStandardPaths::findExecutable(program).isEmpty())
        QSKIP("validator not installed (scripts/packages.sh PACKAGE_PACKAGES)");
    QProcess validator;
    validator.setProcessChannelMode(QProcess::MergedChannels);
    validator.start(program, arguments);
    QVERIFY(validator.waitForFinished(60000));
    QVERIFY2(validator.exitCode() == 0, validator.readAll().constData());
}

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
