// Every input the fuzzer kept, and every crash it once found, must still run
// through the container reader cleanly.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "containerexercise.h"

class TestFuzzCorpus : public QObject
{
    Q_OBJECT

private slots:
    void replay_data();
    void replay();
};

void TestFuzzCorpus::replay_data()
{
    QTest::addColumn<QString>("path");
    const QDir corpus(QStringLiteral(QUORVEL_FUZZ_CORPUS));
    const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
    QVERIFY2(!names.isEmpty(), "the saved corpus is missing");
    for (const QString &name : names)
        QTest::newRow(qPrintable(name)) << corpus.filePath(name);
}

void TestFuzzCorpus::replay()
{
    QFETCH(QString, path);
    QFile input(path);
    QVERIFY(input.open(QIODevice::ReadOnly));
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    exerciseContainer(input.readAll(), folder.path());
}

QTEST_GUILESS_MAIN(TestFuzzCorpus)
#include "tst_fuzzcorpus.moc"
