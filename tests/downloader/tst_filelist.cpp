// What the service sends is checked before anything on the card is touched:
// one unusable record, or a file the card's file system (every kind is tried)
// cannot hold, refuses the whole list; the plan that follows from a list and
// the card never takes a file for complete on its length. A job moves only
// as its stage table allows, and its rate says nothing it cannot know.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdlib>
#include <thread>
#include <cstring>
#include <future>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "base/appglobals.h"
#include "base/freedmemory.h"
#include "base/settings.h"

#include "download/activationplan.h"
#include "download/cardlimits.h"
#include "download/job.h"
#include "download/joboptions.h"
#include "download/rateestimator.h"
#include "download/rqroom.h"
#include "service/filelist.h"
#include "download/rqupdate.h"
#include "service/servicereply.h"
#include "downloadfixture.h"

namespace {

const QByteArray digest = "0123456789abcdef0123456789abcdef01234567";

QByteArray reply(const QByteArray &files)
{
    return R"({"end_point": "http://127.0.0.1/origin/", "cdn_end_point": "", "files": [)" + files + "]}";
}

QByteArray record(
    const QByteArray &file, const QByteArray &fields = R"("size": 10, "sha1": ")" + digest + "\"")
{
    return R"({"file": ")" + file + "\", " + fields + "}";
}

} // namespace

Q_DECLARE_METATYPE(FileList::Kind)
Q_DECLARE_METATYPE(CardFilesystem::Kind)
Q_DECLARE_METATYPE(ActivationPlan::Action)
Q_DECLARE_METATYPE(RqRoom::Way)

class TestFileList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void allocatorSettings();
    void parse_data();
    void parse();
    void cardLimits_data();
    void cardLimits();
    void plan_data();
    void plan();
    void room_data();
    void room();
    void options_data();
    void options();
    void stageMoves_data();
    void stageMoves();
    void rate_data();
    void rate();

private:
    QTemporaryDir dataDir;
};

