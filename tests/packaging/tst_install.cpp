// What `cmake --install` lays down is what the package ships: exactly the
// tool, its command line and its desktop files, valid, and no developer tools.
#include <QtTest>

#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>

class TestInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installsExactlyTheShippedFiles();

    void validatorsAccept_data();
    void validatorsAccept();

private:
    QTemporaryDir prefix;
    QString file(const QString &relative) const { return prefix.filePath(relative); }
};

static const QString desktopFile = QStringLiteral("share/applications/quorvel-download-tool.desktop");
static const QString metainfoFile
    = QStringLiteral("share/metainfo/example.quorvel.DownloadTool.metainfo.xml");

void TestInstall::initTestCase()
{
    QVERIFY(prefix.isValid());
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral(CMAKE_COMMAND),
        { QStringLiteral("--install"), QStringLiteral(QUORVEL_BUILD_DIR), QStringLiteral("--prefix"),
            prefix.path() });
    QVERIFY(install.waitForFinished(120000));
    QVERIFY2(install.exitCode() == 0, install.readAll().constData());
}

void TestInstall::installsExactlyTheShippedFiles()
{
    QStringList expected {
        QStringLiteral("bin/quorvel-download-tool"),
        QStringLiteral("bin/quorvel-cli"),
        desktopFile,
        metainfoFile,
        QStringLiteral("share/man/man1/quorvel-download-tool.1.gz"),
        QStringLiteral("share/man/man1/quorvel-cli.1.gz"),
        QStringLiteral("share/doc/quorvel-download-tool/copyright"),
        QStringLiteral("share/doc/quorvel-download-tool/changelog.gz"),
    };
    for (int size : { 16, 32, 48, 64, 128, 256 })
        expected << QStringLiteral("share/icons/hicolor/%1x%1/apps/quorvel-download-tool.png").arg(size);
    expected.sort();

    QStringList installed;
    QDirIterator it(prefix.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        installed << QDir(prefix.path()).relativeFilePath(it.next());
    installed.sort();
    // A local chart service or benchmark showing up here would end in the package.
    QCOMPARE(installed, expected);
}

void TestInstall::validatorsAccept_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("desktop-file-validate")
        << QStringLiteral("desktop-file-validate") << QStringList { file(desktopFile) };
    QTest::newRow("appstreamcli") << QStringLiteral("appstreamcli")
                                  << QStringList { QStringLiteral("validate"), QStringLiteral("--no-net"),
                                         QStringLiteral("--explain"), file(metainfoFile) };
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
