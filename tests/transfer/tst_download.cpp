// Bytes must land at the right offsets on the card whatever the server does
// with ranges, and every way a reply can go wrong must end the transfer with
// a signal the owner can act on, never leave it hanging.
#include <QtTest>

#include <algorithm>

#include <QJsonArray>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <memory>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include "base/startup.h"
#include "chartserviceprocess.h"
#include "download/backgroundpriority.h"
#include "download/download.h"
#include "download/readaheadproxyfactory.h"
#include "download/transferrunner.h"
#include "download/transferworker.h"
#include "card/cardwriter.h"
#include "service/chartservice.h"
#include "testkit.h"

Q_DECLARE_METATYPE(QList<QJsonObject>)

namespace {

// 1,500,000 bytes without a trailer, and 2 MiB followed by its inline bytes.
const QString plainFile = QStringLiteral("VMARD01/tiles_0002.bin");
const QString trailedFile = QStringLiteral("VMARD01/tiles_0003.bin");

// The card of the current case; every transfer writes through it.
std::shared_ptr<const CardWriter> cardWriter;

QJsonObject fault(const char *kind, QJsonObject parameters = {})
{
    parameters.insert(QStringLiteral("kind"), QLatin1String(kind));
    parameters.insert(QStringLiteral("path"), QStringLiteral("*/VMARD01/*"));
    return parameters;
}

// A fault that holds the reply after some bytes for longer than any case.
QJsonObject stallAfter(int bytes, double seconds = 60)
{
    return fault("stall", { { QStringLiteral("bytes"), bytes }, { QStringLiteral("seconds"), seconds } });
}

// What the user reads of a body the server coded in a way it cannot be read.
QString codedMessage(const QString &encoding)
{
    return QStringLiteral("The server sent the file in a coding that could not be undone (Content-Encoding: %1).")
        .arg(encoding);
}

constexpr int network = JobError::Network;

// The service's record of a file as the file list reads it.
FileRecord fileRecord(const QJsonObject &r)
{
    return { r.value(QStringLiteral("file")).toString(), qint64(r.value(QStringLiteral("size")).toDouble()),
        r.value(QStringLiteral("sha1")).toString().toLatin1(),
        QByteArray::fromBase64(r.value(QStringLiteral("data")).toString().toLatin1()),
        r.value(QStringLiteral("etag")).toString() };
}

// A transfer of the file r names onto the current case's card.
Download *downloadOf(const QJsonObject &r)
{
    return new Download(fileRecord(r), r.value(QStringLiteral("dir")).toString(),
        r.value(QStringLiteral("end_point")).toString(), r.value(QStringLiteral("cdn_end_point")).toString());
}

// The scheduling policy and niceness of this process's thread of that name.
bool threadPriority(const QByteArray &name, int *policy, int *niceness)
{
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name)
            continue;
        *policy = sched_getscheduler(pid_t(tid.toInt()));
        *niceness = getpriority(PRIO_PROCESS, id_t(tid.toInt()));
        return true;
    }
    return false;
}

} // namespace

// One transfer under observation, with the counters its owner would keep.
struct Watched
{
    explicit Watched(const QJsonObject &record)
        : d(downloadOf(record))
        , finished(d.get(), &Download::downloadFinished)
        , errors(d.get(), &Download::error)
        , cancelled(d.get(), &Download::cancelled)
        , retried(d.get(), &Download::retryFromStart)
    {
        d->setCardWriter(cardWriter);
        QObject::connect(d.get(), &Download::bytesWritten, d.get(), [this](qint64 n) {
            counted += n;
            chunks.append(n);
        });
    }
    int outcomes() const { return finished.count() + errors.count() + cancelled.count() + retried.count(); }
    QString lastError() const { return errors.isEmpty() ? QString() : errors.last().at(1).value<JobError>().message; }
    QByteArray onCard() const
    {
        return QFileInfo::exists(d->localFilePath()) ? readAll(d->localFilePath()) : QByteArray();
    }