void TestFileList::parse_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<FileList::Kind>("kind");
    QTest::addColumn<QString>("refusal"); // empty: accepted
    QTest::addColumn<qint64>("total");

    const auto segments = FileList::Kind::Segments;
    const QString unreadable = ServiceReply::unreadableText();
    const QString size = QStringLiteral("the size is not a whole number");
    const QString sha1 = QStringLiteral("the SHA-1 is not 40 hexadecimal digits");
    const QString owned = QStringLiteral("the tool keeps that file");
    const QString path = QStringLiteral("the path leaves the card");
    const QByteArray good = record("P/a.bin");
    const auto refused = [&](const char *name, const QByteArray &body, const QString &why,
                             FileList::Kind kind = FileList::Kind::Product) {
        QTest::newRow(name) << body << kind << why << qint64(0);
    };
    const auto accepted = [&](const char *name, const QByteArray &files, qint64 total,
                              FileList::Kind kind = FileList::Kind::Product) {
        QTest::newRow(name) << reply(files) << kind << QString() << total;
    };
    const auto sized = [](const QByteArray &file, const QByteArray &size) {
        return record(file, R"("size": )" + size + R"(, "sha1": ")" + digest + "\"");
    };

    refused("a captive portal's page", "<html><body>Sign in</body></html>", unreadable);
    refused("cut short", reply(good).left(60), unreadable);
    refused("not an object", "[]", unreadable);
    refused("files not a list", R"({"end_point": "x", "files": {}})", unreadable);
    refused("no end point", R"({"files": [)" + good + "]}", unreadable);
    refused("subscription as text", reply(good).replace("\"files\"", "\"subscription_id\": \"7\", \"files\""),
        unreadable);
    refused("no files", reply(""), QStringLiteral("the list has no files"));
    // The files come from the web, never from this computer.
    const QString notWeb = QStringLiteral("which is not a web address");
    for (const char *base : { "file:///etc/", "FILE:///dev/", "ftp://127.0.0.1/", "data:,x", "/origin/", "http:///origin/" })
        refused(base, reply(good).replace("http://127.0.0.1/origin/", base), notWeb);
    refused("a CDN on this computer",
        reply(good).replace(R"("cdn_end_point": "")", R"("cdn_end_point": "file:///tmp/")"), notWeb);
    QTest::newRow("HTTPS in capitals") << reply(good).replace("http://127.0.0.1/origin/", "HTTPS://127.0.0.1/origin/")
                                       << FileList::Kind::Product << QString() << qint64(10);
    accepted("one good file", good, 10);
    accepted("upper-case digest", record("P/a.bin", R"("size": 1, "sha1": ")" + digest.toUpper() + "\""), 1);
    // Past 2 GiB a 32-bit sum wraps to 0 or below.
    accepted(
        "files of 2 GiB and more", sized("P/a", "2147483648") + "," + sized("P/b", "6442450944"), 8589934592);
    accepted("size 2^53", sized("P/a", "9007199254740992"), 9007199254740992);
    QByteArray huge;
    for (int i = 0; i < 1025; ++i)
        huge += (i ? "," : "") + sized("P/" + QByteArray::number(i), "9007199254740992");
    refused("sizes past 64 bits", reply(huge), QStringLiteral("add up to more"));
    for (const char *value : { "\"10\"", "null", "-1", "1.5", "1.8e19", "1e300" })
        refused(value, reply(good + "," + sized("P/b.bin", value)), size);
    refused("size missing", reply(record("P/b.bin", R"("sha1": ")" + digest + "\"")), size);
    refused("no digest", reply(record("P/b.bin", R"("size": 5)")), sha1);
    for (const QByteArray &bad : { digest.left(39), digest.left(39) + "g", digest + "\\n" })
        refused(bad.constData(), reply(record("P/b.bin", R"("size": 5, "sha1": ")" + bad + "\"")), sha1);
    accepted("no digest for no bytes", record("P/b.bin", R"("size": 0, "data": "aGk=")"), 0);
    accepted("digest of nothing for no bytes",
        record("P/b.bin", R"("size": 0, "sha1": "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709")"), 0);
    refused("another digest for no bytes", reply(good + "," + record("P/b.bin", R"("size": 0, "sha1": ")" + digest + "\"")),
        QStringLiteral("not that of a file without bytes"));
    refused("data not Base64", reply(record("P/b.bin", R"("size": 0, "data": "a!b")")),
        QStringLiteral("not valid Base64"));
    refused("etag a number", reply(record("P/b.bin", R"("size": 0, "etag": 5)")),
        QStringLiteral("the ETag is not a text"));
    refused("listed twice", reply(good + "," + good), QStringLiteral("listed twice"));
    for (const char *name :
        { "ENCRYPT.TXT", "encrypt.txt", "vmid", "R004321_1.kim", "R004321_1.k0a", "P/a.bin.qdtmp" })
        refused(name, reply(good + "," + record(name)), owned);
    // A folder where the card's own file is: refused before a product it
    // replaces is taken off the card.
    for (const char *name : { "ENCRYPT.TXT/x", "VMID/evil", "R004321_1.kim/a/b" })
        refused(name, reply(good + "," + record(name)), QStringLiteral("goes through a file the tool keeps"));
    accepted("vmid in a folder", record("P/vmid"), 10);
    for (const char *name : { "../x", "/x", "P//x", "P\\\\..\\\\x", "C:x" })
        refused(name, reply(record(name)), path);
    refused("no file", reply(R"({"size": 1})"), QStringLiteral("it names no file"));
    // Read as a JSON document reads it: a name given twice counts with its
    // last value, and nesting stops at 1,024 levels.
    accepted("a field given twice",
        record("P/a.bin", R"("file": "P/b.bin", "size": 3, "sha1": ")" + digest + R"(", "size": 10)"), 10);
    QTest::newRow("files given twice") << reply(good).replace("\"files\"", "\"files\": [" + good + "," + good + "], \"files\"")
                                       << FileList::Kind::Product << QString() << qint64(10);
    const auto nested = [&](int depth) {
        return reply(good).replace("\"files\"", "\"x\": " + QByteArray(depth, '[') + QByteArray(depth, ']') + ", \"files\"");
    };
    QTest::newRow("nested to the limit") << nested(1023) << FileList::Kind::Product << QString() << qint64(10);
    QTest::newRow("nested too deep") << nested(1024) << FileList::Kind::Product << unreadable << qint64(0);

    accepted("segments", record("R1.k01") + "," + record("R1.k0a"), 20, segments);
    refused("segments of two charts", reply(record("R1.k01") + "," + record("R2.k02")),
        QStringLiteral("more than one chart"), segments);
    for (const char *name : { "R1.kim", "R1.k00", "P/R1.k01", "ENCRYPT.TXT", "vmid", "R1.K01" })
        QTest::addRow("not a segment: %s", name)
            << reply(record(name)) << segments << QStringLiteral("not a segment file") << qint64(0);
}

