// Sizes are shown in rows, the card panel and the progress line; a wrong unit
// or rounding misleads the user about what fits on the card.
#include <QtTest>

#include "app/utilities.h"

class TestUtilities : public QObject
{
    Q_OBJECT

private slots:
    void kbToReadable_data();
    void kbToReadable();
    void improperUseIsLogged_data();
    void improperUseIsLogged();
};

void TestUtilities::kbToReadable_data()
{
    QTest::addColumn<double>("kb");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<bool>("withUnit");
    QTest::addColumn<QString>("expected");

    QTest::newRow("zero") << 0.0 << QString() << true << "0.00 KB";
    QTest::newRow("512 auto") << 512.0 << QString() << true << "512.00 KB";
    QTest::newRow("just below MiB stays KB") << 1023.999 << QString() << true << "1024.00 KB";
    QTest::newRow("1536 auto") << 1536.0 << QString() << true << "1.50 MB";
    QTest::newRow("3 GiB auto") << 3145728.0 << QString() << true << "3.00 GB";
    QTest::newRow("unit chosen before rounding") << 1048575.0 << QString() << true << "1024.00 MB";
    QTest::newRow("512 as MB") << 512.0 << "MB" << true << "0.50 MB";
    QTest::newRow("2048 as MB, no unit") << 2048.0 << "MB" << false << "2.00";
    QTest::newRow("as KB") << 1536.0 << "KB" << true << "1536.00 KB";
    QTest::newRow("as GB") << 524288.0 << "GB" << true << "0.50 GB";
    QTest::newRow("auto without unit") << 1536.0 << QString() << false << "1.50";
    QTest::newRow("half of 512 KiB") << 256.0 << "MB" << false << "0.25";
}

void TestUtilities::kbToReadable()
{
    QFETCH(double, kb);
    QFETCH(QString, unit);
    QFETCH(bool, withUnit);
    QFETCH(QString, expected);
    QCOMPARE(Utilities::kbToReadable(kb, unit, withUnit), expected);
}

void TestUtilities::improperUseIsLogged_data()
{
    QTest::addColumn<double>("kb");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("message");

    QTest::newRow("negative") << -1.0 << QString() << QString()
        << "Improper use of Utilities::kbToReadable function. Kb parameter cannot be negative.";
    QTest::newRow("lower-case unit keeps only the unit word") << 2048.0 << "mb" << " MB"
        << "Improper use of Utilities::kbToReadable function. fileSize parameter (if supplied) can only be KB, MB or GB.";
}

void TestUtilities::improperUseIsLogged()
{
    QFETCH(double, kb);
    QFETCH(QString, unit);
    QFETCH(QString, expected);
    QFETCH(QString, message);
    QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
    QCOMPARE(Utilities::kbToReadable(kb, unit, true), expected);
}

QTEST_MAIN(TestUtilities)
#include "tst_utilities.moc"
