// Bytes must land at the right offsets on the card whatever the server does
// with ranges, and every way a reply can go wrong must end the transfer with
// a signal the owner can act on, never leave it hanging.
#include <QtTest>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkReply>
#include <QTemporaryDir>

#include <memory>

#include "app/startup.h"
#include "download/download.h"
#include "media/cardwriter.h"
#include "rangefileserver.h"
#include "service/serviceclient.h"

namespace {

// Deterministic bytes that differ at every offset, so a piece written in the
// wrong place never compares equal by accident.
QByteArray patternBytes(qint64 count, quint32 seed)
{
    QByteArray bytes(count, Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 1;
    for (qint64 i = 0; i < count; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x);
    }
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

const QString chartFile = QStringLiteral("charts/V123/a.bin");

// The card of the current case; every transfer writes through it.
std::shared_ptr<const CardWriter> cardWriter;

} // namespace

// One transfer under observation, with the counters its owner would keep.
struct Watched
{
    explicit Watched(const QJsonObject &record)
        : d(new Download(record))
        , started(d.get(), &Download::started)
        , finished(d.get(), &Download::downloadFinished)
        , errors(d.get(), &Download::error)
        , cancelled(d.get(), &Download::cancelled)
    {
        d->setCardWriter(cardWriter);
        QObject::connect(d.get(), &Download::bytesWritten, d.get(), [this](qint64 n) {
            counted += n;
            chunks.append(n);
        });
    }
    int outcomes() const { return finished.count() + errors.count() + cancelled.count(); }
    QString lastError() const { return errors.isEmpty() ? QString() : errors.last().at(1).toString(); }

    std::unique_ptr<Download> d;
    QSignalSpy started, finished, errors, cancelled;
    qint64 counted = 0; // what the owner adds to its progress, negative fall-backs included
    QList<qint64> chunks;
};

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void urlChoice_data();
    void urlChoice();
    void resumeTakesLocalSizeUnlessGiven();
    void freshDownloadLandsWholeInBoundedChunks();
    void resumedDownload_data();
    void resumedDownload();
    void interruptedReply_data();
    void interruptedReply();
    void stallShorterThanWatchdogCompletes();
    void extraByteIsReported();
    void pauseWhileDownloadingAndWhileWriting();
    void cardFolderRemovedMidDownload();
    void fileChangedBehindTheTransfer();
    void destroyedMidTransfer_data();
    void destroyedMidTransfer();

private:
    QJsonObject record(qint64 size, const QByteArray &etag = "e1", const QByteArray &inlineData = QByteArray()) const;
    // Issues the request the way the product downloader does.
    void issue(Download *d);
    void waitForOutcome(Watched &w, int before);

    RangeFileServer *server = nullptr;
    std::unique_ptr<ServiceClient> client;
    std::unique_ptr<QTemporaryDir> card;
    QByteArray content;
};

void TestDownload::initTestCase()
{
    prepareStartup();
    if (qEnvironmentVariableIsEmpty("TRANSFER_TRACE"))
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndefault.info=false"));
    Download::setWatchdogLimit(2);
    server = new RangeFileServer(this);
    QVERIFY(server->listen());
    client = std::make_unique<ServiceClient>();
}

void TestDownload::init()
{
    card = std::make_unique<QTemporaryDir>();
    QVERIFY(card->isValid());
    QVERIFY(QDir(card->path()).mkpath(QStringLiteral("charts/V123")));
    writeFile(card->filePath(QStringLiteral("ENCRYPT.TXT")),
              "A-----Trelmarkholding---media---001-----T1-----Trelmarkholding---media---001-----B");
    cardWriter = std::make_shared<const CardWriter>(CardIdentity::fromRoot(card->path()));
    content = patternBytes(1572869, 7);
    server->addFile("/cdn/" + chartFile.toUtf8(), content, "\"e1\"");
    server->addFile("/origin/" + chartFile.toUtf8(), content, "\"e1\"");
    server->setFault(RangeFileServer::None, 0);
    server->served.clear();
}

