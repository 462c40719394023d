// A container on a card is read and rewritten in place: every field must come
// from and land at its offset, nothing else may change, and a damaged file
// must never crash, hang or exhaust the tool.
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include "containerbytes.h"
#include "media/mikfile.h"

using namespace ContainerBytes;

class TestMikFile : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void headerFieldsComeFromTheirOffsets();
    void damagedHeaderStaysInsideTheImage_data();
    void damagedHeaderStaysInsideTheImage();
    void headerChecksAreLogged_data();
    void headerChecksAreLogged();
    void missingFileThrows();

    void segmentsFoundUpToTheFirstGap_data();
    void segmentsFoundUpToTheFirstGap();
    void segmentExtensions_data();
    void segmentExtensions();
    void chartNameAndId_data();
    void chartNameAndId();
    void seekMapsPositionsOntoSegments();

    void drmBytesRelinkChartBlocks();
    void drmBytesOnlyRequiredBlock();
    void drmBytesFollowChainAcrossSegments();
    void drmBytesOfDamagedChains_data();
    void drmBytesOfDamagedChains();

    void updatingFlagSetAndClear_data();
    void updatingFlagSetAndClear();
    void updatingFlagNeedsTheFile();
    void finalizeWritesSizeAndDigest();
    void finalizeLeavesForeignContainersAlone();

private:
    QString kimPath() const { return folder->filePath(QStringLiteral("  1234-5.kim")); }
    QString segmentPath(const QString &suffix) const
    {
        return folder->filePath(QStringLiteral("  1234-5.") + suffix);
    }

    std::unique_ptr<QTemporaryDir> folder;
};

void TestMikFile::init()
{
    folder = std::make_unique<QTemporaryDir>();
    QVERIFY(folder->isValid());
    // Containers are rewritten through the card writer, which wants a card.
    QVERIFY(write(folder->filePath(QStringLiteral("ENCRYPT.TXT")),
                  "A-----Trelmarkholding---media---001-----M1-----Trelmarkholding---media---001-----B"));
}

void TestMikFile::headerFieldsComeFromTheirOffsets()
{
    Header h;
    h.headerSize = 352;
    h.segmentSize = 0x0102030405060708ULL;
    h.flags = 0x800 | 0x400 | (1ULL << 40);
    h.buildNumber = 0xA1B2C3D4;
    h.skuSuffix = 77;
    h.skuNumber = 654321;
    h.firstBlock = 352;
    h.chartVersion = 0x01020304;
    h.kimFileSize = 0x1122334455ULL;
    h.buildCode = 0xCAFEBABE;
    const QByteArray image = h.bytes();
    QVERIFY(write(kimPath(), image + QByteArray(40, 'p')));

    const Mik::MikFile container(kimPath());
    QCOMPARE(container.magic(), 0x004272696e6d6f72ULL);
    QCOMPARE(container.headerSize(), 352ULL);
    QCOMPARE(container.segmentSize(), 0x0102030405060708ULL);
    QCOMPARE(container.flags(), h.flags);
    QCOMPARE(container.buildNumber(), 0xA1B2C3D4u);
    QCOMPARE(container.skuSuffix(), 77u);
    QCOMPARE(container.skuNumber(), 654321u);
    QCOMPARE(container.firstBlock(), 352ULL);
    QCOMPARE(container.chartVersion(), 0x01020304u);
    QCOMPARE(container.kimFileSize(), 0x1122334455ULL);
    QCOMPARE(container.payloadSha1(), image.mid(288, 20));
    QCOMPARE(container.buildCode(), 0xCAFEBABEu);
    // The ranges nobody interprets come back byte for byte.
    QCOMPARE(container.headerImage(), image);
    QCOMPARE(container.fileInfo.absoluteFilePath(), QFileInfo(kimPath()).absoluteFilePath());
}