    std::unique_ptr<Download> d;
    QSignalSpy finished, errors, cancelled, retried;
    qint64 counted = 0; // what the owner adds to its progress, negative fall-backs included
    QList<qint64> chunks;
};

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void urlChoice_data();
    void urlChoice();
    void proxyChoice_data();
    void proxyChoice();
    void resumedDownload_data();
    void resumedDownload();
    void interruptedReply_data();
    void interruptedReply();
    void codedReplies_data();
    void codedReplies();
    void pauseWhileDownloadingAndWhileWriting();
    void cardFolderRemovedMidDownload();
    void fileChangedBehindTheTransfer();
    void destroyedWhileItsEndRuns();
    void runnerReportsTogetherInOrder();

private:
    QJsonObject record(const QString &file = plainFile) const;
    // Issues the request the way the transfer thread does, through the
    // connections that read ahead (its small files over plain HTTP) where
    // the case says so.
    void issue(Download *d);
    // The Range header of every request for the file so far ("" for none).
    QStringList ranges(const QString &file = plainFile);
    void waitForOutcome(Watched &w, int before) { QTRY_VERIFY_WITH_TIMEOUT(w.outcomes() > before, 20000); }
    // Issues the request and waits until some bytes are in and the server
    // holds back the rest.
    void holdAfter(Watched &w, int bytes, double seconds = 60)
    {
        const qint64 before = w.d->offset;
        QVERIFY(service.addFault(stallAfter(bytes, seconds)));
        issue(w.d.get());
        QTRY_VERIFY_WITH_TIMEOUT(w.d->offset > before && w.d->state == Download::DOWNLOADING, 20000);
    }
    // Issues the request again and waits for the whole file, counted once;
    // owned is what the owner counted before w did.
    void finishesWhole(Watched &w, qint64 owned = 0)
    {
        issue(w.d.get());
        waitForOutcome(w, w.outcomes());
        QCOMPARE(w.finished.count(), 1);
        QCOMPARE(w.d->state, Download::DONE);
        QVERIFY(w.onCard() == content);
        QCOMPARE(owned + w.counted, qint64(content.size()));
        // What the read-back judges the card by covers every byte of the
        // file, those kept from before as much as those just fetched.
        QVERIFY(w.finished.first().at(1).value<ContentDigest::Value>()
                == ContentDigest::of(content.constData(), content.size()));
    }

    ChartServiceProcess service;
    QHash<QString, QJsonObject> records; // the service's file list, by file
    QHash<QString, QByteArray> served; // each file's bytes, without its inline ones
    std::unique_ptr<QNetworkAccessManager> manager;
    std::unique_ptr<QNetworkAccessManager> readAheadManager;
    bool readAhead = false;
    std::unique_ptr<QTemporaryDir> card;
    QByteArray content; // the plain file
};

void TestDownload::initTestCase()
{
    prepareStartup();
    if (qEnvironmentVariableIsEmpty("TRANSFER_TRACE"))
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndefault.info=false"));
    Download::setWatchdogLimit(2);
    QVERIFY(service.start());
    const QJsonObject list = service.call(QStringLiteral("ActivateProduct"), QStringLiteral("smn"),
        { { QStringLiteral("device_id"),
              ChartServiceProcess::encryptText(QString::fromLatin1(ChartServiceProcess::DemoMediaId)) },
            { QStringLiteral("sku"), QStringLiteral("VM-ARD-01") },
            { QStringLiteral("session_id"), service.signIn() } });
    for (const QJsonValue &value : list.value(QStringLiteral("files")).toArray()) {
        QJsonObject r = value.toObject();
        r.insert(QStringLiteral("end_point"), list.value(QStringLiteral("end_point")));
        r.insert(QStringLiteral("cdn_end_point"), list.value(QStringLiteral("cdn_end_point")));
        const QString file = r.value(QStringLiteral("file")).toString();
        records.insert(file, r);
        served.insert(file, service.expectedBytes(r.value(QStringLiteral("end_point")).toString() + file));
    }
    content = served.value(plainFile);
    QCOMPARE(content.size(), 1500000);
    QVERIFY(served.value(trailedFile).size() >= 4 * Download::replyBufferSize);
    manager = std::make_unique<QNetworkAccessManager>();
    readAheadManager = std::make_unique<QNetworkAccessManager>();
    readAheadManager->setProxyFactory(new ReadAheadProxyFactory);
}