void TestDownload::cleanup()
{
    card.reset();
}

QJsonObject TestDownload::record(qint64 size, const QByteArray &etag, const QByteArray &inlineData) const
{
    return QJsonObject{
        {QStringLiteral("file"), chartFile},
        {QStringLiteral("size"), double(size)},
        {QStringLiteral("dir"), card->path()},
        {QStringLiteral("end_point"), server->baseUrl() + QStringLiteral("/origin/")},
        {QStringLiteral("cdn_end_point"), server->baseUrl() + QStringLiteral("/cdn/")},
        {QStringLiteral("etag"), QString::fromLatin1(etag)},
        {QStringLiteral("data"), QString::fromLatin1(inlineData.toBase64())},
        {QStringLiteral("sha1"),
         QString::fromLatin1(QCryptographicHash::hash(content.left(size), QCryptographicHash::Sha1).toHex())},
    };
}

void TestDownload::issue(Download *d)
{
    QString range;
    if (d->resuming)
        range = QStringLiteral("bytes=%1-%2").arg(d->offset).arg(d->size - 1);
    if (d->reply)
        d->reset();
    d->reply = client->downloadRequest(d->downloadPath(), d->file, range);
    d->connectResponse();
}

void TestDownload::waitForOutcome(Watched &w, int before)
{
    QTRY_VERIFY_WITH_TIMEOUT(w.outcomes() > before, 20000);
}

void TestDownload::urlChoice_data()
{
    QTest::addColumn<bool>("withCdn");
    QTest::addColumn<bool>("resuming");
    QTest::addColumn<bool>("rewrite");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("expected");

    QTest::newRow("no cdn, fresh") << false << false << false << qint64(0) << qint64(1000) << "origin";
    QTest::newRow("no cdn, resumed late") << false << true << false << qint64(990) << qint64(1000) << "origin";
    QTest::newRow("cdn, fresh") << true << false << false << qint64(0) << qint64(1000) << "cdn";
    QTest::newRow("cdn, resumed at 80%") << true << true << false << qint64(800) << qint64(1000) << "cdn";
    QTest::newRow("cdn, resumed at 80.9%") << true << true << false << qint64(809) << qint64(1000) << "cdn";
    QTest::newRow("cdn, resumed at 81%") << true << true << false << qint64(810) << qint64(1000) << "origin";
    QTest::newRow("cdn, late but rewriting") << true << true << true << qint64(900) << qint64(1000) << "cdn";
    QTest::newRow("cdn, late but not resuming") << true << false << false << qint64(900) << qint64(1000) << "cdn";
    QTest::newRow("cdn, size 0 resumed") << true << true << false << qint64(0) << qint64(0) << "cdn";
    QTest::newRow("cdn, beyond 4 GiB") << true << true << false << qint64(5000000000) << qint64(6000000000) << "origin";
}

void TestDownload::urlChoice()
{
    QFETCH(bool, withCdn);
    QFETCH(bool, resuming);
    QFETCH(bool, rewrite);
    QFETCH(qint64, offset);
    QFETCH(qint64, size);
    QFETCH(QString, expected);

    QJsonObject r = record(size);
    if (!withCdn)
        r.remove(QStringLiteral("cdn_end_point"));
    Download d(r);
    d.resuming = resuming;
    d.rewrite = rewrite;
    d.offset = offset;
    QCOMPARE(d.downloadPath(), server->baseUrl() + QLatin1Char('/') + expected + QLatin1Char('/') + chartFile);
}

void TestDownload::resumeTakesLocalSizeUnlessGiven()
{
    Download d(record(content.size()));
    d.setCardWriter(cardWriter);
    QCOMPARE(d.resume(0), qint64(0)); // no local file yet
    QVERIFY(d.resuming);
    writeFile(d.localFilePath(), content.left(12345));
    QCOMPARE(d.resume(0), qint64(12345));
    QCOMPARE(d.resume(-1), qint64(12345));
    QCOMPARE(d.resume(500), qint64(500));
    QCOMPARE(d.offset, qint64(500));
}