void TestFileList::parse()
{
    QFETCH(QByteArray, body);
    QFETCH(FileList::Kind, kind);
    QFETCH(QString, refusal);
    QFETCH(qint64, total);

    FileList list;
    QString error;
    QCOMPARE(list.parse(body, kind, &error), refusal.isEmpty());
    QVERIFY2(error.contains(refusal), qPrintable(error));
    QCOMPARE(list.totalBytes, total);
    if (!refusal.isEmpty()) {
        QVERIFY(list.records.isEmpty());
        QVERIFY(error.endsWith(QLatin1String("Nothing on the card was changed.")));
    }
}

void TestFileList::cardLimits_data()
{
    QTest::addColumn<QByteArray>("files");
    QTest::addColumn<CardFilesystem::Kind>("filesystem");
    QTest::addColumn<QString>("refusal"); // empty: the card can hold the list

    const auto fat = CardFilesystem::Kind::Fat;
    const auto exFat = CardFilesystem::Kind::ExFat;
    const auto other = CardFilesystem::Kind::Other;
    const QString letterCase = QStringLiteral("only in letter case");
    const QString character = QStringLiteral("which a card's file system does not allow");
    const QString end = QStringLiteral("ends in a dot or a space");
    const QString tooBig = QStringLiteral("holds files of at most 4294967295 bytes");
    const auto sized
        = [](const QByteArray &file, const QByteArray &size, const QByteArray &data = QByteArray()) {
              return record(file, R"("size": )" + size + R"(, "sha1": ")" + digest + "\"" + data);
          };

    const auto row
        = [](const char *name, const QByteArray &files, CardFilesystem::Kind kind,
              const QString &refusal = QString()) { QTest::newRow(name) << files << kind << refusal; };

    // Names a card compares without case are one file there, whatever the
    // computer the list is checked on: refused on every kind.
    for (const auto kind : { fat, exFat, other }) {
        const QByteArray on = CardFilesystem::name(kind).toLatin1();
        QTest::addRow("case-only collision on %s", on.constData())
            << record("P/Case.bin") + "," + record("P/case.bin") << kind << letterCase;
        QTest::addRow("question mark on %s", on.constData()) << record("P/a?.bin") << kind << character;
    }
    row("collision through a folder's case", record("P/a.bin") + "," + record("p/A.BIN"), other, letterCase);
    row("collision beyond ASCII", record("P/\u00c4.bin") + "," + record("P/\u00e4.bin"), exFat, letterCase);
    row("same folder, other case, other files", record("P/a.bin") + "," + record("p/b.bin"), fat);
    row("a file where a folder is", record("P/x") + "," + record("p/X/y"), other,
        QStringLiteral("a folder on its path has the name of the file"));
    for (const char *name : { "P/a*.bin", "P/a<b", "P/a>b", "P/a|b", "P/a\\\"b", "P/a\\tb", "P/a\\u0001b" })
        row(name, record(name), other, character);
    for (const char *name : { "P/a.", "P/a ", "P /a" })
        row(name, record(name), other, end);
    row("a dot inside", record("P/.a.b"), other);
    row("name as long as allowed", record("P/" + QByteArray(CardLimits::maxNameLength, 'n')), fat);
    row("name one longer", record("P/" + QByteArray(CardLimits::maxNameLength + 1, 'n')), fat,
        QStringLiteral("is 242 units long"));

    // FAT's sizes are 32-bit; the inline bytes after a file count too.
    row("4 GiB - 1 on FAT", sized("P/a", "4294967295"), fat);
    row("4 GiB on FAT", sized("P/a", "4294967296"), fat, tooBig);
    row("4 GiB with its trailer on FAT", sized("P/a", "4294967290", R"(, "data": "MTIzNDU2")"), fat, tooBig);
    for (const auto kind : { exFat, other, CardFilesystem::Kind::Unknown })
        QTest::addRow("4 GiB on %s", qPrintable(CardFilesystem::name(kind)))
            << sized("P/a", "4294967296") << kind << QString();
}

