// Everything the tool writes goes through the card writer: it must never
// write outside the card (links, a card that has gone, the root itself),
// never leave half a file where a whole one was, and put what it wrote on
// the medium before it says so.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "media/cardwriter.h"

namespace {

const QByteArray mediaText = "A-----Trelmarkholding---media---001-----W1-----Trelmarkholding---media---001-----B";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished() && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

class TestCardWriter : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void neverWritesOutsideTheCard_data();
    void neverWritesOutsideTheCard();
    void fullCardKeepsTheOldFile();
    void listingIsBounded();
    void wholeFileReachesTheMediumBeforeItsName();

private:
    QTemporaryDir *root = nullptr;
    QString card;
    QString outside;
};

void TestCardWriter::init()
{
    root = new QTemporaryDir;
    card = root->filePath(QStringLiteral("card"));
    outside = root->filePath(QStringLiteral("outside"));
    writeFile(card + QStringLiteral("/ENCRYPT.TXT"), mediaText);
    writeFile(outside + QStringLiteral("/target"), "outside the card");
}

void TestCardWriter::cleanup()
{
    delete root;
}

void TestCardWriter::neverWritesOutsideTheCard_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("problem"); // CardResult::None: written on the card itself

    const int read = int(CardWriter::Mode::Read);
    const int append = int(CardWriter::Mode::Append);
    const int extend = int(CardWriter::Mode::Extend);
    QTest::newRow("file is a link, written") << "file link" << "P/f.bin" << append << int(CardResult::None);
    QTest::newRow("file is a link, read") << "file link" << "P/f.bin" << read << int(CardResult::NotAFile);
    QTest::newRow("file is a link, extended") << "file link" << "P/f.bin" << extend << int(CardResult::NotAFile);
    QTest::newRow("folder is a link, written") << "folder link" << "P/f.bin" << append << int(CardResult::None);
    QTest::newRow("folder is a link, extended") << "folder link" << "P/f.bin" << extend << int(CardResult::NotAFile);
    QTest::newRow("parent") << "" << "../outside/target" << append << int(CardResult::BadPath);
    QTest::newRow("parent inside") << "" << "P/../../outside/target" << append << int(CardResult::BadPath);
    QTest::newRow("back-slash") << "" << "P\\..\\x" << append << int(CardResult::BadPath);
    QTest::newRow("drive letter") << "" << "C:x" << append << int(CardResult::BadPath);
    QTest::newRow("card gone") << "card gone" << "P/f.bin" << append << int(CardResult::CardGone);
    QTest::newRow("another card") << "another card" << "P/f.bin" << append << int(CardResult::CardGone);
    QTest::newRow("media file is a link") << "media link" << "P/f.bin" << append << int(CardResult::CardGone);
}

void TestCardWriter::neverWritesOutsideTheCard()
{
    QFETCH(QString, setup);
    QFETCH(QString, path);
    QFETCH(int, mode);
    QFETCH(int, problem);

    const CardWriter writer(CardIdentity::fromRoot(card));
    QVERIFY(writer.identity().isValid());
    if (setup == QLatin1String("file link")) {
        QDir(card).mkdir(QStringLiteral("P"));
        QVERIFY(QFile::link(outside + QStringLiteral("/target"), card + QStringLiteral("/P/f.bin")));
    } else if (setup == QLatin1String("folder link")) {
        QVERIFY(QFile::link(outside, card + QStringLiteral("/P")));
        writeFile(outside + QStringLiteral("/f.bin"), "outside the card");
    } else if (setup == QLatin1String("card gone")) {
        QVERIFY(QDir(card).removeRecursively());
    } else if (setup == QLatin1String("another card")) {
        writeFile(card + QStringLiteral("/ENCRYPT.TXT"), QByteArray(mediaText).replace("W1", "W2"));
    } else if (setup == QLatin1String("media link")) {
        writeFile(outside + QStringLiteral("/ENCRYPT.TXT"), mediaText);
        QVERIFY(QFile::remove(card + QStringLiteral("/ENCRYPT.TXT")));
        QVERIFY(QFile::link(outside + QStringLiteral("/ENCRYPT.TXT"), card + QStringLiteral("/ENCRYPT.TXT")));
    }
    const QStringList outsideBefore = QDir(outside).entryList(QDir::Files);
    QHash<QString, QByteArray> before;
    for (const QString &name : outsideBefore)
        before.insert(name, readAll(outside + QLatin1Char('/') + name));

    CardFile file;
    const CardResult result = writer.open(path, CardWriter::Mode(mode), &file);
    QCOMPARE(int(result.problem()), problem);
    if (result.ok() && mode != int(CardWriter::Mode::Read)) {
        QVERIFY(file.write(QByteArray("on the card")).ok());
        QVERIFY(file.close().ok());
        const QFileInfo written(card + QLatin1Char('/') + path);
        QVERIFY(!written.isSymLink() && written.isFile());
        QVERIFY(!QFileInfo(written.absolutePath()).isSymLink());
        QCOMPARE(readAll(written.absoluteFilePath()), QByteArray("on the card"));
    }
    if (problem == CardResult::CardGone)
        QCOMPARE(result.message(), QStringLiteral("Please insert SD card."));
    // Nothing outside changed, and a card that has gone is not made again.
    QCOMPARE(QDir(outside).entryList(QDir::Files), outsideBefore);
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QCOMPARE(readAll(outside + QLatin1Char('/') + it.key()), it.value());
    if (setup == QLatin1String("card gone"))
        QVERIFY(!QFileInfo::exists(card));
}