void TestDownload::freshDownloadLandsWholeInBoundedChunks()
{
    content = patternBytes(24 * 1024 * 1024 + 3, 11);
    server->addFile("/cdn/" + chartFile.toUtf8(), content, "\"e1\"");
    const QByteArray tail("inline tail");
    Watched w(record(content.size(), "e1", tail));
    QSignalSpy finishedSpy(w.d.get(), &Download::downloadFinished);
    // The trailing bytes must already be on the card when completion is reported.
    qint64 sizeAtFinish = -1;
    connect(w.d.get(), &Download::downloadFinished, this,
            [&] { sizeAtFinish = QFileInfo(w.d->localFilePath()).size(); });

    issue(w.d.get());
    waitForOutcome(w, 0);

    QCOMPARE(w.errors.count(), 0);
    QCOMPARE(w.started.count(), 1);
    QCOMPARE(w.finished.count(), 1);
    QCOMPARE(w.finished.first().first().toString(), chartFile);
    QCOMPARE(w.d->state, Download::DONE);
    QCOMPARE(sizeAtFinish, content.size() + tail.size());
    QVERIFY(readFile(w.d->localFilePath()) == content + tail);
    QCOMPARE(w.counted, qint64(content.size()));
    QCOMPARE(server->served.size(), 1);
    QVERIFY(server->served.first().range.isEmpty());
    QVERIFY(server->served.first().acceptEncoding != "identity");
    QVERIFY(w.chunks.size() > 1);
    for (qint64 chunk : std::as_const(w.chunks))
        QVERIFY2(chunk > 0 && chunk <= Download::maxChunkSize, qPrintable(QString::number(chunk)));
}

void TestDownload::resumedDownload_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QByteArray>("serverEtag");
    QTest::addColumn<QByteArray>("recordEtag");
    QTest::addColumn<bool>("expectError");
    QTest::addColumn<bool>("expectFallBack");

    const QByteArray e1 = "\"e1\"";
    QTest::newRow("range honoured, quoted etag") << int(RangeFileServer::None) << e1 << QByteArray("e1") << false << false;
    QTest::newRow("record without etag") << int(RangeFileServer::None) << QByteArray("\"x9\"") << QByteArray() << false << false;
    QTest::newRow("server without etag") << int(RangeFileServer::None) << QByteArray() << QByteArray("e1") << false << false;
    QTest::newRow("range ignored") << int(RangeFileServer::IgnoreRange) << e1 << QByteArray("e1") << false << true;
    QTest::newRow("no Content-Range, length as asked") << int(RangeFileServer::NoContentRange) << e1 << QByteArray("e1") << false << false;
    QTest::newRow("no Content-Range, short body") << int(RangeFileServer::ShortNoContentRange) << e1 << QByteArray("e1") << true << true;
    QTest::newRow("range from elsewhere") << int(RangeFileServer::WrongRangeStart) << e1 << QByteArray("e1") << true << true;
    QTest::newRow("etag changed, ranged reply") << int(RangeFileServer::None) << QByteArray("\"e2\"") << QByteArray("e1") << true << true;
    QTest::newRow("etag changed, whole file") << int(RangeFileServer::IgnoreRange) << QByteArray("W/\"e2\"") << QByteArray("e1") << false << true;
}