void TestFileList::cardLimits()
{
    QFETCH(QByteArray, files);
    QFETCH(CardFilesystem::Kind, filesystem);
    QFETCH(QString, refusal);

    FileList list;
    QString error;
    QVERIFY2(list.parse(reply(files), FileList::Kind::Product, &error), qPrintable(error));
    const QString problem = CardLimits::problem(list.records, filesystem);
    QVERIFY2(refusal.isEmpty() ? problem.isEmpty() : problem.contains(refusal), qPrintable(problem));
    if (!refusal.isEmpty()) {
        // The message names the file: the last of the list is the culprit.
        QVERIFY2(problem.startsWith(QStringLiteral("The file \"%1\"").arg(list.records.last().file)),
            qPrintable(problem));
        QVERIFY(problem.endsWith(QLatin1String("Nothing on the card was changed.")));
        QVERIFY(!problem.contains(QLatin1String("outside")));
    }
}

void TestFileList::plan_data()
{
    QTest::addColumn<bool>("segment"); // an RQ segment, fetched into a temporary of its own
    QTest::addColumn<QByteArray>("trailer");
    QTest::addColumn<qint64>("onCard"); // -1: no file, -2: a link
    QTest::addColumn<qint64>("temporary"); // -1: none
    QTest::addColumn<bool>("changed");
    QTest::addColumn<ActivationPlan::Action>("action");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<bool>("provenInPlace");

    using A = ActivationPlan::Action;
    const auto file = [](const char *name, const QByteArray &trailer, qint64 onCard, bool changed, A action,
                          qint64 offset = 0) {
        QTest::newRow(name) << false << trailer << onCard << qint64(-1) << changed << action << offset
                            << false;
    };
    const auto segment = [](const char *name, qint64 onCard, qint64 temporary, A action, qint64 offset = 0,
                             bool provenInPlace = false) {
        QTest::addRow("segment, %s", name)
            << true << QByteArray() << onCard << temporary << false << action << offset << provenInPlace;
    };
    const QByteArray tail = "TAIL";
    file("missing", {}, -1, false, A::Fetch);
    file("empty", {}, 0, false, A::Fetch);
    file("a link", {}, -2, false, A::Fetch);
    file("part", {}, 40, false, A::Resume, 40);
    file("part of an older file", {}, 40, true, A::Fetch);
    file("whole", {}, 100, false, A::Check);
    file("whole, older file", {}, 100, true, A::Check);
    file("too long", {}, 101, false, A::Fetch);
    file("with trailer", tail, 104, false, A::Check);
    // The bytes without their trailer: proven, then the trailer is written.
    file("trailer missing", tail, 100, false, A::Check);
    file("trailer cut", tail, 102, false, A::Check);
    file("past the trailer", tail, 105, false, A::Fetch);
    segment("nothing there", -1, -1, A::Fetch);
    // Checked in place; should it be the old build's, the part of this one
    // beside it is gone on with.
    segment("card file of the size", 100, 30, A::Check, 30, true);
    segment("card file of the size, nothing fetched yet", 100, -1, A::Check, 0, true);
    // A card file of another size is the old build: never resumed.
    segment("card file shorter", 40, -1, A::Fetch);
    segment("part of this build", 40, 30, A::Resume, 30);
    segment("whole of this build", -1, 100, A::Check);
    segment("temporary too long", -1, 130, A::Fetch);
}

void TestFileList::plan()
{
    QFETCH(bool, segment);
    QFETCH(QByteArray, trailer);
    QFETCH(qint64, onCard);
    QFETCH(qint64, temporary);
    QFETCH(bool, changed);
    FileRecord record;
    record.file = segment ? QStringLiteral("R1.k01") : QStringLiteral("P/a.bin");
    record.size = 100;
    record.data = trailer;
    const bool exists = onCard != -1;
    const CardWriter::Facts facts { exists, onCard >= 0, qMax<qint64>(onCard, 0) };
    if (segment) {
        const QString name = RqUpdate::temporaryName(record, QStringLiteral("1-1-5-7"));
        const ActivationPlan::Step step = RqUpdate::decide(
            record, name, facts, { temporary >= 0, temporary >= 0, qMax<qint64>(temporary, 0) });
        QTEST(step.action, "action");
        QTEST(step.offset, "offset");
        QCOMPARE(step.target, name);
        QTEST(step.checkPath == record.file, "provenInPlace");
        return;
    }
    const ActivationPlan::Step step = ActivationPlan::decide(record, facts, changed);
    QTEST(step.action, "action");
    QTEST(step.offset, "offset");
    QCOMPARE(step.replace, step.action == ActivationPlan::Action::Fetch && exists);
    // A file of inline bytes only is written whatever the card holds.
    record.size = 0;
    record.data = "hi";
    QCOMPARE(ActivationPlan::decide(record, { exists, onCard >= 0, 7 }, changed).action,
        ActivationPlan::Action::Inline);
}