void TestMikFile::damagedHeaderStaysInsideTheImage_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("expectedImage");

    Header big;
    big.headerSize = 5000;
    const QByteArray bigFile = big.bytes() + QByteArray(6000, 'q');
    QTest::newRow("headerSize above 352") << bigFile << bigFile.left(352);

    Header h;
    const QByteArray shortFile = h.bytes().left(100);
    QTest::newRow("file shorter than its header") << shortFile << (shortFile + QByteArray(252, '\0'));

    Header huge;
    huge.headerSize = ~0ULL;
    const QByteArray hugeFile = huge.bytes();
    QTest::newRow("headerSize of 2^64-1") << hugeFile << hugeFile;

    Header zero;
    zero.headerSize = 0;
    QTest::newRow("headerSize 0") << zero.bytes() << QByteArray(352, '\0');

    QTest::newRow("seven bytes") << QByteArray("romnirB") << QByteArray(352, '\0');
    QTest::newRow("empty file") << QByteArray() << QByteArray(352, '\0');
}

void TestMikFile::damagedHeaderStaysInsideTheImage()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, expectedImage);
    QVERIFY(write(kimPath(), bytes));

    Mik::MikFile container(kimPath());
    QCOMPARE(container.headerImage(), expectedImage);
    // Nothing derived from the damaged header may run away either.
    (void)container.getDrmBytes();
    (void)container.getChartID(QStringLiteral("-"));
}

void TestMikFile::headerChecksAreLogged_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("message");

    Header foreign;
    foreign.flags = 0x80;
    foreign.magic = "nothing!";
    QTest::newRow("not built for this service, nothing else checked") << foreign.bytes() << "Not QV build";

    Header magic;
    magic.magic = QByteArray("romnirC\0", 8);
    QTest::newRow("wrong magic") << magic.bytes() << "Wrong format id";

    Header first;
    first.firstBlock = 360;
    QTest::newRow("first block not after header") << first.bytes() << "Wrong format";
}

void TestMikFile::headerChecksAreLogged()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);
    QVERIFY(write(kimPath(), bytes));
    QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
    const Mik::MikFile container(kimPath());
    QCOMPARE(container.headerImage(), bytes);
}

void TestMikFile::missingFileThrows()
{
    const QString path = folder->filePath(QStringLiteral("absent.kim"));
    try {
        Mik::MikFile container(path);
        QFAIL("opening a missing container must throw");
    } catch (const QString &message) {
        QCOMPARE(message, QStringLiteral("No file found: ") + QFileInfo(path).path());
    }
}

void TestMikFile::segmentsFoundUpToTheFirstGap_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("found");

    QTest::newRow("none") << QStringList() << QStringList();
    QTest::newRow("k01 k02") << QStringList{"k01", "k02"} << QStringList{"k01", "k02"};
    QTest::newRow("k01 k03, no k02") << QStringList{"k01", "k03"} << QStringList{"k01"};
    QTest::newRow("k02 only") << QStringList{"k02"} << QStringList();
    QTest::newRow("upper-case K01 is another file") << QStringList{"K01"} << QStringList();
    QTest::newRow("k01 to k0b")
        << QStringList{"k01", "k02", "k03", "k04", "k05", "k06", "k07", "k08", "k09", "k0a", "k0b"}
        << QStringList{"k01", "k02", "k03", "k04", "k05", "k06", "k07", "k08", "k09", "k0a", "k0b"};
}

void TestMikFile::segmentsFoundUpToTheFirstGap()
{
    QFETCH(QStringList, present);
    QFETCH(QStringList, found);
    QVERIFY(write(kimPath(), Header().bytes()));
    for (const QString &suffix : present)
        QVERIFY(write(segmentPath(suffix), "segment"));
    // A folder under a segment's name is not a segment.
    QDir(folder->path()).mkdir(QStringLiteral("  1234-5.k") + QString::number(present.size() + 1).rightJustified(2, '0'));

    const Mik::MikFile container(kimPath());
    QStringList keys = container.segments.keys();
    keys.sort();
    QCOMPARE(keys, found);
    for (const QString &suffix : found)
        QCOMPARE(container.segments.value(suffix).absoluteFilePath(), QFileInfo(segmentPath(suffix)).absoluteFilePath());
    if (!found.isEmpty())
        QCOMPARE(container.basePath + QStringLiteral(".k01"), QFileInfo(segmentPath("k01")).absoluteFilePath());
}

void TestMikFile::segmentExtensions_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("extension");
    QTest::newRow("0") << 0 << "kim";
    QTest::newRow("1") << 1 << "k01";
    QTest::newRow("10") << 10 << "k0a";
    QTest::newRow("16") << 16 << "k10";
    QTest::newRow("255") << 255 << "kff";
    QTest::newRow("256") << 256 << "k100";
    QTest::newRow("4095") << 4095 << "kfff";
}