// A partial file on the card plus whatever the server answers to the ranged
// request must end as the server's file, and the owner's byte count must
// agree with the disk.
void TestDownload::resumedDownload()
{
    QFETCH(int, fault);
    QFETCH(QByteArray, serverEtag);
    QFETCH(QByteArray, recordEtag);
    QFETCH(bool, expectError);
    QFETCH(bool, expectFallBack);

    server->addFile("/cdn/" + chartFile.toUtf8(), content, serverEtag);
    const qint64 present = content.size() * 2 / 5;
    Watched w(record(content.size(), recordEtag));
    writeFile(w.d->localFilePath(), content.left(present));
    const qint64 resumedAt = w.d->resume(-1);
    QCOMPARE(resumedAt, present);
    qint64 owned = resumedAt; // what the owner counts as on the card

    server->setFault(RangeFileServer::Fault(fault));
    issue(w.d.get());
    waitForOutcome(w, 0);
    QCOMPARE(server->served.first().range, "bytes=" + QByteArray::number(present) + "-" + QByteArray::number(content.size() - 1));
    QCOMPARE(server->served.first().acceptEncoding, QByteArray("identity"));
    QCOMPARE(w.chunks.contains(-present), expectFallBack);

    if (expectError) {
        QCOMPARE(w.errors.count(), 1);
        QCOMPARE(w.d->state, Download::ERROR);
        QVERIFY(!w.lastError().isEmpty());
        QVERIFY(w.d->rewrite);
        QCOMPARE(w.d->offset, qint64(0));
        issue(w.d.get());
        waitForOutcome(w, 1);
        QVERIFY(server->served.last().range.isEmpty());
    } else {
        QCOMPARE(w.errors.count(), 0);
    }

    QCOMPARE(w.finished.count(), 1);
    QCOMPARE(w.d->state, Download::DONE);
    QVERIFY(readFile(w.d->localFilePath()) == content);
    owned += w.counted;
    QCOMPARE(owned, qint64(content.size()));
}

void TestDownload::interruptedReply_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<qint64>("cutAt");
    QTest::addColumn<QString>("message");

    QTest::newRow("connection closed mid-file") << int(RangeFileServer::CloseMidBody) << qint64(600000) << QString();
    QTest::newRow("body ends early without error") << int(RangeFileServer::CleanShortBody) << qint64(600000)
                                                   << QStringLiteral("The connection ended before the whole file arrived.");
    QTest::newRow("stall longer than the watchdog") << int(RangeFileServer::Stall) << qint64(600000)
                                                    << QStringLiteral("Network Timeout");
    QTest::newRow("stall before any header") << int(RangeFileServer::StallBeforeHeaders) << qint64(0)
                                             << QStringLiteral("Network Timeout");
    QTest::newRow("HTTP 500") << int(RangeFileServer::Status500) << qint64(0) << QString();
}

// A reply that breaks off leaves the bytes before the break on the card,
// reports an error, and the next ranged request completes the file.
void TestDownload::interruptedReply()
{
    QFETCH(int, fault);
    QFETCH(qint64, cutAt);
    QFETCH(QString, message);

    Watched w(record(content.size()));
    server->setFault(RangeFileServer::Fault(fault), 1, cutAt, -1);
    issue(w.d.get());
    waitForOutcome(w, 0);

    QCOMPARE(w.errors.count(), 1);
    QCOMPARE(w.finished.count(), 0);
    QCOMPARE(w.errors.first().first().toString(), chartFile);
    if (!message.isEmpty())
        QCOMPARE(w.lastError(), message);
    else
        QVERIFY(!w.lastError().isEmpty());
    QCOMPARE(w.d->state, Download::ERROR);
    QVERIFY(w.d->resuming);
    QVERIFY(!w.d->reply);
    const QByteArray partial = readFile(w.d->localFilePath());
    QVERIFY(partial.size() <= cutAt);
    QVERIFY(partial == content.left(partial.size())); // no error page, no stray bytes
    QCOMPARE(w.d->offset, qint64(partial.size()));
    QCOMPARE(w.counted, qint64(partial.size()));

    issue(w.d.get());
    waitForOutcome(w, 1);
    QCOMPARE(w.finished.count(), 1);
    if (partial.size() > 0)
        QCOMPARE(server->served.last().range, "bytes=" + QByteArray::number(partial.size()) + "-" + QByteArray::number(content.size() - 1));
    QVERIFY(readFile(w.d->localFilePath()) == content);
    QCOMPARE(w.counted, qint64(content.size()));
}

void TestDownload::stallShorterThanWatchdogCompletes()
{
    Watched w(record(content.size()));
    server->setFault(RangeFileServer::Stall, 1, 500000, 900);
    issue(w.d.get());
    waitForOutcome(w, 0);
    QCOMPARE(w.errors.count(), 0);
    QCOMPARE(w.finished.count(), 1);
    QVERIFY(readFile(w.d->localFilePath()) == content);
}

