// Cards made for the tool's tests must hold exactly the layout the tool
// reads: a reader bug must not hide behind a writer bug of the same shape.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include "chartserviceprocess.h"

namespace {

const QByteArray separator("-----Trelmarkholding---media---001-----");

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Block
{
    quint16 type;
    quint8 flags;
    qint32 length;
    quint64 position;
};

} // namespace

class TestCardMaker : public QObject
{
    Q_OBJECT

private slots:
    void mediaFileOfEveryKind_data();
    void mediaFileOfEveryKind();
    void rqContainerHeader();
    void rqChainCrossesIntoSegmentFile_data();
    void rqChainCrossesIntoSegmentFile();
    void rqCardOfAnotherBuild();
    void refusesBadArguments();
};

void TestCardMaker::mediaFileOfEveryKind_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("mediaId");
    QTest::addColumn<QByteArray>("vmidSku");
    QTest::addColumn<bool>("container");

    QTest::newRow("blank") << "blank" << "QBLANK-0001" << QByteArray() << false;
    QTest::newRow("velmora") << "velmora" << "QDEMO-0001" << QByteArray("VM-ARD-01") << false;
    QTest::newRow("talvo") << "talvo" << "QDEMO-0001" << QByteArray("TV-SOUTH-2") << false;
    QTest::newRow("rq") << "rq" << "QDEMO-RQ-0001" << QByteArray() << true;
    QTest::newRow("blank, own id") << "blank" << "QDEMO-RQ-LOST" << QByteArray() << false;
}

void TestCardMaker::mediaFileOfEveryKind()
{
    QFETCH(QString, kind);
    QFETCH(QString, mediaId);
    QFETCH(QByteArray, vmidSku);
    QFETCH(bool, container);

    QTemporaryDir dir;
    QStringList extra;
    if (QTest::currentDataTag() == QByteArray("blank, own id"))
        extra << QStringLiteral("--media-id") << mediaId;
    QVERIFY(ChartServiceProcess::makeCard(dir.path(), kind, extra));

    const QByteArray text = readAll(dir.filePath(QStringLiteral("ENCRYPT.TXT")));
    QVERIFY(!text.contains('\n'));
    // Exactly three fields around two separators, the middle one the id
    // padded with blanks that the tool simplifies away.
    const int first = text.indexOf(separator);
    const int second = text.indexOf(separator, first + separator.size());
    QVERIFY(first > 0 && second > first);
    QCOMPARE(text.indexOf(separator, second + separator.size()), -1);
    const QByteArray middle = text.mid(first + separator.size(), second - first - separator.size());
    QCOMPARE(middle.simplified(), mediaId.toUtf8());
    QVERIFY(middle != middle.simplified());
    QCOMPARE(QString::fromUtf8(text), ChartServiceProcess::encryptText(mediaId));

    const QByteArray vmid = readAll(dir.filePath(QStringLiteral("vmid")));
    if (vmidSku.isEmpty()) {
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("vmid"))));
    } else {
        QVERIFY(vmid.startsWith(vmidSku + "\r\n"));
        QVERIFY(vmid.contains("\"files\""));
    }
    QCOMPARE(!QDir(dir.path()).entryList({QStringLiteral("*.kim")}).isEmpty(), container);
}