void TestMikFile::segmentExtensions()
{
    QFETCH(int, index);
    QFETCH(QString, extension);
    QCOMPARE(Mik::MikFile::segmentExtension(index), extension);
}

void TestMikFile::chartNameAndId_data()
{
    QTest::addColumn<quint32>("skuNumber");
    QTest::addColumn<quint32>("skuSuffix");
    QTest::addColumn<quint32>("build");
    QTest::addColumn<quint32>("version");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("id");

    QTest::newRow("short number padded") << 42u << 7u << 12u << 3u << "    42-7" << "    42-7-12-3";
    QTest::newRow("four digits") << 1234u << 5u << 0u << 0u << "  1234-5" << "  1234-5-0-0";
    QTest::newRow("six digits unpadded") << 123456u << 10u << 99u << 1u << "123456-10" << "123456-10-99-1";
    QTest::newRow("seven digits") << 1234567u << 0u << 5u << 6u << "1234567-0" << "1234567-0-5-6";
    QTest::newRow("unsigned maximum")
        << 4294967295u << 4294967295u << 4294967295u << 4294967295u
        << "4294967295-4294967295" << "4294967295-4294967295-4294967295-4294967295";
}

void TestMikFile::chartNameAndId()
{
    QFETCH(quint32, skuNumber);
    QFETCH(quint32, skuSuffix);
    QFETCH(quint32, build);
    QFETCH(quint32, version);
    Header h;
    h.skuNumber = skuNumber;
    h.skuSuffix = skuSuffix;
    h.buildNumber = build;
    h.chartVersion = version;
    QVERIFY(write(kimPath(), h.bytes()));

    const Mik::MikFile container(kimPath());
    QTEST(container.chartName(), "name");
    QTEST(container.getChartID(QStringLiteral("-")), "id");
}

void TestMikFile::seekMapsPositionsOntoSegments()
{
    Header h;
    h.segmentSize = 1000;
    QVERIFY(write(kimPath(), h.bytes() + QByteArray(648, 'a')));
    QVERIFY(write(segmentPath("k01"), QByteArray(500, 'b') + "B" + QByteArray(499, 'b')));
    QVERIFY(write(segmentPath("k02"), QByteArray(10, 'c')));

    Mik::MikFile container(kimPath());
    QFile file;
    QVERIFY(container.seek(file, 1500, QIODevice::ReadOnly));
    QCOMPARE(QFileInfo(file.fileName()).absoluteFilePath(), QFileInfo(segmentPath("k01")).absoluteFilePath());
    QCOMPARE(file.read(1), QByteArray("B"));

    QVERIFY(container.seek(file, 10, QIODevice::ReadOnly));
    QCOMPARE(QFileInfo(file.fileName()).absoluteFilePath(), QFileInfo(kimPath()).absoluteFilePath());
    QCOMPARE(file.pos(), 10);

    QVERIFY2(container.seek(file, 2010, QIODevice::ReadOnly), "an offset equal to the segment's size is allowed");
    QVERIFY(!container.seek(file, 2011, QIODevice::ReadOnly));
    QVERIFY2(!container.seek(file, 3000, QIODevice::ReadOnly), "there is no k03");
    QVERIFY(!container.seek(file, -1, QIODevice::ReadOnly));
    QVERIFY(!container.seek(file, std::numeric_limits<qint64>::max(), QIODevice::ReadOnly));

    // A container without segments ends at its segment size.
    QFile::remove(segmentPath("k01"));
    QFile::remove(segmentPath("k02"));
    Mik::MikFile alone(kimPath());
    QFile other;
    QVERIFY(alone.seek(other, 999, QIODevice::ReadOnly));
    QVERIFY(!alone.seek(other, 1000, QIODevice::ReadOnly));

    Header zero;
    zero.segmentSize = 0;
    QVERIFY(write(kimPath(), zero.bytes()));
    Mik::MikFile undivided(kimPath());
    QFile third;
    QVERIFY2(!undivided.seek(third, 0, QIODevice::ReadOnly), "a segment size of 0 fails cleanly");
}

