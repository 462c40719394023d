// The tool's tests lean on the stand-in service for three things: ranged
// replies cut where they say, faults that do what they say and count when
// they fire, and RQ containers built as a control head leaves them. Whatever
// else it refuses, the tool's own tests show when they need the refusal.
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include "chartserviceprocess.h"
#include "card/mikfile.h"
#include "testkit.h"

namespace {

using Headers = QList<QPair<QByteArray, QByteArray>>;

QByteArray headerValue(const Headers &headers, const QByteArray &name)
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return QByteArray();
}

} // namespace

class TestChartService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void replies_data();
    void replies();
    void rqCardAndItsUpdate();

private:
    QString fileUrl(const QString &file) const
    {
        return m_service.baseUrl() + QStringLiteral("/cdn/1101/") + file;
    }

    ChartServiceProcess m_service;
};

void TestChartService::initTestCase()
{
    QVERIFY(m_service.start());
}

void TestChartService::init()
{
    QVERIFY(m_service.clearFaults());
}

void TestChartService::replies_data()
{
    // What the reply to a GET of a file of 1,500,000 bytes must be, as is
    // and with each fault: its status, the file's bytes from start (length
    // of them, -1 to the end) with suffix behind, the byte at flip inverted,
    // and its Content-Range.
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QByteArray>("suffix");
    QTest::addColumn<qint64>("flip");
    QTest::addColumn<QByteArray>("contentRange");

    auto row = [](const char *name, const QJsonObject &fault, const QByteArray &range, int status,
                   qint64 start, qint64 length, const QByteArray &suffix = {}, qint64 flip = -1) {
        QByteArray contentRange;
        const QByteArray end = range.mid(range.indexOf('-') + 1);
        if (status == 416)
            contentRange = "bytes */1500000";
        else if (status == 206
            && !QByteArrayList { "omit_content_range", "short_no_content_range" }.contains(
                fault.value(QStringLiteral("kind")).toString().toLatin1()))
            contentRange = "bytes " + QByteArray::number(start) + '-'
                + QByteArray::number(end.isEmpty() ? 1499999 : qMin(end.toLongLong(), 1499999LL))
                + "/1500000";
        QTest::newRow(name) << fault << range << status << start << length << suffix << flip << contentRange;
    };
    row("whole file", {}, {}, 200, 0, -1);
    row("last byte", {}, "bytes=1499999-1499999", 206, 1499999, 1);
    row("end past the size", {}, "bytes=1499000-2000000", 206, 1499000, -1);
    row("across a block boundary", {}, "bytes=65530-65545", 206, 65530, 16);
    row("at the size", {}, "bytes=1500000-", 416, 0, 0);

    const QByteArray tail = "bytes=5000-";
    row("close_after", { { "kind", "close_after" }, { "bytes", 70000 } }, {}, 200, 0, 70000);
    row("ignore_range", { { "kind", "ignore_range" } }, tail, 200, 0, -1);
    row("omit_content_range", { { "kind", "omit_content_range" } }, tail, 206, 5000, -1);
    row("wrong_etag", { { "kind", "wrong_etag" } }, {}, 200, 0, -1);
    row("stall", { { "kind", "stall" }, { "seconds", 0.5 }, { "bytes", 300000 } }, {}, 200, 0, -1);
    row("throttle", { { "kind", "throttle" }, { "bytes_per_second", 3000000 } }, {}, 200, 0, -1);
    row("status", { { "kind", "status" }, { "status", 503 }, { "message", "Try later" } }, {}, 503, 0, 0);
    row("corrupt", { { "kind", "corrupt" }, { "offset", 5001 } }, tail, 206, 5000, -1, {}, 5001);
    row("short_no_content_range", { { "kind", "short_no_content_range" } }, tail, 206, 5000,
        (1500000 - 5000) / 2);
    row("wrong_range_start", { { "kind", "wrong_range_start" } }, tail, 206, 5001, -1);
    row("wrong_range_start before", { { "kind", "wrong_range_start" }, { "shift", -4000 } }, tail, 206, 1000,
        -1);
    row("short_body", { { "kind", "short_body" }, { "bytes", 100 } }, tail, 206, 5000, 100);
    row("extra_byte", { { "kind", "extra_byte" } }, tail, 206, 5000, -1, "X");
}

