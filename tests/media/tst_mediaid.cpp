// The card is known by the text between the two separators of ENCRYPT.TXT and
// by the first line of its vmid file; a near miss must never pass as an id,
// and a hostile media file (a link, a pipe, a huge file) must never be read.
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include "media/cardidentity.h"
#include "media/mediaid.h"
#include "testkit.h"

class TestMediaId : public QObject
{
    Q_OBJECT

private slots:
    void mediaIdFromContent_data();
    void mediaIdFromContent();
    void vmidItemNumber_data();
    void vmidItemNumber();
    void cardIdentity_data();
    void cardIdentity();
};

void TestMediaId::mediaIdFromContent_data()
{
    const QString sep = QString::fromLatin1(Kit::mediaSeparator);
    QTest::addColumn<QString>("content");
    QTest::addColumn<QString>("mediaId");

    QTest::newRow("plain") << "head" + sep + "ABC123" + sep + "tail" << QStringLiteral("ABC123");
    QTest::newRow("blanks simplified")
        << "word" + sep + "  12  34  " + sep + "word" << QStringLiteral("12 34");
    QTest::newRow("line breaks and tabs") << sep + "\r\n\tXY\n Z\r\n" + sep << QStringLiteral("XY Z");
    QTest::newRow("one separator") << "a" + sep + "b" << QString();
    QTest::newRow("three separators") << "a" + sep + "b" + sep + "c" + sep + "d" << QString();
    QTest::newRow("separators back to back") << "a" + sep + sep + "b" << QString();
    QTest::newRow("blank middle") << "a" + sep + "  \n " + sep + "b" << QString();
    QTest::newRow("four hyphens before")
        << "a----Trelmarkholding---media---001-----b" + sep + "c" << QString();
    QTest::newRow("other case") << "a" + sep.toUpper() + "b" + sep.toUpper() + "c" << QString();
    QTest::newRow("unicode kept") << "a" + sep + QStringLiteral("Kärtchen ✓") + sep
                                  << QStringLiteral("Kärtchen ✓");
}

void TestMediaId::mediaIdFromContent()
{
    QFETCH(QString, content);
    QTEST(::mediaIdFromContent(content), "mediaId");
}

void TestMediaId::vmidItemNumber_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("itemNumber");

    QTest::newRow("first line only") << QByteArray("  VM  12 \r\nsecond line\n") << QStringLiteral("VM 12");
    QTest::newRow("no line break") << QByteArray("TV-9") << QStringLiteral("TV-9");
    QTest::newRow("empty first line") << QByteArray("\nVM-1\n") << QString();
    QTest::newRow("no file") << QByteArray() << QString();
    QTest::newRow("utf-8") << QByteArray("S\xc3\xb8 1\n") << QStringLiteral("Sø 1");
}

void TestMediaId::vmidItemNumber()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir card;
    if (!bytes.isNull())
        writeFile(card.filePath(QStringLiteral("vmid")), bytes);
    QTEST(::vmidItemNumber(card.path()), "itemNumber");
}

void TestMediaId::cardIdentity_data()
{
    const QByteArray good = Kit::mediaText("CARD-1");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("kind"); // file, link, fifo
    QTest::addColumn<QString>("mediaId"); // empty: not a card

    QTest::newRow("capitals") << "ENCRYPT.TXT" << good << "file" << QStringLiteral("CARD-1");
    QTest::newRow("lower case") << "encrypt.txt" << good << "file" << QStringLiteral("CARD-1");
    QTest::newRow("backup copy") << "ENCRYPT.TXT.bak" << good << "file" << QString();
    QTest::newRow("no media id") << "ENCRYPT.TXT" << QByteArray("just text") << "file" << QString();
    QTest::newRow("at the size limit") << "ENCRYPT.TXT" << good + QByteArray((1 << 20) - good.size(), ' ')
                                       << "file" << QStringLiteral("CARD-1");
    QTest::newRow("past the size limit")
        << "ENCRYPT.TXT" << good + QByteArray(1 << 20, ' ') << "file" << QString();
    QTest::newRow("link") << "ENCRYPT.TXT" << good << "link" << QString();
    QTest::newRow("pipe") << "ENCRYPT.TXT" << QByteArray() << "fifo" << QString();
}

void TestMediaId::cardIdentity()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, kind);
    QFETCH(QString, mediaId);

    QTemporaryDir card;
    const QString path = card.filePath(name);
    if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else {
        const QString target
            = kind == QLatin1String("link") ? card.filePath(QStringLiteral("elsewhere")) : path;
        writeFile(target, content);
        if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(target, path));
    }

    const CardIdentity byFile = CardIdentity::fromMediaFile(path);
    QCOMPARE(byFile.rawMediaId(), mediaId);
    QCOMPARE(byFile.isValid(), !mediaId.isEmpty());
    if (mediaId.isEmpty())
        return;
    QCOMPARE(byFile.mediaText(), QString::fromUtf8(content));
    const CardIdentity byRoot = CardIdentity::fromRoot(card.path());
    QVERIFY(byRoot.sameCard(byFile));
    QVERIFY(byFile.stillPresent());

    // Another card put in at the same place is not this card; nor is a
    // card that has gone.
    writeFile(path, Kit::mediaText("CARD-2"));
    QVERIFY(!byFile.stillPresent());
    QVERIFY(QFile::remove(path));
    QVERIFY(!byFile.stillPresent());
    QVERIFY(!CardIdentity().sameCard(CardIdentity()));
}

QTEST_GUILESS_MAIN(TestMediaId)
#include "tst_mediaid.moc"