void TestCardMaker::rqContainerHeader()
{
    QTemporaryDir dir;
    QVERIFY(ChartServiceProcess::makeCard(dir.path(), QStringLiteral("rq")));
    const QByteArray kim = readAll(dir.filePath(QStringLiteral("R004321_1.kim")));
    QVERIFY(kim.size() > 352);
    const char *h = kim.constData();
    QCOMPARE(QByteArray(h, 8), QByteArray("romnirB\0", 8));
    QCOMPARE(qFromLittleEndian<quint64>(h + 8), quint64(352));
    QCOMPARE(qFromLittleEndian<quint64>(h + 24), quint64(262144));
    const quint64 flags = qFromLittleEndian<quint64>(h + 72);
    QCOMPARE(flags, quint64(0x800 | 0x100 | 0x80));
    QCOMPARE(qFromLittleEndian<quint32>(h + 156), 5001u);
    QCOMPARE(qFromLittleEndian<quint32>(h + 160), 1u);
    QCOMPARE(qFromLittleEndian<quint32>(h + 164), 4321u);
    QCOMPARE(qFromLittleEndian<quint64>(h + 168), quint64(352));
    QCOMPARE(qFromLittleEndian<quint32>(h + 244), 1000u);
    QCOMPARE(qFromLittleEndian<quint64>(h + 280), quint64(kim.size()));
    QCOMPARE(QByteArray(h + 288, 20), QCryptographicHash::hash(kim.mid(352), QCryptographicHash::Sha1));
    QCOMPARE(qFromLittleEndian<quint32>(h + 344), 1000u);
    // Chart name as the tool composes it: the SKU of the demo RQ product.
    const QString chartName = QStringLiteral("%1-%2").arg(qFromLittleEndian<quint32>(h + 164), 6, 10, QLatin1Char(' '))
                                  .arg(qFromLittleEndian<quint32>(h + 160));
    QCOMPARE(chartName, QString::fromLatin1(ChartServiceProcess::DemoRqSku));
    for (const auto &range : {qMakePair(16, 8), qMakePair(32, 40), qMakePair(80, 76), qMakePair(176, 68),
                              qMakePair(248, 32), qMakePair(308, 36), qMakePair(348, 4)})
        QVERIFY2(!kim.mid(range.first, range.second).contains('\0'), qPrintable(QString::number(range.first)));

    // Segment files of the older build sit beside it, named as the tool expects.
    QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("R004321_1.k01"))).size(), 262144);
    QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("R004321_1.k02"))).size(), 262144);
    QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("R004321_1.k03"))).size(), 100000);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("R004321_1.k04"))));
}

void TestCardMaker::rqChainCrossesIntoSegmentFile_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("base");
    QTest::addColumn<quint64>("segmentSize");

    QTest::newRow("demo card") << QStringList() << "R004321_1" << quint64(262144);
    // The test catalogue's RQ product: the chain must still fit the first
    // segment and hop into the next one when segments are small.
    QTest::newRow("test catalogue card")
        << QStringList{QStringLiteral("--sku"), QStringLiteral("  5555-1"), QStringLiteral("--media-id"),
                       QStringLiteral("QTEST-RQ-0001"), QStringLiteral("--segment-size"), QStringLiteral("16384"),
                       QStringLiteral("--segment-sizes"), QStringLiteral("16384,16384,3000")}
        << "R005555_1" << quint64(16384);
}