void TestDownload::init()
{
    card = std::make_unique<QTemporaryDir>();
    QVERIFY(Kit::writeCard(card->path(), ChartServiceProcess::DemoMediaId));
    QVERIFY(QDir(card->path()).mkpath(QStringLiteral("VMARD01")));
    cardWriter = std::make_shared<const CardWriter>(CardIdentity::fromRoot(card->path()));
    QVERIFY(service.clearFaults());
    QVERIFY(service.clearRequestLog());
    readAhead = false;
}

QJsonObject TestDownload::record(const QString &file) const
{
    QJsonObject r = records.value(file);
    r.insert(QStringLiteral("dir"), card->path());
    return r;
}

void TestDownload::issue(Download *d)
{
    QString range;
    if (d->resuming)
        range = QStringLiteral("bytes=%1-%2").arg(d->offset).arg(d->size - 1);
    if (d->reply)
        d->reset();
    QNetworkAccessManager *through = readAhead ? readAheadManager.get() : manager.get();
    d->reply = through->get(ChartService::fileRequest(d->downloadPath(), range));
    d->connectResponse();
}

QStringList TestDownload::ranges(const QString &file)
{
    QStringList found;
    for (const QJsonValue &entry : service.requestLog(QStringLiteral("*/") + file)) {
        const QJsonObject headers = entry.toObject().value(QStringLiteral("headers")).toObject();
        const QString range = headers.value(QStringLiteral("Range")).toString();
        // A ranged body must not be re-encoded: its offsets are the file's.
        const bool identity
            = headers.value(QStringLiteral("Accept-Encoding")).toString() == QLatin1String("identity");
        found << (range.isEmpty() || identity ? range : range + QStringLiteral(" (encoded)"));
    }
    return found;
}

void TestDownload::urlChoice_data()
{
    QTest::addColumn<bool>("withCdn");
    QTest::addColumn<bool>("rewrite");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("expected");

    QTest::newRow("no cdn") << false << false << qint64(0) << qint64(1000) << QStringLiteral("end_point");
    QTest::newRow("at 80.9%") << true << false << qint64(809) << qint64(1000)
                              << QStringLiteral("cdn_end_point");
    QTest::newRow("at 81%") << true << false << qint64(810) << qint64(1000) << QStringLiteral("end_point");
    QTest::newRow("late but rewriting")
        << true << true << qint64(900) << qint64(1000) << QStringLiteral("cdn_end_point");
    QTest::newRow("beyond 4 GiB") << true << false << qint64(5000000000) << qint64(6000000000)
                                  << QStringLiteral("end_point");
}

// A resumed file's last fifth comes from the origin.
void TestDownload::urlChoice()
{
    QFETCH(bool, withCdn);
    QFETCH(qint64, size);
    QFETCH(QString, expected);

    QJsonObject r = record();
    r.insert(QStringLiteral("size"), double(size));
    if (!withCdn)
        r.remove(QStringLiteral("cdn_end_point"));
    std::unique_ptr<Download> made(downloadOf(r));
    Download &d = *made;
    QFETCH(bool, rewrite);
    QFETCH(qint64, offset);
    d.resuming = true;
    d.rewrite = rewrite;
    d.offset = offset;
    QVERIFY(r.value(QStringLiteral("end_point")) != r.value(QStringLiteral("cdn_end_point")));
    QCOMPARE(d.downloadPath(), r.value(expected).toString() + plainFile);
}