void TestDownload::extraByteIsReported()
{
    Watched w(record(content.size()));
    server->setFault(RangeFileServer::ExtraByte);
    issue(w.d.get());
    waitForOutcome(w, 0);
    QCOMPARE(w.d->state, Download::ERROR);
    QCOMPARE(w.errors.count(), 1);
    QCOMPARE(w.finished.count(), 0);
    QVERIFY(w.d->rewrite);
    QVERIFY(!w.d->resuming);
    QCOMPARE(w.d->offset, qint64(0));
    QCOMPARE(w.counted, qint64(0));

    issue(w.d.get());
    waitForOutcome(w, 1);
    QCOMPARE(w.finished.count(), 1);
    QVERIFY(server->served.last().range.isEmpty());
    QVERIFY(readFile(w.d->localFilePath()) == content); // the stray byte was cut off
}

void TestDownload::pauseWhileDownloadingAndWhileWriting()
{
    // Larger than one piece, so that a pause leaves bytes to fetch.
    content = patternBytes(3 * Download::replyBufferSize + 11, 5);
    server->addFile("/cdn/" + chartFile.toUtf8(), content, "\"e1\"");
    Watched w(record(content.size()));

    // Held in DOWNLOADING by a server that stops sending.
    server->setFault(RangeFileServer::Stall, 1, 400000, -1);
    issue(w.d.get());
    QTRY_VERIFY_WITH_TIMEOUT(w.d->offset > 0 && w.d->state == Download::DOWNLOADING, 20000);
    QVERIFY(w.d->pause());
    QCOMPARE(w.cancelled.count(), 1);
    QCOMPARE(w.d->state, Download::PAUSED);
    QVERIFY(!w.d->reply);
    QVERIFY(!w.d->pause()); // nothing left to stop
    QCOMPARE(QFileInfo(w.d->localFilePath()).size(), w.d->offset);

    // Paused while the file's end runs on the pool: every byte is in, so
    // the end settles the file, which is complete and reported once, as
    // finished and not as stopped.
    bool pausedWhileWriting = false;
    connect(w.d.get(), &Download::bodyReceived, this, [&] {
        pausedWhileWriting = w.d->state == Download::WRITING && w.d->pause();
    });
    issue(w.d.get());
    waitForOutcome(w, 1);
    QVERIFY(pausedWhileWriting);
    QCOMPARE(w.cancelled.count(), 1);
    QCOMPARE(w.finished.count(), 1);
    QCOMPARE(w.errors.count(), 0);
    QCOMPARE(w.d->state, Download::DONE);
    QVERIFY(readFile(w.d->localFilePath()) == content);
    QCOMPARE(w.counted, qint64(content.size()));
}

// The card pulled out while bytes still arrive: a clear error, no crash, and
// with the card back the transfer resumes where the card's copy ends.
void TestDownload::cardFolderRemovedMidDownload()
{
    Watched w(record(content.size()));
    server->setFault(RangeFileServer::Stall, 1, 400000, 1000);
    issue(w.d.get());
    QTRY_VERIFY_WITH_TIMEOUT(w.d->offset > 0 && w.d->state == Download::DOWNLOADING, 20000);
    const QByteArray saved = readFile(w.d->localFilePath());
    QVERIFY(QDir(card->path() + QStringLiteral("/charts")).removeRecursively());

    waitForOutcome(w, 0);
    QCOMPARE(w.errors.count(), 1);
    QVERIFY(!w.lastError().isEmpty());
    QCOMPARE(w.d->state, Download::ERROR);
    QVERIFY(!QFileInfo::exists(w.d->localFilePath()));

    QVERIFY(QDir(card->path()).mkpath(QStringLiteral("charts/V123")));
    writeFile(w.d->localFilePath(), saved);
    issue(w.d.get());
    waitForOutcome(w, 1);
    QCOMPARE(w.finished.count(), 1);
    QVERIFY(readFile(w.d->localFilePath()) == content);
    QCOMPARE(w.counted, qint64(content.size()));
}