void TestCardMaker::rqChainCrossesIntoSegmentFile()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, base);
    QFETCH(quint64, segmentSize);

    QTemporaryDir dir;
    QVERIFY(ChartServiceProcess::makeCard(dir.path(), QStringLiteral("rq"), arguments));
    const QByteArray segments[] = {readAll(dir.filePath(base + QStringLiteral(".kim"))),
                                   readAll(dir.filePath(base + QStringLiteral(".k01")))};
    QCOMPARE(qFromLittleEndian<quint64>(segments[0].constData() + 24), segmentSize);
    QList<Block> chain;
    quint64 position = 352;
    while (position != 0 && chain.size() < 100) {
        const quint64 segment = position / segmentSize;
        const quint64 offset = position % segmentSize;
        QVERIFY(segment < 2);
        const QByteArray &bytes = segments[segment];
        QVERIFY(offset + 8 <= quint64(bytes.size()));
        const char *p = bytes.constData() + offset;
        Block block{qFromLittleEndian<quint16>(p), quint8(p[2]), qFromLittleEndian<qint32>(p + 4), position};
        const int headerLength = 8 + ((block.flags & 4) ? 0 : 8) + ((block.flags & 0x20) ? 16 : 0);
        const int total = headerLength + block.length + ((block.flags & 2) ? 20 : 0);
        QVERIFY(offset + quint64(total) <= quint64(bytes.size()));
        chain.append(block);
        position = headerLength > 8 ? qFromLittleEndian<quint64>(p + 8) : 0;
    }
    QVERIFY(chain.size() >= 5);

    bool structural0 = false, structural1 = false, data = false, required = false;
    bool trailer = false, extension = false, noNext = false, inSegment = false;
    for (const Block &block : chain) {
        structural0 |= block.type == 0;
        structural1 |= block.type == 1;
        data |= block.type >= 2 && block.type != 0x0502;
        required |= block.type == 0x0502;
        trailer |= (block.flags & 2) != 0;
        extension |= (block.flags & 0x20) != 0;
        noNext |= (block.flags & 4) != 0;
        inSegment |= block.position >= segmentSize;
    }
    QVERIFY(structural0);
    QVERIFY(structural1);
    QVERIFY(data);
    QVERIFY(required);
    QVERIFY(trailer);
    QVERIFY(extension);
    QVERIFY(noNext);
    QVERIFY(inSegment);
    QCOMPARE(chain.first().position, quint64(352));
}

void TestCardMaker::rqCardOfAnotherBuild()
{
    QTemporaryDir a;
    QTemporaryDir b;
    QVERIFY(ChartServiceProcess::makeCard(a.path(), QStringLiteral("rq"),
                                          {QStringLiteral("--build"), QStringLiteral("4990"), QStringLiteral("--build-code"),
                                           QStringLiteral("7"), QStringLiteral("--media-id"), QStringLiteral("OTHER-RQ")}));
    QVERIFY(ChartServiceProcess::makeCard(b.path(), QStringLiteral("rq")));
    const QByteArray kimA = readAll(a.filePath(QStringLiteral("R004321_1.kim")));
    const QByteArray kimB = readAll(b.filePath(QStringLiteral("R004321_1.kim")));
    QCOMPARE(qFromLittleEndian<quint32>(kimA.constData() + 156), 4990u);
    QCOMPARE(qFromLittleEndian<quint32>(kimA.constData() + 344), 7u);
    // Another card carries other chart-data blocks; another build other segment bytes.
    QVERIFY(kimA.mid(352) != kimB.mid(352));
    QVERIFY(readAll(a.filePath(QStringLiteral("R004321_1.k02"))) != readAll(b.filePath(QStringLiteral("R004321_1.k02"))));
    // The same arguments give the same card, byte for byte.
    QTemporaryDir c;
    QVERIFY(ChartServiceProcess::makeCard(c.path(), QStringLiteral("rq")));
    QCOMPARE(readAll(c.filePath(QStringLiteral("R004321_1.kim"))), kimB);
}

void TestCardMaker::refusesBadArguments()
{
    QTemporaryDir dir;
    QVERIFY(!ChartServiceProcess::makeCard(dir.path(), QStringLiteral("floppy")));
    QVERIFY(!ChartServiceProcess::makeCard(dir.path(), QStringLiteral("rq"), {QStringLiteral("--sku"), QStringLiteral("4321-1")}));
    QVERIFY(!ChartServiceProcess::makeCard(dir.path(), QStringLiteral("rq"), {QStringLiteral("--build"), QStringLiteral("x")}));
    // The chain needs a first segment file to reach into.
    QVERIFY(!ChartServiceProcess::makeCard(dir.path(), QStringLiteral("rq"), {QStringLiteral("--segment-sizes"), QStringLiteral("100")}));
    QVERIFY(QDir(dir.path()).entryList({QStringLiteral("*.kim")}).isEmpty());
}

QTEST_GUILESS_MAIN(TestCardMaker)
#include "tst_cardmaker.moc"