void TestDownload::proxyChoice_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QNetworkProxy>("userProxy"); // the application's; DefaultProxy: none set
    QTest::addColumn<bool>("proxyForBareTcp"); // one for connections naming no protocol
    QTest::addColumn<QNetworkProxy::ProxyType>("expected");

    const QString plain = QStringLiteral("http://charts.example.invalid/VMARD01/tiles_0002.bin");
    const QNetworkProxy none;
    const QNetworkProxy http(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), 3128);
    // "Default": the connection reads ahead, and its socket still goes
    // straight to the server.
    QTest::newRow("plain HTTP, no proxy") << plain << none << false << QNetworkProxy::DefaultProxy;
    QTest::newRow("TLS, no proxy") << QStringLiteral("https://charts.example.invalid/f.bin") << none << false
                                   << QNetworkProxy::NoProxy;
    QTest::newRow("the user's HTTP proxy") << plain << http << false << QNetworkProxy::HttpProxy;
    QTest::newRow("a proxy the socket alone would meet")
        << plain << none << true << QNetworkProxy::NoProxy;
    QTest::newRow("loopback, which no proxy serves")
        << QStringLiteral("http://127.0.0.1:8080/f.bin") << http << false << QNetworkProxy::DefaultProxy;
}

// Small files read ahead only where that changes nothing about where the
// connection goes: a proxy the user set, or one the socket would meet on
// its own, keeps Qt's answer.
void TestDownload::proxyChoice()
{
    QFETCH(QString, url);
    QFETCH(QNetworkProxy, userProxy);
    QFETCH(bool, proxyForBareTcp);
    QFETCH(QNetworkProxy::ProxyType, expected);

    struct BareTcpOnly : QNetworkProxyFactory
    {
        QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
        {
            if (query.protocolTag().isEmpty())
                return { QNetworkProxy(QNetworkProxy::Socks5Proxy, QStringLiteral("127.0.0.1"), 1080) };
            return { QNetworkProxy(QNetworkProxy::NoProxy) };
        }
    };
    const auto restore = qScopeGuard([] { QNetworkProxyFactory::setApplicationProxyFactory(nullptr); });
    if (proxyForBareTcp)
        QNetworkProxyFactory::setApplicationProxyFactory(new BareTcpOnly);
    else
        QNetworkProxy::setApplicationProxy(userProxy);

    ReadAheadProxyFactory factory;
    const QList<QNetworkProxy> chosen = factory.queryProxy(QNetworkProxyQuery(QUrl(url)));
    QVERIFY(!chosen.isEmpty());
    QCOMPARE(chosen.first().type(), expected);
    if (expected == QNetworkProxy::HttpProxy)
        QCOMPARE(chosen.first(), userProxy);
}

void TestDownload::resumedDownload_data()
{
    QTest::addColumn<QList<QJsonObject>>("faults");
    QTest::addColumn<bool>("withEtag");
    QTest::addColumn<bool>("expectError");
    QTest::addColumn<bool>("expectFallBack");
    // The part on the card is of another version: the whole file is asked
    // for at once, no error reported.
    QTest::addColumn<bool>("expectRetry");

    const QJsonObject ignored = fault("ignore_range");
    const QJsonObject otherTag = fault("wrong_etag");
    QTest::newRow("range honoured") << QList<QJsonObject> {} << true << false << false << false;
    QTest::newRow("record without etag") << QList<QJsonObject> { otherTag } << false << false << false << false;
    QTest::newRow("range ignored") << QList<QJsonObject> { ignored } << true << false << true << false;
    QTest::newRow("no Content-Range, length as asked")
        << QList<QJsonObject> { fault("omit_content_range") } << true << false << false << false;
    QTest::newRow("no Content-Range, short body")
        << QList<QJsonObject> { fault("short_no_content_range") } << true << true << true << false;
    QTest::newRow("range from further on")
        << QList<QJsonObject> { fault("wrong_range_start") } << true << true << true << false;
    QTest::newRow("range from before")
        << QList<QJsonObject> { fault("wrong_range_start", { { QStringLiteral("shift"), -1 } }) } << true
        << true << true << false;
    QTest::newRow("etag changed, ranged reply") << QList<QJsonObject> { otherTag } << true << false << true << true;
    QTest::newRow("etag changed, whole file")
        << QList<QJsonObject> { ignored, otherTag } << true << false << true << false;
    // The surplus comes after the file's own bytes, once they would count
    // as complete: the announced length alone tells it.
    QTest::newRow("one byte too many, after a pause")
        << QList<QJsonObject> { fault("extra_byte"), stallAfter(900000, 1) } << true << true << true << false;
    QTest::newRow("one byte too many, no length")
        << QList<QJsonObject> { fault("extra_byte", { { QStringLiteral("chunked"), true } }) } << true << true
        << true << false;
}

