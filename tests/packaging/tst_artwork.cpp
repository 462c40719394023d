// Every picture the windows load by resource path must be in the bundle, decode,
// and have the size its widget was laid out for; the animation must really move.
#include <QtTest>

#include <QImageReader>
#include <QMovie>
#include <QPixmap>
#include <QtEndian>

class TestArtwork : public QObject
{
    Q_OBJECT

private slots:
    void pictures_data();
    void pictures();
    void busyAnimationLoops();
    void iconContainerHoldsPngs();
};

void TestArtwork::pictures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");

    const QString images = QStringLiteral(":/resources/images/");
    const auto row = [&](const char *name, QSize size) {
        QTest::newRow(name) << images + QLatin1String(name) << size;
    };
    row("Downloader_Product_List_Thumbnail.png", QSize(36, 36));
    row("Downloader_Radio_Icon_Not_Selected.png", QSize(60, 60));
    row("Downloader_Radio_Icon_Selected.png", QSize(60, 60));
    // Background images of a 30 x 28 tool button: larger ones would be cut off.
    for (const char *state : {"Up", "Down", "Over"}) {
        const QByteArray name = QByteArray("Downloader_Refresh_Icon_") + state + ".png";
        QTest::newRow(name.constData()) << images + QLatin1String(name) << QSize(18, 18);
    }
    for (const char *kind : {"Pause", "Resume"}) {
        for (const char *state : {"Up", "Down", "Over"}) {
            const QByteArray name = QByteArray("Downloader_") + kind + "_Icon_" + state + ".png";
            QTest::newRow(name.constData()) << images + QLatin1String(name) << QSize(24, 24);
        }
    }
    for (const char *kind : {"nocard", "rq", "legacy", "talvo", "blank"}) {
        const QByteArray name = QByteArray("quorveldownloadtool_sdcard_") + kind + ".png";
        QTest::newRow(name.constData()) << images + QLatin1String(name) << QSize(180, 150);
    }
    row("Downloader_Corvane_Logo.png", QSize(1190, 70));
    QTest::newRow("appIconPng") << QStringLiteral(":/icons/appIconPng") << QSize(256, 256);
}

void TestArtwork::pictures()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);

    QImageReader reader(path);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(path + QLatin1String(": ") + reader.errorString()));
    QCOMPARE(image.size(), size);
    QVERIFY(image.hasAlphaChannel() || path.contains(QLatin1String("Logo")));

    // Not one flat colour: a picture that lost its drawing still decodes fine.
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    QSet<QRgb> colours;
    for (int y = 0; y < argb.height() && colours.size() < 3; y += 2)
        for (int x = 0; x < argb.width() && colours.size() < 3; x += 2)
            colours.insert(argb.pixel(x, y));
    QVERIFY2(colours.size() >= 3, qPrintable(path));
}

void TestArtwork::busyAnimationLoops()
{
    QMovie movie(QStringLiteral(":/resources/images/CV_WQRT_Processing_White.gif"));
    QVERIFY2(movie.isValid(), qPrintable(movie.lastErrorString()));
    QVERIFY(movie.frameCount() >= 8);
    // -1: repeats for ever; a finite count would leave a frozen spinner while
    // a slow product description loads.
    QCOMPARE(movie.loopCount(), -1);

    QList<QImage> frames;
    for (int i = 0; i < movie.frameCount(); ++i) {
        QVERIFY(movie.jumpToFrame(i));
        const QImage frame = movie.currentImage();
        QCOMPARE(frame.size(), QSize(97, 97));
        QVERIFY(movie.nextFrameDelay() > 0 && movie.nextFrameDelay() <= 200);
        frames.append(frame);
    }
    QVERIFY(frames.first() != frames.at(1));
    QVERIFY(frames.at(1) != frames.at(2));
}

void TestArtwork::iconContainerHoldsPngs()
{
    // The bundle's app.icns: 'icns', total length, then (type, length, PNG)
    // entries, all big-endian. A broken container shows no icon at all.
    QFile file(QStringLiteral(":/resources/app.icns"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    QVERIFY(data.size() > 8);
    QCOMPARE(data.left(4), QByteArray("icns"));
    QCOMPARE(qFromBigEndian<quint32>(data.constData() + 4), quint32(data.size()));

    const QHash<QByteArray, int> pixels{{"ic11", 32}, {"ic12", 64}, {"ic07", 128}, {"ic08", 256}, {"ic09", 512}};
    QSet<QByteArray> seen;
    qsizetype at = 8;
    while (at < data.size()) {
        QVERIFY(at + 8 <= data.size());
        const QByteArray type = data.mid(at, 4);
        const quint32 length = qFromBigEndian<quint32>(data.constData() + at + 4);
        QVERIFY2(length > 8 && at + length <= quint32(data.size()), type.constData());
        QImage png;
        QVERIFY2(png.loadFromData(data.mid(at + 8, length - 8), "PNG"), type.constData());
        QVERIFY2(pixels.contains(type), type.constData());
        QCOMPARE(png.size(), QSize(pixels.value(type), pixels.value(type)));
        seen.insert(type);
        at += length;
    }
    QCOMPARE(at, data.size());
    QVERIFY(seen.contains("ic07") && seen.contains("ic08"));
}

QTEST_MAIN(TestArtwork)
#include "tst_artwork.moc"