// An RQ update's room, where the card's own file system decides: whole
// allocation units, what lies on the card already, what the data folder
// holds already. (A card of 4 KiB pages runs each way end to end in
// tst_cardoutcomes.)
void TestFileList::room_data()
{
    QTest::addColumn<qint64>("cardFree");
    QTest::addColumn<qint64>("unit");
    QTest::addColumn<QList<qint64>>("oldFiles");   // the old container first
    QTest::addColumn<QList<qint64>>("segments");   // the new build's, each with its temporary on the card
    QTest::addColumn<QList<qint64>>("temporaries");
    QTest::addColumn<qint64>("staged");            // already in the data folder, of 1 MiB free there
    QTest::addColumn<RqRoom::Way>("way");
    QTest::addColumn<qint64>("shortfall");

    const qint64 k = 1024;
    const QList<qint64> tenSmall(10, 1000);
    const QList<qint64> none(10, 0);
    // The new container is 3000 bytes: one unit.
    QTest::newRow("small segments take whole clusters")
        << 300 * k << 32 * k << (QList<qint64>{3000} + tenSmall) << tenSmall << none << 0LL
        << RqRoom::Way::Staged << 0LL;
    QTest::newRow("whole temporaries need only the container")
        << 40 * k << 32 * k << (QList<qint64>{3000} + tenSmall) << tenSmall << tenSmall << 0LL
        << RqRoom::Way::Beside << 0LL;
    // The new build takes 64 KiB more than the old one, and its container
    // is written once more beside itself as it is finished: 96 KiB.
    QTest::newRow("short of the new build")
        << 68 * k << 32 * k << QList<qint64>{3000, 64 * k} << QList<qint64>{64 * k, 64 * k}
        << QList<qint64>{0, 0} << 0LL << RqRoom::Way::NoRoom << 28 * k;
    QTest::newRow("temporaries go before the move")
        << 60 * k << 32 * k << QList<qint64>{3000, 64 * k} << QList<qint64>{64 * k, 64 * k}
        << QList<qint64>{0, 64 * k} << 0LL << RqRoom::Way::Staged << 0LL;
    QTest::newRow("data folder short")
        << 1200 * k << 4 * k << QList<qint64>{3000, 100 * k} << QList<qint64>{600 * k, 600 * k}
        << QList<qint64>{0, 0} << 0LL << RqRoom::Way::NoStagingRoom << 176 * k;
    QTest::newRow("data folder holds part already")
        << 1200 * k << 4 * k << QList<qint64>{3000, 100 * k} << QList<qint64>{600 * k, 600 * k}
        << QList<qint64>{0, 0} << 200 * k << RqRoom::Way::Staged << 0LL;
}

void TestFileList::room()
{
    QFETCH(QList<qint64>, oldFiles);
    QFETCH(QList<qint64>, segments);
    QFETCH(QList<qint64>, temporaries);
    RqRoom::Input input;
    QFETCH(qint64, cardFree);
    QFETCH(qint64, unit);
    QFETCH(qint64, staged);
    input.cardFree = cardFree;
    input.cardUnit = unit;
    input.container = 3000;
    input.oldFiles = oldFiles;
    for (int i = 0; i < segments.size(); ++i)
        input.segments.append({segments.at(i), temporaries.at(i)});
    input.dataFree = 1024 * 1024;
    input.dataUnit = 4096;
    input.staged = staged;
    const RqRoom::Plan plan = RqRoom::plan(input);
    QTEST(plan.way, "way");
    QTEST(plan.shortfall, "shortfall");
}

void TestFileList::initTestCase()
{
    appDataFolder = dataDir.path();
    configFilePath = dataDir.path() + QStringLiteral("/config.ini");
}

