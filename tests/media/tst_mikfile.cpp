// A container on a card is read and rewritten in place: every field must come
// from and land at its offset, nothing else may change, and a damaged file
// must never crash, hang or exhaust the tool, nor may any input the fuzzer
// kept or once crashed on.
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include "containerexercise.h"
#include "card/mikfile.h"
#include "testkit.h"

using Kit::block;
using Kit::Header;

class TestMikFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void headerFieldsComeFromTheirOffsets();
    void damagedHeaderStaysInsideTheImage_data();
    void damagedHeaderStaysInsideTheImage();
    void segmentsFoundUpToTheFirstGap_data();
    void segmentsFoundUpToTheFirstGap();
    void chartNameAndId_data();
    void chartNameAndId();
    void drmBytes_data();
    void drmBytes();
    void headerRewrites_data();
    void headerRewrites();
    void vanishedContainerIsNotMadeAgain();
    void savedFuzzInputs_data();
    void savedFuzzInputs();

private:
    QString write(const QByteArray &kim, const QList<QByteArray> &segments = {})
    {
        return Kit::writeContainer(folder->path(), kim, segments);
    }

    std::unique_ptr<QTemporaryDir> folder;
};

void TestMikFile::init()
{
    // A plain folder, no ENCRYPT.TXT: whether a folder is the chosen card is
    // the callers' business, not the format's.
    folder = std::make_unique<QTemporaryDir>();
}

void TestMikFile::headerFieldsComeFromTheirOffsets()
{
    Header h;
    h.segmentSize = 0x0102030405060708ULL;
    h.flags = 0x800 | 0x400 | (1ULL << 40);
    h.kimFileSize = 0x1122334455ULL;
    h.payloadSha1 = QByteArray("0123456789abcdefghij");
    h.buildCode = 0xCAFEBABE;
    const QString path = write(h.bytes() + QByteArray(40, 'p'));

    const Mik::MikFile container(path);
    QCOMPARE(container.magic(), 0x004272696e6d6f72ULL);
    QCOMPARE(container.headerSize(), 352ULL);
    QCOMPARE(container.segmentSize(), h.segmentSize);
    QCOMPARE(container.flags(), h.flags);
    QCOMPARE(container.firstBlock(), 352ULL);
    QCOMPARE(container.kimFileSize(), h.kimFileSize);
    QCOMPARE(container.payloadSha1(), h.payloadSha1);
    QCOMPARE(container.buildCode(), h.buildCode);
    // The chart's numbers are the chart id table's; the ranges nobody
    // interprets come back byte for byte.
    QCOMPARE(container.headerImage(), h.bytes());

    QVERIFY_THROWS_EXCEPTION(QString, Mik::MikFile(folder->filePath(QStringLiteral("absent.kim"))));
}

void TestMikFile::damagedHeaderStaysInsideTheImage_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("expectedImage");

    Header h;
    h.headerSize = 5000;
    QTest::newRow("headerSize above 352") << h.bytes() + QByteArray(6000, 'q') << h.bytes();
    h.headerSize = ~0ULL;
    QTest::newRow("headerSize of 2^64-1") << h.bytes() << h.bytes();
    h.headerSize = 0;
    QTest::newRow("headerSize 0") << h.bytes() << QByteArray(352, '\0');
    const QByteArray shortFile = Header().bytes().left(100);
    QTest::newRow("file shorter than its header") << shortFile << shortFile + QByteArray(252, '\0');
    QTest::newRow("empty file") << QByteArray() << QByteArray(352, '\0');
}

void TestMikFile::damagedHeaderStaysInsideTheImage()
{
    QFETCH(QByteArray, bytes);
    Mik::MikFile container(write(bytes));
    QTEST(container.headerImage(), "expectedImage");
}

void TestMikFile::segmentsFoundUpToTheFirstGap_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("found");

    const QStringList eleven { "k01", "k02", "k03", "k04", "k05", "k06", "k07", "k08", "k09", "k0a", "k0b" };
    QTest::newRow("k01 k03, no k02") << QStringList { "k01", "k03" } << QStringList { "k01" };
    QTest::newRow("upper-case K01 is another file") << QStringList { "K01" } << QStringList();
    QTest::newRow("k01 to k0b") << eleven << eleven;
}