// A real small file system, so the system's own errors reach the writer.
void TestCardWriter::fullCardKeepsTheOldFile()
{
    QVERIFY(QDir(card).removeRecursively() && QDir().mkpath(card));
    if (!run(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                        QStringLiteral("size=64k"), QStringLiteral("tmpfs"), card}))
        QSKIP("cannot mount a small file system here");
    const auto unmount = qScopeGuard([this] { run(QStringLiteral("umount"), {card}); });
    writeFile(card + QStringLiteral("/ENCRYPT.TXT"), mediaText);
    writeFile(card + QStringLiteral("/vmid"), "old list");
    const CardWriter writer(CardIdentity::fromRoot(card));

    const CardResult whole = writer.writeWholeFile(QStringLiteral("vmid"), {QByteArray(256 * 1024, 'n')});
    QCOMPARE(whole.problem(), CardResult::CardFull);
    QVERIFY2(whole.message().startsWith(QStringLiteral("The SD card is full")), qPrintable(whole.message()));
    QCOMPARE(readAll(card + QStringLiteral("/vmid")), QByteArray("old list"));
    QCOMPARE(QDir(card).entryList(QDir::Files, QDir::Name), (QStringList{"ENCRYPT.TXT", "vmid"}));

    CardFile file;
    QVERIFY(writer.open(QStringLiteral("P/big.bin"), CardWriter::Mode::Append, &file).ok());
    QCOMPARE(file.write(QByteArray(256 * 1024, 'b')).problem(), CardResult::CardFull);
    file.close();
    QVERIFY(writer.remove(QStringLiteral("P/big.bin")).ok());
    QVERIFY(writer.writeWholeFile(QStringLiteral("vmid"), {"new ", "list"}).ok());
    QCOMPARE(readAll(card + QStringLiteral("/vmid")), QByteArray("new list"));
}

void TestCardWriter::listingIsBounded()
{
    for (int i = 0; i < 5; ++i)
        writeFile(card + QStringLiteral("/P/f%1").arg(i), "x");
    QDir(card).mkpath(QStringLiteral("P/sub"));
    QVERIFY(QFile::link(outside + QStringLiteral("/target"), card + QStringLiteral("/P/link")));
    const CardWriter writer(CardIdentity::fromRoot(card));
    QStringList names;
    QVERIFY(writer.listFiles(QStringLiteral("P"), 5, &names).ok());
    names.sort();
    QCOMPARE(names, (QStringList{"f0", "f1", "f2", "f3", "f4"}));
    QVERIFY(!writer.listFiles(QStringLiteral("P"), 4, &names).ok());
    QVERIFY(writer.listFiles(QStringLiteral("none"), 4, &names).ok() && names.isEmpty());
}

// strace shows the order in which the calls reach the kernel: the bytes of
// the new file are synced before it takes the old name, and the folder
// after that, so a power cut leaves the old file or the whole new one.
void TestCardWriter::wholeFileReachesTheMediumBeforeItsName()
{
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        QSKIP("strace is not installed");
    QProcess traced;
    // The leak checker cannot run under a tracer; the sanitizer pass runs
    // this test without it in the child alone.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       environment.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));
    traced.setProcessEnvironment(environment);
    traced.start(strace, {QStringLiteral("-f"), QStringLiteral("-e"),
                          QStringLiteral("trace=openat,write,fdatasync,fsync,renameat,renameat2"),
                          QCoreApplication::applicationFilePath(), QStringLiteral("child"), card});
    QVERIFY(traced.waitForFinished(60000));
    QCOMPARE(traced.exitCode(), 0);
    const QStringList lines = QString::fromUtf8(traced.readAllStandardError()).split(QLatin1Char('\n'));
    const auto find = [&](const QString &pattern, int from) {
        for (int i = from; i < lines.size(); ++i)
            if (lines.at(i).contains(pattern))
                return i;
        return -1;
    };
    const int written = find(QStringLiteral("write("), find(QStringLiteral("vmid.qdtmp"), 0));
    const int synced = find(QStringLiteral("fdatasync("), written);
    const int renamed = find(QStringLiteral("\"vmid\""), synced);
    const int folderSynced = find(QStringLiteral("fsync("), renamed);
    QVERIFY2(written >= 0 && synced > written && renamed > synced && folderSynced > renamed,
             qPrintable(lines.join(QLatin1Char('\n'))));
    // A file moved into place (an RQ segment): its folder is synced after.
    const int moved = find(QStringLiteral("\"seg\""), folderSynced);
    QVERIFY2(moved > 0 && find(QStringLiteral("fsync("), moved) > moved, qPrintable(lines.join(QLatin1Char('\n'))));
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("child")) {
        const CardWriter writer(CardIdentity::fromRoot(app.arguments().value(2)));
        return writer.writeWholeFile(QStringLiteral("vmid"), {"VM-1\r\n{}"}).ok()
                       && writer.writeWholeFile(QStringLiteral("seg.part"), {"bytes"}).ok()
                       && writer.rename(QStringLiteral("seg.part"), QStringLiteral("seg")).ok()
                   ? 0
                   : 1;
    }
    TestCardWriter test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_cardwriter.moc"