void TestMikFile::drmBytesRelinkChartBlocks()
{
    // At 352: a structural type-0 block, the required block with extension and
    // trailer, a type-1 block, then a plain chart block ending the chain.
    const QByteArray start = block(0, 0, "zero", 352 + 20);
    const QByteArray required = block(0x0502, 0x22, "AAAA", 352 + 20 + 56);
    const QByteArray skipped = block(1, 0, "ss", 352 + 20 + 56 + 18);
    const QByteArray last = block(3, 0, "BBBBBB", 0);
    QCOMPARE(start.size(), 20);
    QCOMPARE(required.size(), 56);
    QCOMPARE(skipped.size(), 18);
    QVERIFY(write(kimPath(), Header().bytes() + start + required + skipped + last));

    Mik::MikFile container(kimPath());
    // The copies come out adjacent, the first pointing right behind itself
    // in a container whose header is 352 bytes.
    const QByteArray expected = block(0x0502, 0x22, "AAAA", 352 + 56) + last;
    bool whole = false;
    QCOMPARE(container.getDrmBytes(&whole), expected);
    QVERIFY(whole);
}

void TestMikFile::drmBytesOnlyRequiredBlock()
{
    const QByteArray only = block(0x0502, 0, QByteArray(40, 'x'), 0);
    QVERIFY(write(kimPath(), Header().bytes() + only));
    Mik::MikFile container(kimPath());
    QCOMPARE(container.getDrmBytes(), only);

    // Without the required block the chain is of no use to the service.
    QVERIFY(write(kimPath(), Header().bytes() + block(2, 0, "a", 352 + 17) + block(3, 0, "b", 0)));
    Mik::MikFile without(kimPath());
    QCOMPARE(without.getDrmBytes(), QByteArray());
}

void TestMikFile::drmBytesFollowChainAcrossSegments()
{
    Header h;
    h.segmentSize = 512;
    const QByteArray first = block(0x0502, 0, QByteArray(8, 'a'), 512 + 4);
    const QByteArray second = block(2, 0, QByteArray(16, 'b'), 0);
    QVERIFY(write(kimPath(), h.bytes() + first));
    QVERIFY(write(segmentPath("k01"), QByteArray(4, '\0') + second));

    Mik::MikFile container(kimPath());
    QCOMPARE(container.getDrmBytes(), block(0x0502, 0, QByteArray(8, 'a'), 352 + 24) + second);
}

void TestMikFile::drmBytesOfDamagedChains_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray head = Header().bytes();
    QTest::newRow("block pointing at itself") << head + block(0x0502, 0, "a", 352) << QByteArray();
    QTest::newRow("chain looping back")
        << head + block(0x0502, 0, "a", 369) + block(3, 0, "b", 352) << QByteArray();
    QTest::newRow("loop through structural blocks")
        << head + block(0x0502, 0, "a", 369) + block(0, 0, "b", 386) + block(1, 0, "c", 369) << QByteArray();

    QByteArray huge = block(0x0502, 0, "", 0);
    huge.replace(4, 4, le(0x7fffffff, 4));
    QTest::newRow("length far past the end") << head + huge << QByteArray();

    QByteArray negative = block(0x0502, 0, "abc", 0);
    negative.replace(4, 4, le(quint32(-5), 4));
    QTest::newRow("negative length") << head + negative << QByteArray();

    QByteArray trailerMissing = block(0x0502, 0x02, "abc", 0);
    trailerMissing.chop(10);
    QTest::newRow("trailer cut off") << head + trailerMissing << QByteArray();

    QTest::newRow("header cut short")
        << head + block(0x0502, 0, "a", 369) + QByteArray("\x03\x00\x00", 3) << QByteArray();
    QTest::newRow("extension cut short")
        << head + block(0x0502, 0, "a", 369) + block(3, 0x20, "", 0).left(20) << QByteArray();
    QTest::newRow("no blocks at all") << head << QByteArray();

    Header far;
    far.firstBlock = 1ULL << 40;
    QTest::newRow("first block beyond the segments") << far.bytes() + block(0x0502, 0, "a", 0) << QByteArray();

    Header undivided;
    undivided.segmentSize = 0;
    QTest::newRow("segment size 0") << undivided.bytes() + block(0x0502, 0, "a", 0) << QByteArray();

    // A next that cannot be reached ends the walk with what was gathered.
    QTest::newRow("next beyond the segments")
        << head + block(0x0502, 0, "a", 1ULL << 40) << block(0x0502, 0, "a", 352 + 17);
    QTest::newRow("next negative as signed")
        << head + block(0x0502, 0, "a", ~0ULL) << block(0x0502, 0, "a", 352 + 17);
}