void TestMikFile::segmentsFoundUpToTheFirstGap()
{
    QFETCH(QStringList, present);
    QFETCH(QStringList, found);
    const QString path = write(Header().bytes());
    const QString base = folder->filePath(QStringLiteral("  1234-5."));
    for (const QString &suffix : present)
        writeFile(base + suffix, "segment");
    // A folder under a segment's name is not a segment.
    QDir().mkdir(base + QStringLiteral("k%1").arg(present.size() + 1, 2, 16, QLatin1Char('0')));

    const Mik::MikFile container(path);
    QStringList keys = container.segments.keys();
    keys.sort();
    QCOMPARE(keys, found);
    for (const QString &suffix : found)
        QCOMPARE(
            container.segments.value(suffix).absoluteFilePath(), QFileInfo(base + suffix).absoluteFilePath());
    if (!found.isEmpty())
        QCOMPARE(container.basePath + QStringLiteral(".k01"),
            QFileInfo(base + QStringLiteral("k01")).absoluteFilePath());
}

void TestMikFile::chartNameAndId_data()
{
    QTest::addColumn<quint32>("skuNumber");
    QTest::addColumn<quint32>("skuSuffix");
    QTest::addColumn<quint32>("build");
    QTest::addColumn<quint32>("version");
    QTest::addColumn<QString>("id");

    QTest::newRow("short number padded") << 42u << 7u << 12u << 3u << "    42-7-12-3";
    QTest::newRow("six digits unpadded") << 123456u << 10u << 99u << 1u << "123456-10-99-1";
    QTest::newRow("unsigned maximum") << 4294967295u << 4294967295u << 4294967295u << 4294967295u
                                      << "4294967295-4294967295-4294967295-4294967295";
}

void TestMikFile::chartNameAndId()
{
    Header h;
    QFETCH(quint32, skuNumber);
    QFETCH(quint32, skuSuffix);
    QFETCH(quint32, build);
    QFETCH(quint32, version);
    QFETCH(QString, id);
    h.skuNumber = skuNumber;
    h.skuSuffix = skuSuffix;
    h.buildNumber = build;
    h.chartVersion = version;
    const Mik::MikFile container(write(h.bytes()));
    QCOMPARE(container.getChartID(QStringLiteral("-")), id);
    QCOMPARE(container.chartName(), id.section(QLatin1Char('-'), 0, 1));
}

void TestMikFile::drmBytes_data()
{
    QTest::addColumn<QByteArray>("kim");
    QTest::addColumn<QByteArray>("k01");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("whole");

    const auto row
        = [](const char *name, const QByteArray &kim, const QByteArray &expected, bool whole,
              const QByteArray &k01 = {}) { QTest::newRow(name) << kim << k01 << expected << whole; };
    const QByteArray head = Header().bytes();
    // At 352: a structural block, the required block with extension and
    // trailer, a type-1 block, then a chart block ending the chain. The
    // copies come out adjacent, each pointing right behind itself in a
    // container whose header is 352 bytes.
    const QByteArray last = block(3, 0, "BBBBBB", 0);
    row("chart blocks re-linked",
        head + block(0, 0, "zero", 372) + block(0x0502, 0x22, "AAAA", 428) + block(1, 0, "ss", 446) + last,
        block(0x0502, 0x22, "AAAA", 352 + 56) + last, true);
    const QByteArray only = block(0x0502, 0, QByteArray(40, 'x'), 0);
    row("required block alone", head + only, only, true);
    row("no required block: of no use to the service", head + block(2, 0, "a", 369) + block(3, 0, "b", 0), {},
        true);
    Header small;
    small.segmentSize = 512;
    const QByteArray second = block(2, 0, QByteArray(16, 'b'), 0);
    row("chain across segments", small.bytes() + block(0x0502, 0, QByteArray(8, 'a'), 516),
        block(0x0502, 0, QByteArray(8, 'a'), 352 + 24) + second, true, QByteArray(4, '\0') + second);

    // Damaged chains end the walk; what was gathered before a next that
    // cannot be followed is a part of the chain, never the whole of it.
    row("block pointing at itself", head + block(0x0502, 0, "a", 352), {}, false);
    row("loop through structural blocks",
        head + block(0x0502, 0, "a", 369) + block(0, 0, "b", 386) + block(1, 0, "c", 369), {}, false);
    QByteArray huge = block(0x0502, 0, "", 0);
    huge.replace(4, 4, Kit::le(0x7fffffff, 4));
    row("length far past the end", head + huge, {}, false);
    row("trailer cut off", head + block(0x0502, 0x02, "abc", 0).chopped(10), {}, false);
    row("header cut short", head + block(0x0502, 0, "a", 369) + QByteArray("\x03\x00\x00", 3), {}, false);
    row("extension cut short", head + block(0x0502, 0, "a", 369) + block(3, 0x20, "", 0).left(20), {}, false);
    Header far;
    far.firstBlock = 1ULL << 40;
    row("first block beyond the segments", far.bytes() + only, {}, false);
    row("next beyond the segments", head + block(0x0502, 0, "a", 1ULL << 40), block(0x0502, 0, "a", 352 + 17),
        false);
    row("next negative as signed", head + block(0x0502, 0, "a", ~0ULL), block(0x0502, 0, "a", 352 + 17),
        false);
}