// A partial file on the card plus whatever the server answers to the ranged
// request must end as the server's file, and the owner's byte count must
// agree with the disk.
void TestDownload::resumedDownload()
{
    QFETCH(QList<QJsonObject>, faults);
    QFETCH(bool, withEtag);
    QFETCH(bool, expectError);
    QFETCH(bool, expectFallBack);
    QFETCH(bool, expectRetry);

    QJsonObject r = record();
    if (!withEtag)
        r.remove(QStringLiteral("etag"));
    const qint64 present = content.size() * 2 / 5;
    Watched w(r);
    writeFile(w.d->localFilePath(), content.left(present));
    QCOMPARE(w.d->resume(-1), present);

    for (const QJsonObject &armed : faults)
        QVERIFY(service.addFault(armed));
    if (expectError || expectRetry) {
        issue(w.d.get());
        waitForOutcome(w, 0);
        QCOMPARE(w.errors.count(), expectError ? 1 : 0);
        QCOMPARE(w.retried.count(), expectRetry ? 1 : 0);
        QCOMPARE(w.d->state, expectError ? Download::ERROR : Download::READY);
        QCOMPARE(w.lastError().isEmpty(), !expectError);
        QVERIFY(w.d->rewrite);
        QCOMPARE(w.d->offset, qint64(0));
    }
    finishesWhole(w, present);
    for (const QJsonObject &armed : faults)
        QVERIFY(service.firedCount(armed.value(QStringLiteral("kind")).toString()) == 1);
    // A fall-back is the owner's count going back by what it had counted.
    QCOMPARE(std::any_of(w.chunks.cbegin(), w.chunks.cend(), [](qint64 n) { return n < 0; }), expectFallBack);
    QCOMPARE(w.errors.count(), expectError ? 1 : 0);
    const QString asked = QStringLiteral("bytes=%1-%2").arg(present).arg(content.size() - 1);
    QCOMPARE(ranges(), expectError || expectRetry ? (QStringList { asked, QString() }) : QStringList { asked });
}

void TestDownload::interruptedReply_data()
{
    QTest::addColumn<QJsonObject>("armed");
    QTest::addColumn<QString>("message"); // empty: any; "-": no error at all
    QTest::addColumn<bool>("readAhead");
    QTest::addColumn<int>("kind"); // JobError::Kind: the network, or the reply

    // Through both kinds of connection: one that reads ahead takes Qt's
    // other path through the socket, which must break off the same way.
    for (const bool through : { false, true }) {
        const auto row = [through](const char *name) -> QTestData & {
            return QTest::addRow("%s%s", name, through ? ", read ahead" : "");
        };
        row("connection closed mid-file") << fault("close_after", { { QStringLiteral("bytes"), 600000 } })
                                          << QString() << through << int(network);
        row("body ends early without error")
            << fault("short_body", { { QStringLiteral("bytes"), 600000 } })
            << QStringLiteral("The connection ended before the whole file arrived.") << through << int(network);
        row("stall longer than the watchdog") << stallAfter(600000, 5) << QStringLiteral("Network Timeout")
                                              << through << int(network);
        row("stall before any header") << fault("stall", { { QStringLiteral("seconds"), 5 } })
                                       << QStringLiteral("Network Timeout") << through << int(network);
        row("stall shorter than the watchdog") << stallAfter(500000, 0.9) << QStringLiteral("-") << through
                                               << int(network);
        // A byte every few hundredths of a second is a stall: under 1 KiB in
        // the watchdog's seconds.
        row("trickle") << fault("throttle", { { QStringLiteral("bytes_per_second"), 100 } })
                       << QStringLiteral("Network Timeout") << through << int(network);
        // Redirects that lead nowhere: the service's answer, in words.
        row("redirected in a loop")
            << fault("redirect", { { QStringLiteral("count"), 60 } })
            << QStringLiteral("The server sent the request for this file from one address to another too many times.")
            << through << int(JobError::ServiceReply);
        row("redirected to this computer's files")
            << fault("redirect", { { QStringLiteral("location"), QStringLiteral("file:///etc/passwd") } })
            << QStringLiteral("The server sent the request for this file to file:///etc/passwd, which is no address "
                              "the tool fetches from.")
            << through << int(JobError::ServiceReply);
    }
}

