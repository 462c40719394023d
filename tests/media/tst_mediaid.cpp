// The card is known by the text between the two separators of ENCRYPT.TXT and
// by the first line of its vmid file; a near miss must never pass as an id.
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "media/mediaid.h"

class TestMediaId : public QObject
{
    Q_OBJECT

private slots:
    void mediaIdFromContent_data();
    void mediaIdFromContent();
    void vmidItemNumber_data();
    void vmidItemNumber();
    void vmidMissing();
};

void TestMediaId::mediaIdFromContent_data()
{
    const QString sep = QStringLiteral("-----Trelmarkholding---media---001-----");
    QTest::addColumn<QString>("content");
    QTest::addColumn<QString>("mediaId");

    QTest::newRow("plain") << "head" + sep + "ABC123" + sep + "tail" << "ABC123";
    QTest::newRow("blanks simplified") << "word" + sep + "  12  34  " + sep + "word" << "12 34";
    QTest::newRow("line breaks and tabs") << sep + "\r\n\tXY\n Z\r\n" + sep << "XY Z";
    QTest::newRow("outer fields empty") << sep + "id" + sep << "id";
    QTest::newRow("one separator") << "a" + sep + "b" << "";
    QTest::newRow("three separators") << "a" + sep + "b" + sep + "c" + sep + "d" << "";
    QTest::newRow("separators back to back") << "a" + sep + sep + "b" << "";
    QTest::newRow("blank middle") << "a" + sep + "  \n " + sep + "b" << "";
    QTest::newRow("four hyphens before") << "a----Trelmarkholding---media---001-----b" + sep + "c" << "";
    QTest::newRow("four hyphens after") << "a-----Trelmarkholding---media---001----b" + sep + "c" << "";
    QTest::newRow("other case") << "a" + sep.toUpper() + "b" + sep.toUpper() + "c" << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("unicode kept") << "a" + sep + QStringLiteral("Kärtchen ✓") + sep << QStringLiteral("Kärtchen ✓");
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

    QTest::newRow("one line") << QByteArray("VM-1234\n") << "VM-1234";
    QTest::newRow("first line only") << QByteArray("  VM  12 \r\nsecond line\n") << "VM 12";
    QTest::newRow("no line break") << QByteArray("TV-9") << "TV-9";
    QTest::newRow("empty first line") << QByteArray("\nVM-1\n") << "";
    QTest::newRow("empty file") << QByteArray() << "";
    QTest::newRow("utf-8") << QByteArray("S\xc3\xb8 1\n") << QStringLiteral("Sø 1");
}

void TestMediaId::vmidItemNumber()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir card;
    QFile file(card.filePath(QStringLiteral("vmid")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    QTEST(::vmidItemNumber(card.path()), "itemNumber");
}

void TestMediaId::vmidMissing()
{
    QTemporaryDir card;
    QCOMPARE(::vmidItemNumber(card.path()), QString());
    QCOMPARE(::vmidItemNumber(card.filePath(QStringLiteral("no-such-folder"))), QString());
}

QTEST_GUILESS_MAIN(TestMediaId)
#include "tst_mediaid.moc"