void TestMikFile::drmBytes()
{
    QFETCH(QByteArray, kim);
    QFETCH(QByteArray, k01);
    Mik::MikFile container(write(kim, k01.isEmpty() ? QList<QByteArray>() : QList<QByteArray> { k01 }));
    QElapsedTimer timer;
    timer.start();
    bool whole = false;
    QTEST(container.getDrmBytes(&whole), "expected");
    QTEST(whole, "whole");
    QVERIFY(timer.elapsed() < 5000);
}

void TestMikFile::headerRewrites_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<Header>("before");
    QTest::addColumn<Header>("after"); // the payload behind the header stays as it was
    QTest::addColumn<bool>("done");

    const auto flagged = [](quint64 flags, quint64 kimFileSize = 0) {
        Header h;
        h.flags = flags;
        h.kimFileSize = kimFileSize;
        return h;
    };
    const quint64 bit20 = 1ULL << 20;
    QTest::newRow("set keeps high bits") << "set" << flagged(0x880 | bit20) << flagged(0xC80 | bit20) << true;
    QTest::newRow("clear drops bits 16 and up")
        << "clear" << flagged(0xC80 | bit20 | (1ULL << 63)) << flagged(0x880) << true;
    QTest::newRow("clear keeps bits below 16") << "clear" << flagged(0xFFFF) << flagged(0xFBFF) << true;
    // Finalizing writes the file's size, the payload's digest and both flags.
    QTest::newRow("finalize") << "finalize" << flagged(0xC00, 7) << flagged(0xD80, 352 + 3000) << true;
    QTest::newRow("finalize leaves a foreign container alone")
        << "finalize" << flagged(0x400, 7) << flagged(0x400, 7) << false;
}

void TestMikFile::headerRewrites()
{
    QFETCH(QString, operation);
    QFETCH(Header, before);
    QFETCH(Header, after);
    QByteArray payload;
    for (int i = 0; i < 3000; ++i)
        payload.append(char(i * 13));
    if (operation == QLatin1String("finalize") && after.flags & 0x100)
        after.payloadSha1 = QCryptographicHash::hash(payload, QCryptographicHash::Sha1);
    const QString path = write(before.bytes() + payload);

    Mik::MikFile container(path);
    const bool done = operation == QLatin1String("finalize")
        ? container.finalize()
        : container.setUpdating(operation == QLatin1String("set"));
    QTEST(done, "done");
    QCOMPARE(Mik::MikFile(path).flags(), after.flags);
    QCOMPARE(readAll(path), after.bytes() + payload);
    // What the object holds is what the file holds, written or not.
    QCOMPARE(container.headerImage(), after.bytes());
}

void TestMikFile::vanishedContainerIsNotMadeAgain()
{
    const QString path = write(Header().bytes());
    Mik::MikFile container(path);
    QVERIFY(QFile::remove(path));
    QVERIFY(!container.setUpdating(true));
    QVERIFY(!container.finalize());
    QVERIFY(!QFile::exists(path));
    // Nothing was written, so nothing changed in memory either.
    QCOMPARE(container.headerImage(), Header().bytes());
}

void TestMikFile::savedFuzzInputs_data()
{
    QTest::addColumn<QString>("path");
    const QDir corpus(QStringLiteral(QUORVEL_FUZZ_CORPUS));
    const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
    QVERIFY2(!names.isEmpty(), "the saved corpus is missing");
    for (const QString &name : names)
        QTest::newRow(qPrintable(name)) << corpus.filePath(name);
}

void TestMikFile::savedFuzzInputs()
{
    QFETCH(QString, path);
    // A folder without a card, as the fuzzer ran it.
    QTemporaryDir bare;
    exerciseContainer(readAll(path), bare.path());
}

QTEST_GUILESS_MAIN(TestMikFile)
#include "tst_mikfile.moc"