// A reply that breaks off leaves the bytes before the break on the card,
// reports an error, and the next ranged request completes the file.
void TestDownload::interruptedReply()
{
    QFETCH(QJsonObject, armed);
    QFETCH(QString, message);
    QFETCH(bool, readAhead);
    QFETCH(int, kind);
    this->readAhead = readAhead;

    Watched w(record());
    QVERIFY(service.addFault(armed));
    if (message == QLatin1String("-")) {
        finishesWhole(w);
        QCOMPARE(w.errors.count(), 0);
        QCOMPARE(service.firedCount(), 1);
        return;
    }
    issue(w.d.get());
    waitForOutcome(w, 0);
    QVERIFY(service.firedCount() >= 1);

    QCOMPARE(w.errors.count(), 1);
    QCOMPARE(w.errors.first().first().toString(), plainFile);
    // A network kind: the job then waits for the network, not for the card.
    QCOMPARE(int(w.errors.first().at(1).value<JobError>().kind), kind);
    QVERIFY(message.isEmpty() ? !w.lastError().isEmpty() : w.lastError() == message);
    QCOMPARE(w.d->state, Download::ERROR);
    QVERIFY(w.d->resuming);
    QVERIFY(!w.d->reply);
    const QByteArray partial = w.onCard();
    QVERIFY(partial.size() <= 600000);
    QVERIFY(partial == content.left(partial.size())); // no error page, no stray bytes
    QCOMPARE(w.d->offset, qint64(partial.size()));
    QCOMPARE(w.counted, qint64(partial.size()));

    finishesWhole(w);
    if (partial.size() > 0)
        QCOMPARE(ranges().last(), QStringLiteral("bytes=%1-%2").arg(partial.size()).arg(content.size() - 1));
}

void TestDownload::codedReplies_data()
{
    QTest::addColumn<QString>("encoding");
    // Brotli: Qt's decoder brought the process down on such bodies.
    for (const char *encoding : { "gzip", "br", "x-squeeze" })
        QTest::newRow(encoding) << QString::fromLatin1(encoding);
}

// A body in a coding is let go before the network layer decodes a byte of
// it, and asked for again with a range, which asks for no coding; a server
// that codes it even then is at fault, and the next run fetches it whole.
void TestDownload::codedReplies()
{
    QFETCH(QString, encoding);
    Watched w(record());
    QVERIFY(service.addFault(fault("content_encoding", { { QStringLiteral("encoding"), encoding },
                                                         { QStringLiteral("count"), 2 } })));
    issue(w.d.get());
    waitForOutcome(w, 0);
    QCOMPARE(w.retried.count(), 1);
    QVERIFY(w.onCard().isEmpty());
    issue(w.d.get());
    waitForOutcome(w, 1);
    QCOMPARE(w.errors.count(), 1);
    QCOMPARE(w.lastError(), codedMessage(encoding));
    QCOMPARE(w.errors.first().at(1).value<JobError>().kind, JobError::ServiceReply);
    QCOMPARE(ranges(), (QStringList{ QString(), QStringLiteral("bytes=0-1499999") }));
    QCOMPARE(service.firedCount(), 2);
    QVERIFY(w.onCard().isEmpty());
    finishesWhole(w);
}