void TestFileList::options_data()
{
    const int ideal = QThread::idealThreadCount();
    QTest::addColumn<QString>("concurrency");
    QTest::addColumn<QString>("readBack"); // empty: not in config.ini
    QTest::addColumn<int>("expected");
    QTest::addColumn<bool>("reads");
    QTest::newRow("zero") << QStringLiteral("0") << QString() << ideal << true;
    QTest::newRow("not a number") << QStringLiteral("abc") << QString() << ideal << true;
    QTest::newRow("one") << QStringLiteral("1") << QStringLiteral("1") << 1 << true;
    // The cores no longer cap it; one network manager's connections do.
    QTest::newRow("above the cores") << QString::number(ideal + 1) << QString() << qMin(ideal + 1, 6) << true;
    QTest::newRow("above six") << QStringLiteral("16") << QStringLiteral("0") << 6 << false;
    QTest::newRow("read-back off in words") << QStringLiteral("2") << QStringLiteral(" Off ") << 2 << false;
}

void TestFileList::options()
{
    QFETCH(QString, concurrency);
    QFETCH(QString, readBack);
    QFile::remove(configFilePath);
    {
        Settings settings(configFilePath);
        settings.setValue(SettingsKeys::downloadConcurrency, concurrency);
        if (!readBack.isEmpty())
            settings.setValue(SettingsKeys::readBackAfterWriting, readBack);
    }
    const JobOptions options = JobOptions::fromSettings();
    QTEST(options.concurrency, "expected");
    QTEST(options.readBack, "reads");
}

void TestFileList::stageMoves_data()
{
    QTest::addColumn<Job::Stage>("from");
    QTest::addColumn<Job::Stage>("to");
    QTest::addColumn<bool>("allowed");

    using S = Job::Stage;
    const auto row = [](S from, S to, bool allowed) {
        QTest::addRow("%s to %s", qPrintable(Job::stageName(from)), qPrintable(Job::stageName(to)))
            << from << to << allowed;
    };
    // An ended job never moves again.
    for (const S end : {S::Done, S::Failed, S::Cancelled}) {
        row(end, S::Transferring, false);
        row(end, S::Cancelling, false);
        row(end, S::Failed, false);
    }
    // A stop settles in Paused only through Pausing, where the work was
    // asked to stop; Paused again only to change its reason.
    row(S::Pausing, S::Paused, true);
    row(S::Paused, S::Paused, true);
    for (const S running : {S::Checking, S::Transferring, S::Completing, S::ReadingBack, S::Preparing})
        row(running, S::Paused, false);
    // Going on is from Paused alone.
    for (const S next : {S::Checking, S::Transferring, S::Completing, S::ReadingBack})
        row(S::Paused, next, true);
    row(S::Pausing, S::Transferring, false);
    row(S::Cancelling, S::Transferring, false);
    row(S::Ready, S::Transferring, false);
    // Cancel ends in Cancelled, and only through Cancelling.
    row(S::Ready, S::Cancelling, false);
    row(S::Paused, S::Cancelling, true);
    row(S::Cancelling, S::Cancelled, true);
    row(S::Transferring, S::Cancelled, false);
    row(S::Cancelling, S::Failed, false);
    row(S::Ready, S::Done, false);
    // A registration ends with the service's answer.
    row(S::Activating, S::Done, true);
}

void TestFileList::stageMoves()
{
    QFETCH(Job::Stage, from);
    QFETCH(Job::Stage, to);
    QTEST(Job::allowed(from, to), "allowed");
}

void TestFileList::rate_data()
{
    QTest::addColumn<QString>("samples"); // "ms:bytes" in order; "reset" starts afresh
    QTest::addColumn<double>("rate");
    QTest::addColumn<qint64>("secondsLeft"); // for 5,000,000 bytes more
    QTest::addColumn<bool>("stands"); // nothing came over a span long enough to say

    QTest::newRow("half a second: unknown") << "0:0 500:1000000" << 0.0 << qint64(-1) << false;
    QTest::newRow("half a second of nothing: unknown too") << "0:0 500:0" << 0.0 << qint64(-1) << false;
    QTest::newRow("one second") << "0:0 1000:1000000" << 1e6 << qint64(5) << false;
    // 3 MB in the last 6 s, not 13 MB in 7 s: what came before the window
    // is forgotten.
    QTest::newRow("window") << "0:0 1000:10000000 7000:13000000" << 5e5 << qint64(10) << false;
    // A pause is no slow second: after a reset the rate starts again.
    QTest::newRow("reset") << "0:0 1000:9000000 reset 1500:9000000 2000:9500000" << 0.0 << qint64(-1)
                           << false;
    QTest::newRow("reset, then a second") << "0:0 1000:9000000 reset 1500:9000000 2500:11000000" << 2e6
                                          << qint64(3) << false;
    QTest::newRow("nothing moves") << "0:0 2000:0" << 0.0 << qint64(-1) << true;
    // A service that stops sending: the bytes before the window no longer
    // count, and the window holds none.
    QTest::newRow("stops after a while") << "0:0 1000:5000000 7000:5000000 8000:5000000" << 0.0 << qint64(-1)
                                         << true;
    QTest::newRow("count falls back") << "0:1000 1000:500" << 0.0 << qint64(-1) << true;
}