// Between two rounds the local file may gain bytes nobody counted (a write
// that failed half-way) or lose bytes (cut by someone else). Neither may end
// in a file that differs from the server's.
void TestDownload::fileChangedBehindTheTransfer()
{
    Watched w(record(content.size()));
    server->setFault(RangeFileServer::Stall, 1, 400000, -1);
    issue(w.d.get());
    QTRY_VERIFY_WITH_TIMEOUT(w.d->offset > 0 && w.d->state == Download::DOWNLOADING, 20000);
    w.d->pause();
    const qint64 counted = w.d->offset;

    // Uncounted stray bytes at the end are cut off by the next write.
    {
        QFile f(w.d->localFilePath());
        QVERIFY(f.open(QIODevice::Append));
        f.write(QByteArray(777, 'Z'));
    }
    server->setFault(RangeFileServer::Stall, 1, 300000, -1);
    issue(w.d.get());
    QTRY_VERIFY_WITH_TIMEOUT(w.d->offset > counted && w.d->state == Download::DOWNLOADING, 20000);
    w.d->pause();
    QVERIFY(readFile(w.d->localFilePath()) == content.left(w.d->offset));

    // A file cut shorter than the count cannot be continued: start over.
    const qint64 before = w.d->offset;
    QVERIFY(QFile::resize(w.d->localFilePath(), before / 2));
    issue(w.d.get());
    waitForOutcome(w, 2);
    QCOMPARE(w.errors.count(), 1);
    QVERIFY(w.chunks.contains(-before));
    QCOMPARE(w.d->offset, qint64(0));
    QVERIFY(w.d->rewrite);

    issue(w.d.get());
    waitForOutcome(w, 3);
    QCOMPARE(w.finished.count(), 1);
    QVERIFY(server->served.last().range.isEmpty());
    QVERIFY(readFile(w.d->localFilePath()) == content);
    QCOMPARE(w.counted, qint64(content.size()));
}

// The owner deletes its transfers when a download ends, whatever they are
// doing: while bytes arrive nothing may be written after the object is gone;
// while the file's end runs on the pool, the end is waited for instead of
// reaching a destroyed object.
void TestDownload::destroyedMidTransfer_data()
{
    QTest::addColumn<bool>("duringEnd");
    QTest::newRow("while bytes arrive") << false;
    QTest::newRow("while its end runs") << true;
}

void TestDownload::destroyedMidTransfer()
{
    QFETCH(bool, duringEnd);
    content = patternBytes(4 * Download::replyBufferSize, 3);
    server->addFile("/cdn/" + chartFile.toUtf8(), content, "\"e1\"");
    auto *d = new Download(record(content.size()));
    d->setCardWriter(cardWriter);
    QSignalSpy destroyed(d, &QObject::destroyed);
    issue(d);
    bool deleted = false;
    if (duringEnd) {
        connect(d, &Download::bodyReceived, this, [&] {
            deleted = true;
            delete d;
        });
    } else {
        connect(d->reply, &QNetworkReply::readyRead, this, [&] {
            if (!deleted && d->offset > 0) {
                deleted = true;
                delete d;
            }
        });
    }
    QTRY_VERIFY_WITH_TIMEOUT(deleted, 20000);
    QCOMPARE(destroyed.count(), 1);
    const qint64 landed = QFileInfo(card->path() + QLatin1Char('/') + chartFile).size();
    if (duringEnd)
        QCOMPARE(landed, content.size());
    else
        QVERIFY(landed > 0 && landed < content.size());
    // Nothing keeps writing after the object is gone.
    QTRY_COMPARE_WITH_TIMEOUT(server->served.size(), 1, 1000);
    QCOMPARE(QFileInfo(card->path() + QLatin1Char('/') + chartFile).size(), landed);
}

QTEST_MAIN(TestDownload)
#include "tst_download.moc"