void TestDownload::pauseWhileDownloadingAndWhileWriting()
{
    // Larger than one piece, so that a pause leaves bytes to fetch.
    Watched w(record(trailedFile));
    const QByteArray whole = served.value(trailedFile) + w.d->data;

    // The trailing bytes must already be on the card when completion is reported.
    qint64 sizeAtFinish = -1;
    connect(w.d.get(), &Download::downloadFinished, this,
        [&] { sizeAtFinish = QFileInfo(w.d->localFilePath()).size(); });

    holdAfter(w, 400000);
    QVERIFY(w.d->pause());
    QCOMPARE(w.cancelled.count(), 1);
    QVERIFY(!w.d->reply);
    QVERIFY(!w.d->pause()); // nothing left to stop
    QCOMPARE(QFileInfo(w.d->localFilePath()).size(), w.d->offset);

    // Paused while the file's end runs on the pool: every byte is in, so
    // the end settles the file, which is complete and reported once, as
    // finished and not as stopped.
    bool pausedWhileWriting = false;
    connect(w.d.get(), &Download::bodyReceived, this,
        [&] { pausedWhileWriting = w.d->state == Download::WRITING && w.d->pause(); });
    issue(w.d.get());
    waitForOutcome(w, 1);
    QVERIFY(pausedWhileWriting);
    QCOMPARE(w.cancelled.count(), 1);
    QCOMPARE(w.finished.count(), 1);
    QCOMPARE(w.errors.count(), 0);
    QCOMPARE(sizeAtFinish, whole.size());
    QVERIFY(w.onCard() == whole);
    QCOMPARE(w.counted, w.d->size);
    for (qint64 chunk : std::as_const(w.chunks))
        QVERIFY2(chunk > 0 && chunk <= Download::maxChunkSize, qPrintable(QString::number(chunk)));
}

// The card pulled out while bytes still arrive: a clear error, no crash, and
// with the card back the transfer resumes where the card's copy ends.
void TestDownload::cardFolderRemovedMidDownload()
{
    Watched w(record());
    holdAfter(w, 400000, 1);
    const QByteArray saved = w.onCard();
    QVERIFY(QDir(card->filePath(QStringLiteral("VMARD01"))).removeRecursively());

    waitForOutcome(w, 0);
    QCOMPARE(w.errors.count(), 1);
    QVERIFY(!w.lastError().isEmpty());
    QCOMPARE(w.d->state, Download::ERROR);
    QVERIFY(!QFileInfo::exists(w.d->localFilePath()));

    writeFile(w.d->localFilePath(), saved);
    finishesWhole(w);
}

// Between two rounds the local file may gain bytes nobody counted (a write
// that failed half-way) or lose bytes (cut by someone else). Neither may end
// in a file that differs from the server's.
void TestDownload::fileChangedBehindTheTransfer()
{
    Watched w(record());
    holdAfter(w, 400000);
    w.d->pause();

    // Uncounted stray bytes at the end are cut off by the next write.
    writeFile(w.d->localFilePath(), w.onCard() + QByteArray(777, 'Z'));
    holdAfter(w, 300000);
    w.d->pause();
    QVERIFY(w.onCard() == content.left(w.d->offset));

    // A file cut shorter than the count cannot be continued: start over.
    const qint64 before = w.d->offset;
    QVERIFY(QFile::resize(w.d->localFilePath(), before / 2));
    issue(w.d.get());
    waitForOutcome(w, 2);
    QCOMPARE(w.errors.count(), 1);
    QVERIFY(w.chunks.contains(-before));
    QCOMPARE(w.d->offset, qint64(0));
    QVERIFY(w.d->rewrite);
    finishesWhole(w);
    QCOMPARE(ranges().last(), QString());
}

// The owner deletes its transfers when a download ends, whatever they are
// doing (the window's cancel shows it while bytes arrive); while the file's
// end runs on the pool, the end is waited for instead of reaching a
// destroyed object.
void TestDownload::destroyedWhileItsEndRuns()
{
    auto *d = downloadOf(record(trailedFile));
    d->setCardWriter(cardWriter);
    const QString path = d->localFilePath();
    const qint64 size = d->size;
    issue(d);
    bool deleted = false;
    connect(d, &Download::bodyReceived, this, [&] {
        deleted = true;
        delete d;
    });
    QTRY_VERIFY_WITH_TIMEOUT(deleted, 20000);
    QVERIFY(QFileInfo(path).size() >= size);
    QCOMPARE(ranges(trailedFile).size(), 1);
    // Waiting for an end that had not begun ran it on this thread, as it
    // would on the window's: the window must not end up below its own work.
    QCOMPARE(sched_getscheduler(0), SCHED_OTHER);
    QCOMPARE(getpriority(PRIO_PROCESS, id_t(gettid())), 0);
}