void TestChartService::replies()
{
    QFETCH(QJsonObject, fault);
    QFETCH(QByteArray, range);
    QFETCH(int, status);
    QFETCH(qint64, start);
    QFETCH(qint64, length);
    QFETCH(QByteArray, suffix);
    QFETCH(qint64, flip);

    const QString url = fileUrl(QStringLiteral("VMARD01/tiles_0002.bin"));
    const QByteArray whole = m_service.expectedBytes(url);
    QCOMPARE(whole.size(), 1500000);
    const QString kind = fault.value(QStringLiteral("kind")).toString();
    if (!fault.isEmpty()) {
        fault.insert(QStringLiteral("path"), QStringLiteral("*/VMARD01/tiles_0002.bin"));
        QVERIFY(m_service.addFault(fault));
    }
    const Headers request = range.isEmpty() ? Headers() : Headers { { "Range", range } };
    Headers headers;
    int got = 0;
    QElapsedTimer timer;
    timer.start();
    const QByteArray body = m_service.get(url, &got, request, &headers);
    QCOMPARE(got, status);
    if (kind == QLatin1String("stall") || kind == QLatin1String("throttle"))
        QVERIFY2(timer.elapsed() >= 400, qPrintable(QString::number(timer.elapsed())));
    if (status == 503) {
        QCOMPARE(QJsonDocument::fromJson(body).object().value(QStringLiteral("message")).toString(),
            QStringLiteral("Try later"));
    } else {
        QByteArray expected = whole.mid(start, length) + suffix;
        if (flip >= 0)
            expected[flip - start] = char(expected.at(flip - start) ^ 0xff);
        QCOMPARE(body, expected);
        QTEST(headerValue(headers, "Content-Range"), "contentRange");
        if (kind != QLatin1String("close_after") && status != 416)
            QCOMPARE(headerValue(headers, "Content-Length").toLongLong(), body.size());
    }
    if (kind.isEmpty()) {
        const QByteArray etag = headerValue(headers, "ETag");
        QVERIFY2(status == 416 || (etag.startsWith('"') && etag.endsWith('"') && etag.size() > 2),
            etag.constData());
        return;
    }
    // One hit only: the retry gets the real thing.
    QCOMPARE(m_service.firedCount(kind), 1);
    QCOMPARE(m_service.get(url, &got, request), whole.mid(range.isEmpty() ? 0 : 5000));
    QCOMPARE(got, range.isEmpty() ? 200 : 206);
}

// The demo RQ card holds an older build than the service's, finished as the
// control head leaves it; the header update is the newest build.
void TestChartService::rqCardAndItsUpdate()
{
    QTemporaryDir dir;
    QVERIFY(ChartServiceProcess::makeCard(dir.path(), QStringLiteral("rq")));
    const QString path = dir.filePath(QStringLiteral("R004321_1.kim"));
    Mik::MikFile kim(path);
    QCOMPARE(kim.flags(),
        quint64(Mik::MikFile::FlagQvBuild | Mik::MikFile::FlagFinalized | Mik::MikFile::FlagDigest));
    QCOMPARE(kim.buildNumber(), 5001u);
    QCOMPARE(kim.kimFileSize(), quint64(QFileInfo(path).size()));
    QCOMPARE(kim.payloadSha1(), QCryptographicHash::hash(readAll(path).mid(352), QCryptographicHash::Sha1));
    QCOMPARE(kim.chartName(), QString::fromLatin1(ChartServiceProcess::DemoRqSku));
    QCOMPARE(kim.segments.size(), 3);
    QCOMPARE(kim.segments.value(QStringLiteral("k03")).size(), 100000);
    // Its chart data, read the tool's way, is exactly what the service
    // keeps with the card's subscription.
    bool whole = false;
    const QByteArray drm = kim.getDrmBytes(&whole);
    QVERIFY(whole);
    QJsonObject kept;
    for (const QJsonValue &value : m_service.subscriptions()) {
        if (value.toObject().value(QStringLiteral("subscription_id")).toInt() == 9021)
            kept = value.toObject();
    }
    QCOMPARE(drm, QByteArray::fromBase64(kept.value(QStringLiteral("drm")).toString().toLatin1()));

    int status = 0;
    writeFile(
        path, m_service.callRaw(QStringLiteral("HeaderUpdate/  4321-1"), QStringLiteral("smn"), {}, &status));
    QCOMPARE(status, 200);
    QCOMPARE(QFileInfo(path).size(), 352);
    Mik::MikFile header(path);
    QCOMPARE(header.chartName(), kim.chartName());
    QCOMPARE(header.buildNumber(), 5002u);
    // Opaque ranges carry data, so a writer that drops them is caught.
    QVERIFY(!header.headerImage().mid(32, 40).contains('\0'));
    // Chart names begin with blanks: with one too few there is no such chart.
    m_service.callRaw(QStringLiteral("GetSegments/ 4321-1"), QStringLiteral("smn"), {}, &status);
    QCOMPARE(status, 404);
}

QTEST_GUILESS_MAIN(TestChartService)
#include "tst_chartservice.moc"