void TestFileList::rate()
{
    QFETCH(QString, samples);
    RateEstimator estimator;
    for (const QString &sample : samples.split(QLatin1Char(' '))) {
        if (sample == QLatin1String("reset"))
            estimator.reset();
        else
            estimator.sample(sample.section(QLatin1Char(':'), 1).toLongLong(), sample.section(QLatin1Char(':'), 0, 0).toLongLong());
    }
    QTEST(estimator.bytesPerSecond(), "rate");
    QTEST(estimator.secondsLeft(5000000), "secondsLeft");
    QTEST(estimator.stands(), "stands");
}

QTEST_GUILESS_MAIN(TestFileList)
#include "tst_filelist.moc"

// What the planning thread frees serves the transfers after it: a setting
// that never reached the allocator left the 200,000-record run some 40 MiB
// above its own heap. What the network frees is kept for its next arrival,
// and what a finished phase freed goes back to the system when asked.
// First of the suite, before any other thread has taken memory.
void TestFileList::allocatorSettings()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("the sanitizer brings an allocator of its own");
#else
    FreedMemory::configure();
    const auto resident = [] {
        QFile statm(QStringLiteral("/proc/self/statm"));
        if (!statm.open(QIODevice::ReadOnly))
            return qint64(-1);
        return statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE);
    };
    const auto touchedBlocks = [](std::vector<char *> *blocks, size_t count, size_t size) {
        for (size_t i = 0; i < count; ++i) {
            blocks->push_back(static_cast<char *>(malloc(size)));
            memset(blocks->back(), 1, size);
        }
    };
    const auto freeAll = [](std::vector<char *> *blocks) {
        for (char *block : *blocks)
            free(block);
        blocks->clear();
    };
    constexpr size_t plan = 48 << 20;
    constexpr size_t small = 4096;
    std::vector<char *> blocks;
    blocks.reserve(plan / small);
    const qint64 before = resident();
    QVERIFY(before > 0);

    // One thread's tables freed, and while it still runs, another thread's
    // taken: the second lives in what the first let go of, or in pages
    // handed back and taken again.
    std::promise<void> planned;
    std::promise<void> transferred;
    std::thread planner([&] {
        touchedBlocks(&blocks, plan / small, small);
        freeAll(&blocks);
        planned.set_value();
        transferred.get_future().wait();
    });
    planned.get_future().wait();
    touchedBlocks(&blocks, plan / small, small);
    const qint64 peak = resident();
    freeAll(&blocks);
    transferred.set_value();
    planner.join();
    QVERIFY2(peak - before < qint64(plan) * 5 / 4,
             qPrintable(QStringLiteral("%1 MiB resident for a plan of 48 MiB").arg((peak - before) >> 20)));

    // Released once a phase is over: back to about where it began.
    FreedMemory::release();
    QVERIFY2(resident() - before < 8 << 20, qPrintable(QStringLiteral("%1 MiB left after release")
                                                           .arg((resident() - before) >> 20)));

    // The network thread's 1 MiB blocks: the same pages each time, not
    // fresh ones to fault in.
    const auto faults = [] {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return usage.ru_minflt;
    };
    constexpr size_t piece = 1 << 20;
    touchedBlocks(&blocks, 1, piece);
    freeAll(&blocks);
    const long faultsBefore = faults();
    for (int arrival = 0; arrival < 64; ++arrival) {
        touchedBlocks(&blocks, 1, piece);
        freeAll(&blocks);
    }
    // Fresh pages each time would be 16,384 faults.
    QVERIFY2(faults() - faultsBefore < 512, qPrintable(QString::number(faults() - faultsBefore)));
    FreedMemory::release();
#endif
}