// The transfer thread's reports come gathered (each one alone woke the
// downloader's thread), yet never out of order: when a file is reported
// finished, the bytes counted already hold it, and the last report comes
// without waiting for the next gathering.
void TestDownload::runnerReportsTogetherInOrder()
{
    QList<FileRecord> list;
    QList<TransferOrder> orders;
    QHash<QString, qint64> sizes;
    qint64 total = 0;
    for (auto it = records.cbegin(); it != records.cend(); ++it) {
        const FileRecord record = fileRecord(it.value());
        // Files without fetched bytes are the downloader's own to write.
        if (record.size == 0)
            continue;
        total += record.size;
        sizes.insert(record.file, record.size);
        orders.append({ int(list.size()), QString(), 0, false, false });
        list.append(record);
    }
    const QJsonObject any = records.cbegin().value();
    TransferRunner runner;
    qint64 counted = 0;
    qint64 finishedBytes = 0;
    QStringList finished;
    QStringList failures;
    int transferPolicy = -1;
    int transferNiceness = 0;
    // Reports handed over together reach this thread one right after the
    // other; a report sent by itself comes after a pause.
    QElapsedTimer clock;
    clock.start();
    int deliveries = 0;
    qint64 lastEnded = -1;
    const auto delivered = [&] {
        const qint64 now = clock.nsecsElapsed();
        if (lastEnded < 0 || now - lastEnded > 1000000)
            ++deliveries;
    };
    QEventLoop loop;
    connect(&runner, &TransferRunner::bytesDone, this, [&](qint64 bytes) {
        delivered();
        counted += bytes;
        lastEnded = clock.nsecsElapsed();
    });
    connect(&runner, &TransferRunner::started, this, [&] {
        delivered();
        lastEnded = clock.nsecsElapsed();
    });
    connect(&runner, &TransferRunner::finished, this, [&](const QString &file) {
        delivered();
        if (finished.isEmpty())
            QVERIFY(threadPriority("transfers", &transferPolicy, &transferNiceness));
        finished << file;
        finishedBytes += sizes.value(file);
        QVERIFY2(counted >= finishedBytes, qPrintable(file));
        QVERIFY(readAll(card->path() + QLatin1Char('/') + file).startsWith(served.value(file)));
        lastEnded = clock.nsecsElapsed();
        if (finished.size() + failures.size() == list.size())
            loop.quit();
    });
    connect(&runner, &TransferRunner::failed, this, [&](const QString &file, const JobError &error) {
        failures << file + QStringLiteral(": ") + error.message;
        if (finished.size() + failures.size() == list.size())
            loop.quit();
    });
    runner.configure(cardWriter, card->path(), list, any.value(QStringLiteral("end_point")).toString(),
        any.value(QStringLiteral("cdn_end_point")).toString(), 3);
    runner.enqueue(orders);
    runner.startRound();
    // Awake for every report, as the window is (a test's own waiting would
    // gather them by sleeping).
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join(QLatin1Char('\n'))));
    QCOMPARE(counted, total);
    // A start and an end for every file, and the bytes before each: at most
    // one delivery for each gathering, and the last one.
    QVERIFY2(deliveries <= clock.elapsed() / TransferWorker::progressInterval + 2,
        qPrintable(QStringLiteral("%1 deliveries in %2 ms").arg(deliveries).arg(clock.elapsed())));
    QStringList expected = sizes.keys();
    expected.sort();
    finished.sort();
    QCOMPARE(finished, expected);
    // The transfers run below the window, as a batch thread that takes no
    // core from a running one when it wakes.
    QCOMPARE(transferPolicy, SCHED_BATCH);
    QCOMPARE(transferNiceness, BackgroundPriority::niceness);
}

QTEST_GUILESS_MAIN(TestDownload)
#include "tst_download.moc"