void TestMikFile::drmBytesOfDamagedChains()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, expected);
    QVERIFY(write(kimPath(), bytes));

    Mik::MikFile container(kimPath());
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(container.getDrmBytes(), expected);
    QVERIFY(timer.elapsed() < 5000);
    // What was gathered before a next that cannot be followed is a part of
    // the chain, never the whole of it.
    bool whole = true;
    container.getDrmBytes(&whole);
    QVERIFY(!whole);
}

void TestMikFile::updatingFlagSetAndClear_data()
{
    QTest::addColumn<quint64>("before");
    QTest::addColumn<bool>("updating");
    QTest::addColumn<quint64>("after");

    const quint64 bit20 = 1ULL << 20;
    QTest::newRow("set keeps high bits") << (0x880 | bit20) << true << (0xC80 | bit20);
    QTest::newRow("set when already set") << quint64(0xC00) << true << quint64(0xC00);
    QTest::newRow("clear drops bits 16 and up") << (0xC80 | bit20 | (1ULL << 63)) << false << quint64(0x880);
    QTest::newRow("clear keeps bits below 16") << quint64(0xFFFF) << false << quint64(0xFBFF);
}

void TestMikFile::updatingFlagSetAndClear()
{
    QFETCH(quint64, before);
    QFETCH(bool, updating);
    QFETCH(quint64, after);
    Header h;
    h.flags = before;
    const QByteArray original = h.bytes() + QByteArray(100, 'p');
    QVERIFY(write(kimPath(), original));

    Mik::MikFile container(kimPath());
    QVERIFY(container.setUpdating(updating));
    QCOMPARE(container.flags(), after);

    QByteArray expected = original;
    put(expected, 72, after, 8);
    QCOMPARE(read(kimPath()), expected);
}

void TestMikFile::updatingFlagNeedsTheFile()
{
    QVERIFY(write(kimPath(), Header().bytes()));
    Mik::MikFile container(kimPath());
    QVERIFY(QFile::remove(kimPath()));
    QVERIFY(!container.setUpdating(true));
    QVERIFY2(!QFile::exists(kimPath()), "a vanished container must not be created again");
    QVERIFY(!container.finalize());
    QVERIFY(!QFile::exists(kimPath()));
}

void TestMikFile::finalizeWritesSizeAndDigest()
{
    Header h;
    h.flags = 0x800 | 0x400;
    h.kimFileSize = 7;
    QByteArray payload;
    for (int i = 0; i < 3000; ++i)
        payload.append(char(i * 13));
    const QByteArray original = h.bytes() + payload;
    QVERIFY(write(kimPath(), original));

    Mik::MikFile container(kimPath());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^FileSize: 7 -> 3352$")));
    QVERIFY(container.finalize());

    QByteArray expected = original;
    put(expected, 72, 0x800 | 0x400 | 0x80 | 0x100, 8);
    put(expected, 280, original.size(), 8);
    expected.replace(288, 20, QCryptographicHash::hash(payload, QCryptographicHash::Sha1));
    QCOMPARE(read(kimPath()), expected);

    // A stored header size decides where the payload starts.
    Header longer;
    longer.headerSize = 400;
    longer.firstBlock = 400;
    const QByteArray longFile = longer.bytes() + QByteArray(48, 'h') + payload;
    QVERIFY(write(kimPath(), longFile));
    Mik::MikFile longHeader(kimPath());
    QVERIFY(longHeader.finalize());
    QCOMPARE(read(kimPath()).mid(288, 20), QCryptographicHash::hash(payload, QCryptographicHash::Sha1));
    QCOMPARE(read(kimPath()).mid(352), longFile.mid(352));
}

void TestMikFile::finalizeLeavesForeignContainersAlone()
{
    Header h;
    h.flags = 0x400;
    const QByteArray original = h.bytes() + QByteArray(64, 'p');
    QVERIFY(write(kimPath(), original));

    Mik::MikFile container(kimPath());
    QVERIFY(!container.finalize());
    QCOMPARE(container.headerImage(), original.left(352));
    QCOMPARE(read(kimPath()), original);
}

QTEST_GUILESS_MAIN(TestMikFile)
#include "tst_mikfile.moc"
