// A script trusts quorvel-cli's exit status and its last JSON event: each
// must say what became of the card, and what it calls done must be on the
// card byte for byte (read here with plain file I/O, never with the core).
#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/startup.h"
#include "chartserviceprocess.h"
#include "exitstatus.h"

namespace {

const QString testPassword = QStringLiteral("Test-Pass-2024");
const QString productSku = QStringLiteral("TEST-VM-1");
const QString productFiles = QStringLiteral("*/TESTVM1/*");

// One run of the command line and what it must end with.
// Step::signal's stand-in for a card taken out of its reader.
constexpr int takeCardOut = -1;

struct Step
{
    QStringList arguments;
    // "NAME=value" sets a variable for this run, "NAME" removes it.
    QStringList environment;
    QList<QJsonObject> faults;
    // "corrupt": a byte of a written file is changed on the card first;
    // "held": this process holds the card's lock (flock() on its root) for the run;
    // "held elsewhere": so does a program whose name is longer than the
    // kernel keeps as a process's name (15 characters);
    // "output full": standard output is a device that takes nothing;
    // "proofs blocked": a file stands where the data folder keeps its proofs;
    // "data folder: ENTRY KIND, ...": where the tool keeps a file of its own
    // (ENTRY, under the data folder) stands a FIFO (KIND "pipe"), a link to a
    // file outside the data folder ("link"), a link to a folder outside it
    // ("folder"), or a link to nothing ("dangling");
    // "keyring stalled": the keyring takes requests and answers none, and
    // the run must end well before the bus gives up on it;
    // "remembered: ADDRESS": config.ini names ADDRESS as the remembered
    // sign-in, as a hand edit would;
    // "escapes in config.ini, terminal": config.ini names an address that
    // holds an escape sequence, and standard input is a terminal that
    // answers the e-mail prompt with Enter and then closes.
    QString before;
    // Sent once the transfers have moved bytes; takeCardOut: the card's
    // folder is removed then instead.
    int signal = 0;
    int exitCode = 0;
    // Texts that standard output or standard error must hold, and must not.
    QStringList says;
    QStringList neverSays = {};
};

QJsonObject fault(const QString &kind, const QString &path, QJsonObject extra = {})
{
    extra.insert(QStringLiteral("kind"), kind);
    extra.insert(QStringLiteral("path"), path);
    extra.insert(QStringLiteral("count"), -1);
    return extra;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QList<QJsonObject> jsonLines(const QByteArray &out)
{
    QList<QJsonObject> events;
    for (const QByteArray &line : out.split('\n')) {
        if (!line.isEmpty())
            events.append(QJsonDocument::fromJson(line).object());
    }
    return events;
}

// The transfers have written something: a stop now interrupts real work.
bool movedBytes(const QByteArray &out)
{
    for (const QJsonObject &event : jsonLines(out)) {
        if (event.value(QStringLiteral("event")).toString() == QLatin1String("progress")
            && event.value(QStringLiteral("stage")).toString() == QLatin1String("transferring")
            && event.value(QStringLiteral("bytes")).toInteger() > 0)
            return true;
    }
    return false;
}

quint64 littleEndian(const QByteArray &bytes, int offset, int width)
{
    quint64 value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = value << 8 | quint8(bytes.at(offset + i));
    return value;
}

// An RQ card as the card maker writes it, and what the update must leave on
// it: the newest build of its chart, whose chart data is the subscription's.
struct RqCard
{
    QString kind;
    QString account;
    QString password;
    QStringList makeCard;
    QString sku;
    int subscription;
    quint64 build;
    quint64 code;
    QString cardSize = QString(); // a card of its own file system, this small (tmpfs "size=")
};

const QList<RqCard> rqCards {
    // Known to the service and one build behind.
    { QStringLiteral("rq"), QString::fromLatin1(ChartServiceProcess::TestEmail), testPassword,
        { QStringLiteral("--kind"), QStringLiteral("rq"), QStringLiteral("--sku"), QStringLiteral("  5555-1"),
            QStringLiteral("--media-id"), QStringLiteral("QTEST-RQ-0001"), QStringLiteral("--segment-size"),
            QStringLiteral("16384"), QStringLiteral("--segment-sizes"), QStringLiteral("16384,16384,3000") },
        QStringLiteral("  5555-1"), 9503, 5002, 2000 },
    // The same, on a card that cannot hold the new build even once the old
    // one is gone: 4 kB free, 8 kB needed.
    { QStringLiteral("rq, card too small"), QString::fromLatin1(ChartServiceProcess::TestEmail), testPassword,
        { QStringLiteral("--kind"), QStringLiteral("rq"), QStringLiteral("--sku"), QStringLiteral("  5555-1"),
            QStringLiteral("--media-id"), QStringLiteral("QTEST-RQ-0001"), QStringLiteral("--segment-size"),
            QStringLiteral("16384"), QStringLiteral("--segment-sizes"), QStringLiteral("16384,16384,3000") },
        QStringLiteral("  5555-1"), 9503, 5002, 2000, QStringLiteral("size=48k") },
    // Its chart is the account's, but no subscription is bound to the card:
    // it is registered before the update.
    { QStringLiteral("rq unknown"), QString::fromLatin1(ChartServiceProcess::DemoEmail),
        QString::fromLatin1(ChartServiceProcess::DemoPassword),
        { QStringLiteral("--kind"), QStringLiteral("rq"), QStringLiteral("--sku"), QStringLiteral("123456-2"),
            QStringLiteral("--media-id"), QStringLiteral("QREG-0001"), QStringLiteral("--build-code"),
            QStringLiteral("0") },
        QStringLiteral("123456-2"), 9022, 6100, 0 },
    // Bound to a subscription, but its container is gone: rebuilt first.
    { QStringLiteral("rq lost"), QString::fromLatin1(ChartServiceProcess::DemoEmail),
        QString::fromLatin1(ChartServiceProcess::DemoPassword),
        { QStringLiteral("--kind"), QStringLiteral("blank"), QStringLiteral("--media-id"),
            QStringLiteral("QDEMO-RQ-LOST") },
        QStringLiteral("  7788-3"), 9023, 7010, 31005 },
};

const RqCard *rqCard(const QString &kind)
{
    for (const RqCard &candidate : rqCards) {
        if (candidate.kind == kind)
            return &candidate;
    }
    return nullptr;
}

} // namespace

Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(QList<Step>)

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void runs_data();
    void runs();

    void exitStatusOfEachKind_data();
    void exitStatusOfEachKind();

    void linksNoWindowLibrary();

private:
    struct Result
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
        qint64 milliseconds = 0;
    };

    QProcessEnvironment environmentFor(const Step &step) const;
    Result run(const Step &step);
    void corruptOnCard();
    void placeInDataFolder(const QString &entries);
    void checkNothingOutside();
    void checkStream(const Step &step, const Result &result);
    void checkProductOnCard();
    void checkRqCard(const RqCard &expected);

    ChartServiceProcess service;
    QString session;
    QTemporaryDir *folder = nullptr;
    QString cards;
    QString card;
    struct timespec outsideFolderTime {};
};

void TestCli::initTestCase()
{
    QVERIFY(service.start({ QStringLiteral("--catalogue"), ChartServiceProcess::testCataloguePath(),
        QStringLiteral("--catalogue"), ChartServiceProcess::demoCataloguePath() }));
    session = service.signIn(QString::fromLatin1(ChartServiceProcess::TestEmail), testPassword);
    QVERIFY(!session.isEmpty());
}

void TestCli::init()
{
    // Each row has its own data folder (settings, remembered sign-in,
    // proofs) and its own cards.
    folder = new QTemporaryDir;
    QVERIFY(folder->isValid());
    cards = folder->filePath(QStringLiteral("cards"));
    card = cards + QStringLiteral("/card");
    QVERIFY(QDir().mkpath(cards));
    QVERIFY(service.clearFaults());
}

void TestCli::cleanup()
{
    QProcess::execute(QStringLiteral("umount"), {card});
    delete folder;
    folder = nullptr;
}

QProcessEnvironment TestCli::environmentFor(const Step &step) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), folder->filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), folder->filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("QUORVEL_SERVICE_URL"), service.httpsBaseUrl());
    environment.insert(QStringLiteral("QUORVEL_EXTRA_CA_FILE"), service.caFilePath());
    environment.insert(QStringLiteral("QUORVEL_CARD_WATCH_DIRS"), cards);
    environment.insert(QStringLiteral("QUORVEL_CARD_WATCH_MOUNTS"), QStringLiteral("0"));
    environment.insert(QStringLiteral("QUORVEL_EMAIL"), QString::fromLatin1(ChartServiceProcess::TestEmail));
    environment.insert(QStringLiteral("QUORVEL_PASSWORD"), testPassword);
    for (const QString &entry : step.environment) {
        const int equals = entry.indexOf(QLatin1Char('='));
        if (equals < 0)
            environment.remove(entry);
        else
            environment.insert(entry.left(equals), entry.mid(equals + 1));
    }
    return environment;
}

TestCli::Result TestCli::run(const Step &step)
{
    Result result;
    QProcess cli;
    cli.setProcessEnvironment(environmentFor(step));
    int terminal = -1;
    QByteArray terminalName;
    if (step.before.endsWith(QLatin1String("terminal"))) {
        terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0) {
            QTest::qFail("no terminal to be had", __FILE__, __LINE__);
            return result;
        }
        terminalName = ::ptsname(terminal);
    }
    const char *input = terminal >= 0 ? terminalName.constData() : nullptr;
    cli.setChildProcessModifier([input] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int fd = input ? ::open(input, O_RDWR | O_NOCTTY) : -1;
        if (fd >= 0)
            ::dup2(fd, STDIN_FILENO);
    });
    if (step.before == QLatin1String("output full"))
        cli.setStandardOutputFile(QStringLiteral("/dev/full"));
    // A keyring that has stopped answering: what a hung daemon or an
    // unlock prompt no one sees looks like from the bus.
    pid_t keyring = 0;
    if (step.before == QLatin1String("keyring stalled")) {
        keyring = pid_t(QDBusConnection::sessionBus()
                            .interface()
                            ->servicePid(QStringLiteral("org.freedesktop.secrets"))
                            .value());
        if (keyring <= 0 || ::kill(keyring, SIGSTOP) != 0) {
            QTest::qFail("the keyring could not be stalled", __FILE__, __LINE__);
            return result;
        }
    }
    const auto resumeKeyring = qScopeGuard([keyring] {
        if (keyring > 0)
            ::kill(keyring, SIGCONT);
    });
    QElapsedTimer clock;
    clock.start();
    cli.start(QStringLiteral(QUORVEL_CLI_PATH), step.arguments);
    if (!cli.waitForStarted(30000))
        return result;
    if (terminal >= 0) {
        // Enter at the e-mail prompt, then the terminal goes away at the
        // password's.
        const QDeadlineTimer deadline(60000);
        for (const QByteArray &prompt : { QByteArray("E-mail"), QByteArray("Password:") }) {
            while (
                !result.err.contains(prompt) && cli.state() == QProcess::Running && !deadline.hasExpired()) {
                cli.waitForReadyRead(1000);
                result.err += cli.readAllStandardError();
            }
            if (prompt.startsWith("E-mail") && ::write(terminal, "\n", 1) != 1)
                QTest::qFail("the terminal took no Enter", __FILE__, __LINE__);
        }
        ::close(terminal);
    }
    if (step.signal != 0) {
        const QDeadlineTimer deadline(60000);
        while (!movedBytes(result.out) && cli.state() == QProcess::Running && !deadline.hasExpired()) {
            cli.waitForReadyRead(1000);
            result.out += cli.readAllStandardOutput();
        }
        // At once, as a card leaves its reader: file by file, the run
        // could rightly see its files vanish from a card still there.
        if (cli.state() == QProcess::Running && step.signal == takeCardOut) {
            const QString gone = card + QStringLiteral(".taken-out");
            if (!QDir().rename(card, gone)) {
                QTest::qFail("the card could not be taken out", __FILE__, __LINE__);
                return result;
            }
            QDir(gone).removeRecursively();
        }
        else if (cli.state() == QProcess::Running)
            ::kill(pid_t(cli.processId()), step.signal);
    }
    if (!cli.waitForFinished(120000)) {
        cli.kill();
        cli.waitForFinished(30000);
        return result;
    }
    result.milliseconds = clock.elapsed();
    result.out += cli.readAllStandardOutput();
    result.err += cli.readAllStandardError();
    result.exitCode = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    return result;
}

void TestCli::corruptOnCard()
{
    QFile file(card + QStringLiteral("/TESTVM1/tiles_02.bin"));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.seek(70000));
    const char byte = file.read(1).at(0);
    QVERIFY(file.seek(70000));
    QCOMPARE(file.write(QByteArray(1, char(~byte))), qint64(1));
}

void TestCli::placeInDataFolder(const QString &entries)
{
    const QString smn = folder->filePath(QStringLiteral("data/SMN"));
    QFile outside(folder->filePath(QStringLiteral("outside")));
    QVERIFY(outside.open(QIODevice::WriteOnly | QIODevice::Truncate) && outside.write("outside\n") == 8);
    outside.close();
    for (const QString &each : entries.split(QStringLiteral(", "))) {
        const QString path = smn + QLatin1Char('/') + each.section(QLatin1Char(' '), 0, 0);
        const QString kind = each.section(QLatin1Char(' '), 1);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        if (!QFile::remove(path))
            QDir(path).removeRecursively();
        QVERIFY(!QFileInfo::exists(path) && !QFileInfo(path).isSymLink());
        if (kind == QLatin1String("pipe"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(folder->filePath(QStringLiteral("outside")), path));
        else if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(folder->filePath(QStringLiteral("outside folder")))
                    && QFile::link(folder->filePath(QStringLiteral("outside folder")), path));
        else
            QVERIFY(QFile::link(folder->filePath(QStringLiteral("nowhere")), path));
        struct stat status {};
        if (::stat(QFile::encodeName(folder->filePath(QStringLiteral("outside folder"))).constData(), &status) == 0)
            outsideFolderTime = status.st_mtim;
    }
}

// Whatever the data folder held, nothing beside it was written.
void TestCli::checkNothingOutside()
{
    QCOMPARE(readFile(folder->filePath(QStringLiteral("outside"))), QByteArray("outside\n"));
    QVERIFY(!QFileInfo::exists(folder->filePath(QStringLiteral("nowhere"))));
    // A file made there and removed again changed the folder all the same.
    struct stat status {};
    if (::stat(QFile::encodeName(folder->filePath(QStringLiteral("outside folder"))).constData(), &status) == 0)
        QVERIFY(status.st_mtim.tv_sec == outsideFolderTime.tv_sec
                && status.st_mtim.tv_nsec == outsideFolderTime.tv_nsec);
}

// What any run prints: JSON lines only, nothing secret, and a last event
// that agrees with the exit status.
void TestCli::checkStream(const Step &step, const Result &result)
{
    QByteArray secrets;
    const QStringList secretTexts { testPassword, ChartServiceProcess::passwordHash(testPassword) };
    QStringList sessions { session };
    for (const QJsonValue &request : service.requestLog()) {
        const QString id = request.toObject()
                               .value(QStringLiteral("json"))
                               .toObject()
                               .value(QStringLiteral("session_id"))
                               .toString();
        if (!id.isEmpty())
            sessions.append(id);
    }
    for (const QString &secret : secretTexts + sessions) {
        QVERIFY2(!result.out.contains(secret.toUtf8()) && !result.err.contains(secret.toUtf8()),
            "a password, its hash or a session id was printed");
    }
    for (const QString &text : step.says) {
        QVERIFY2(result.out.contains(text.toUtf8()) || result.err.contains(text.toUtf8()),
            qPrintable(QStringLiteral("\"%1\" not said in:\n%2%3")
                           .arg(text, QString::fromUtf8(result.out), QString::fromUtf8(result.err))));
    }
    for (const QString &text : step.neverSays) {
        QVERIFY2(!result.out.contains(text.toUtf8()) && !result.err.contains(text.toUtf8()),
            qPrintable(QStringLiteral("\"%1\" said in:\n%2%3")
                           .arg(text, QString::fromUtf8(result.out), QString::fromUtf8(result.err))));
    }
    if (!step.arguments.contains(QStringLiteral("--json"))) {
        // Told as it happened, an error is not told again by the closing line.
        for (const QByteArray &line : result.err.split('\n')) {
            if (!line.startsWith("error: "))
                continue;
            const QByteArray message = line.mid(7);
            QVERIFY2(result.err.count(message) == 1, result.err.constData());
        }
        return;
    }

    QVERIFY2(result.err.isEmpty(), result.err.constData());
    const QList<QByteArray> lines = result.out.trimmed().split('\n');
    QVERIFY(!lines.isEmpty());
    for (const QByteArray &line : lines) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        QVERIFY2(error.error == QJsonParseError::NoError && document.isObject(), line.constData());
    }
    const QJsonObject last = QJsonDocument::fromJson(lines.last()).object();
    const QString event = last.value(QStringLiteral("event")).toString();
    // Every stage counts against the whole product, and a run that ends
    // done ends with all of it counted, resumed or not.
    qint64 whole = -1;
    QJsonObject lastProgress;
    for (const QJsonObject &each : jsonLines(result.out)) {
        if (each.value(QStringLiteral("event")).toString() != QLatin1String("progress"))
            continue;
        const qint64 total = each.value(QStringLiteral("total")).toInteger();
        QVERIFY2(whole < 0 || total == whole,
            qPrintable(QStringLiteral("total %1 after %2").arg(total).arg(whole)));
        whole = total;
        lastProgress = each;
    }
    if (result.exitCode == 0 && whole >= 0)
        QCOMPARE(lastProgress.value(QStringLiteral("bytes")).toInteger(), whole);
    if (result.exitCode == 0)
        QCOMPARE(event, QStringLiteral("done"));
    else if (step.signal != 0)
        QCOMPARE(event, QStringLiteral("paused"));
    else
        QVERIFY2(
            event == QLatin1String("failed") || event == QLatin1String("paused"), lines.last().constData());
}

void TestCli::checkProductOnCard()
{
    int status = 0;
    const QJsonObject list = service.call(QStringLiteral("ActivateProduct"), QStringLiteral("smn"),
        { { QStringLiteral("device_id"), ChartServiceProcess::encryptText(QStringLiteral("QTEST-0001")) },
            { QStringLiteral("sku"), productSku }, { QStringLiteral("session_id"), session } },
        &status);
    QCOMPARE(status, 200);
    const QString endPoint = list.value(QStringLiteral("end_point")).toString();
    const QJsonArray files = list.value(QStringLiteral("files")).toArray();
    QCOMPARE(files.size(), 5);
    for (const QJsonValue &value : files) {
        const QJsonObject record = value.toObject();
        const QString file = record.value(QStringLiteral("file")).toString();
        QByteArray expected = record.value(QStringLiteral("size")).toInteger() > 0
            ? service.expectedBytes(endPoint + file)
            : QByteArray();
        expected += QByteArray::fromBase64(record.value(QStringLiteral("data")).toString().toLatin1());
        QVERIFY2(readFile(card + QLatin1Char('/') + file) == expected, qPrintable(file));
    }
}

void TestCli::checkRqCard(const RqCard &expected)
{
    QByteArray chain;
    for (const QJsonValue &value : service.subscriptions(expected.account)) {
        if (value.toObject().value(QStringLiteral("subscription_id")).toInt() == expected.subscription)
            chain
                = QByteArray::fromBase64(value.toObject().value(QStringLiteral("drm")).toString().toLatin1());
    }
    QVERIFY(!chain.isEmpty());
    const QJsonObject list
        = service.call(QStringLiteral("GetSegments/") + expected.sku, QStringLiteral("smn"), {});
    const QJsonArray segments = list.value(QStringLiteral("files")).toArray();
    QVERIFY(!segments.isEmpty());
    QStringList expectedNames { QStringLiteral("ENCRYPT.TXT") };
    for (const QJsonValue &value : segments) {
        const QString file = value.toObject().value(QStringLiteral("file")).toString();
        QVERIFY2(readFile(card + QLatin1Char('/') + file)
                == service.expectedBytes(list.value(QStringLiteral("end_point")).toString() + file),
            qPrintable(file));
        expectedNames.append(file);
    }
    // One container beside its segments, nothing left over from the old build.
    const QStringList kims = QDir(card).entryList({ QStringLiteral("*.kim") }, QDir::Files);
    QCOMPARE(kims.size(), 1);
    expectedNames.append(kims.constFirst());
    expectedNames.sort();
    QCOMPARE(QDir(card).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name), expectedNames);

    const QByteArray kim = readFile(card + QLatin1Char('/') + kims.constFirst());
    QVERIFY(kim.size() > 352);
    QCOMPARE(kim.mid(352), chain);
    QCOMPARE(littleEndian(kim, 156, 4), expected.build);
    QCOMPARE(littleEndian(kim, 344, 4), expected.code);
    const quint64 flags = littleEndian(kim, 72, 8);
    QCOMPARE(flags & 0x400, quint64(0)); // no longer updating
    QCOMPARE(flags & 0x180, quint64(0x180)); // finished, with its digest
    QCOMPARE(kim.mid(288, 20), QCryptographicHash::hash(chain, QCryptographicHash::Sha1));
}

void TestCli::runs_data()
{
    QTest::addColumn<QString>("cardKind");
    QTest::addColumn<QList<Step>>("steps");
    // "product" or "rq": what the card must hold at the end, byte for byte;
    // "kept": the product, and the last run fetched none of its files;
    // "resumed": the product, and the last run asked for the rest of a file.
    // "not activated": the last run never asked the service to activate.
    QTest::addColumn<QString>("check");

    const QString json = QStringLiteral("--json");
    const QStringList download { json, QStringLiteral("download"), productSku, QStringLiteral("--card") };
    const QStringList verify { json, QStringLiteral("verify"), productSku, QStringLiteral("--card") };
    const QStringList products { json, QStringLiteral("products"), QStringLiteral("--card") };
    const QStringList update { json, QStringLiteral("update"), QStringLiteral("--card") };
    const QJsonObject slow
        = fault(QStringLiteral("throttle"), productFiles, { { QStringLiteral("bytes_per_second"), 16384 } });
    const int usage = ExitStatus::Usage;

    QTest::newRow("usage: no command")
        << "velmora" << QList<Step> { { {}, {}, {}, {}, 0, usage, { "no command" } } } << "";
    QTest::newRow("usage: unknown option")
        << "velmora"
        << QList<Step> { { { QStringLiteral("cards"), QStringLiteral("--bogus") }, {}, {}, {}, 0, usage,
               { "bogus" } } }
        << "";
    QTest::newRow("usage: download without a card")
        << "velmora"
        << QList<Step> { { { QStringLiteral("download"), productSku }, {}, {}, {}, 0, usage, { "--card" } } }
        << "";
    QTest::newRow("usage: an empty SKU")
        << "velmora"
        << QList<Step> { { { QStringLiteral("download"), QString(), QStringLiteral("--card") }, {}, {}, {}, 0,
               usage, { "the product's SKU, and it is empty" } } }
        << "not activated";
    QTest::newRow("usage: an unknown command, in JSON")
        << "velmora"
        << QList<Step> { { { json, QStringLiteral("bogus") }, {}, {}, {}, 0, usage,
               { "{\"event\":\"failed\",\"kind\":\"usage\",\"message\":\"unknown command 'bogus'\"}\n" } } }
        << "";
    QTest::newRow("usage: the card named twice")
        << "velmora"
        << QList<Step> { { { QStringLiteral("products"), QStringLiteral("--card"), QStringLiteral("/"),
                               QStringLiteral("--card") },
               {}, {}, {}, 0, usage, { "--card is given more than once" } } }
        << "";
    QTest::newRow("usage: a service address that is not http")
        << "velmora"
        << QList<Step> { { { QStringLiteral("products"), QStringLiteral("--card") },
               { QStringLiteral("QUORVEL_SERVICE_URL=ftp://127.0.0.1/") }, {}, {}, 0, usage,
               { "is not an http or https address" } } }
        << "";
    QTest::newRow("version") << "velmora"
                             << QList<Step> { { { QStringLiteral("--version") }, {}, {}, {}, 0, 0,
                                    { "quorvel-cli 2.8.0\n" } } }
                             << "";
    QTest::newRow("wrong password") << "velmora"
                                    << QList<Step> { { products,
                                           { QStringLiteral("QUORVEL_PASSWORD=Wrong-Pass-2024") }, {}, {}, 0,
                                           ExitStatus::SignIn, { "\"kind\":\"sign-in\"" } } }
                                    << "";
    QTest::newRow("no credentials and no terminal")
        << "velmora"
        << QList<Step> { { products, { QStringLiteral("QUORVEL_EMAIL"), QStringLiteral("QUORVEL_PASSWORD") },
               {}, {}, 0, ExitStatus::SignIn, { "QUORVEL_PASSWORD" } } }
        << "";
    // The remembered sign-in serves later runs until sign-out forgets it.
    const QStringList noEnvironment { QStringLiteral("QUORVEL_EMAIL"), QStringLiteral("QUORVEL_PASSWORD") };
    QTest::newRow("remembered sign-in, then signed out")
        << "velmora"
        << QList<Step> { { { json, QStringLiteral("sign-in"), QStringLiteral("--remember") }, {}, {}, {}, 0,
                             0, { "\"remembered\":true" } },
               { products, noEnvironment, {}, {}, 0, 0, { "Incomplete" } },
               { { json, QStringLiteral("sign-out") }, noEnvironment, {}, {}, 0, 0, {} },
               { products, noEnvironment, {}, {}, 0, ExitStatus::SignIn, {} } }
        << "";
    // Entries of the data folder that the tool did not put there: a listing
    // neither waits on them for good nor writes through them.
    QTest::newRow("products, the data folder's files replaced")
        << "velmora"
        << QList<Step> { { products, {}, {},
                             QStringLiteral("data folder: config.ini pipe, config.ini.lock pipe, QuorvelV2.log pipe"),
                             0, 0, { "\"sku\":\"TEST-VM-1\"" } },
               { products, {}, {},
                   QStringLiteral("data folder: config.ini link, QuorvelV2.log link, QuorvelV2.lock dangling"), 0,
                   0, { "\"sku\":\"TEST-VM-1\"" } },
               { products, {}, {}, QStringLiteral("data folder: config.ini dangling"), 0, 0,
                   { "\"sku\":\"TEST-VM-1\"" } },
               { download, {}, {}, QStringLiteral("data folder: proofs folder, card-locks folder"), 0, 0,
                   { "\"stage\":\"done\"" } } }
        << "product";
    // Only "sign-in" and "sign-out" change what is remembered: not a run
    // that signs in from the environment while the keyring cannot be asked,
    // not a sign-in the service refused.
    const QString noBus = QStringLiteral("DBUS_SESSION_BUS_ADDRESS");
    const QStringList nobody { QStringLiteral("QUORVEL_EMAIL=nobody@quorvel.test"),
        QStringLiteral("QUORVEL_PASSWORD=Wrong-Pass-2024") };
    QTest::newRow("remembered sign-in outlives runs that do not choose")
        << "velmora"
        << QList<Step> { { { json, QStringLiteral("sign-in"), QStringLiteral("--remember") }, {}, {}, {}, 0,
                             0, { "\"remembered\":true" } },
               { products, { noBus }, {}, {}, 0, 0, { "Incomplete" } },
               { products, {}, {}, QStringLiteral("keyring stalled"), 0, 0, { "Incomplete" } },
               { products, nobody, {}, {}, 0, ExitStatus::SignIn, {} },
               { { json, QStringLiteral("sign-in"), QStringLiteral("--remember") }, nobody, {}, {}, 0,
                   ExitStatus::SignIn, {} },
               { products, noEnvironment, {}, {}, 0, 0, { "Incomplete" } } }
        << "";
    // A keyring out of reach is not an empty one: the user hears which it
    // is, and a sign-out that could not remove the sign-in does not claim
    // it did.
    QTest::newRow("keyring out of reach")
        << "velmora"
        << QList<Step> { { { json, QStringLiteral("sign-in"), QStringLiteral("--remember") }, {}, {}, {}, 0,
                             0, { "\"remembered\":true" } },
               { products, noEnvironment + QStringList { noBus }, {}, {}, 0, ExitStatus::SignIn,
                   { "The keyring could not be read (", "Unlock or start the keyring, or set QUORVEL_EMAIL" },
                   { "No credentials" } },
               { { json, QStringLiteral("sign-out") }, noEnvironment + QStringList { noBus }, {}, {}, 0,
                   ExitStatus::Other, { "could not be removed from the keyring" } },
               { { json, QStringLiteral("sign-out") }, noEnvironment, {}, {}, 0, 0, {} },
               { products, noEnvironment, {}, {}, 0, ExitStatus::SignIn, { "No credentials" } } }
        << "";
    // Where nothing was remembered, a keyring out of reach holds nothing of
    // the tool's: a sign-out says so and ends, even with no address known.
    QTest::newRow("sign-out with nothing remembered and no keyring")
        << "velmora"
        << QList<Step> { { { QStringLiteral("sign-out") }, noEnvironment + QStringList { noBus }, {}, {}, 0, 0,
                             { "no sign-in is remembered" } },
               { { QStringLiteral("sign-in") }, { noBus }, {}, {}, 0, 0, { "no sign-in is remembered" } },
               { { QStringLiteral("sign-out") }, noEnvironment + QStringList { noBus }, {}, {}, 0, 0,
                   { "no sign-in is remembered" }, { "could not be removed" } },
               { { QStringLiteral("sign-in"), QStringLiteral("--remember") }, { noBus }, {}, {}, 0, 0,
                   { "no sign-in is remembered" } },
               { { QStringLiteral("sign-out") }, noEnvironment + QStringList { noBus }, {}, {}, 0, 0,
                   { "no sign-in is remembered" }, { "could not be removed" } } }
        << "";
    // One sign-in is remembered: the one before it goes from the keyring
    // with it, or nothing would name it there for a sign-out to remove; and
    // a sign-in that does not remember leaves nothing there either.
    const QStringList demo { QStringLiteral("QUORVEL_EMAIL=") + QLatin1String(ChartServiceProcess::DemoEmail),
        QStringLiteral("QUORVEL_PASSWORD=") + QLatin1String(ChartServiceProcess::DemoPassword) };
    const QString demoNamed = QStringLiteral("remembered: ") + QLatin1String(ChartServiceProcess::DemoEmail);
    QTest::newRow("only the sign-in chosen last stays in the keyring")
        << "velmora"
        << QList<Step> { { { json, QStringLiteral("sign-in"), QStringLiteral("--remember") }, {}, {}, {}, 0,
                             0, { "\"remembered\":true" } },
               { { json, QStringLiteral("sign-in"), QStringLiteral("--remember") }, demo, {}, {}, 0, 0,
                   { "\"remembered\":true" } },
               { products, noEnvironment, {}, QStringLiteral("remembered: test@quorvel.test"), 0,
                   ExitStatus::SignIn, { "No credentials" } },
               { { json, QStringLiteral("sign-in") }, demo, {}, demoNamed, 0, 0, { "\"remembered\":false" } },
               { products, noEnvironment, {}, demoNamed, 0, ExitStatus::SignIn, { "No credentials" } } }
        << "";
    // config.ini is anyone's to edit; the prompt shows what it holds.
    QTest::newRow("e-mail prompt with escapes in the address kept")
        << "velmora"
        << QList<Step> { { { QStringLiteral("sign-in") }, noEnvironment, {},
               QStringLiteral("escapes in config.ini, terminal"), 0, ExitStatus::SignIn,
               { "E-mail [\\x1b]0;TITLE\\x07test@quorvel.test]: ", "No password given." },
               { "\x1b", "\x07" } } }
        << "";
    // The card maker's vmid names TEST-VM-1 with no files: on the card, not
    // whole; the Talvo and RQ products cannot go onto a Velmora card.
    QTest::newRow("products on a fresh legacy card")
        << "velmora"
        << QList<Step> { { products, {}, {}, {}, 0, 0,
               { "{\"event\":\"product\",\"action\":\"Resume\",\"line\":\"velmora_region\",\"name\":\"Test "
                 "Velmora Pond\",\"size_kb\":277,\"sku\":\"TEST-VM-1\",\"status\":\"Incomplete\"}",
                   "\"sku\":\"TEST-TV-1\",\"status\":\"Incompatible\"",
                   "\"sku\":\"  5555-1\",\"status\":\"Incompatible\"" } } }
        << "";
    // A listing that never reached its reader did not list.
    QTest::newRow("listing onto a full device")
        << "velmora"
        << QList<Step> { { products.mid(1), {}, {}, QStringLiteral("output full"), 0, ExitStatus::Other,
               { "could not be written to standard output" } } }
        << "";
    // What this computer proved about the card is what the next run reads.
    const QStringList cardsJson { json, QStringLiteral("cards") };
    QTest::newRow("cards, before and after a download")
        << "velmora"
        << QList<Step> { { cardsJson, {}, {}, {}, 0, 0,
                             { "\"media_id\":\"QTEST-0001\",\"product\":\"TEST-VM-1\"",
                                 "\"state\":\"incomplete\"" } },
               { download, {}, {}, {}, 0, 0, {} },
               { cardsJson, {}, {}, {}, 0, 0,
                   { "\"state\":\"complete\"", "{\"event\":\"done\",\"cards\":1}" } } }
        << "product";
    // The catalogue says TEST-VM-BIG is larger than any disk: nothing is
    // offered for it, and a download is refused before the activation.
    QTest::newRow("product larger than the card")
        << "velmora"
        << QList<Step> { { products, {}, {}, {}, 0, 0,
                             { "\"action\":\"\",\"line\":\"velmora_region\",\"name\":\"Test Velmora Ocean\"" } },
               { { json, QStringLiteral("download"), QStringLiteral("TEST-VM-BIG"), QStringLiteral("--card") }, {},
                   {}, {}, 0, ExitStatus::Card,
                   { "\"kind\":\"card-full\"", "enough space to download this chart" } } }
        << "not activated";
    QTest::newRow("product of another line")
        << "velmora"
        << QList<Step> { { { json, QStringLiteral("download"), QStringLiteral("TEST-TV-1"),
                               QStringLiteral("--card") },
               {}, {}, {}, 0, ExitStatus::Card, { "\"kind\":\"incompatible\"" } } }
        << "";
    // A script must say that the product on the card may go; without it
    // nothing is asked of the service and nothing changes.
    QTest::newRow("download onto a card holding another product")
        << "other product"
        << QList<Step> { { download, {}, {}, {}, 0, ExitStatus::Card,
                             { "\"kind\":\"product-on-card\"", "run again with --replace" } },
               { { json, QStringLiteral("download"), productSku, QStringLiteral("--replace"),
                     QStringLiteral("--card") },
                   {}, {}, {}, 0, 0,
                   { "\"replaced\":\"OTHER-VM-9\"", "\"read_back\":true" } } }
        << "product";
    // The card's vmid says what a terminal would obey: shown, not obeyed;
    // a card folder's line break does not make two rows of one card.
    QTest::newRow("control characters in the card's vmid and folder")
        << "escapes in vmid"
        << QList<Step> { { { QStringLiteral("cards") }, {}, {}, {}, 0, 0,
                             { "\\x1b]0;TITLE\\x07\\x1b[31mRED", "/line\\x0abreak ", "/turn\\u202eed ",
                                 "/not\\\\x0aa break " },
                             { "\x1b", "\x07", "\r", "line\n" } },
               { { QStringLiteral("download"), productSku, QStringLiteral("--replace"), QStringLiteral("--card") },
                   {}, {}, {}, 0, 0, { "It replaced \\x1b]0;TITLE" }, { "\x1b", "\x07" } } }
        << "product";
    QTest::newRow("download") << "velmora"
                              << QList<Step> { { download, {}, {}, {}, 0, 0,
                                     { "\"stage\":\"reading-back\"" } } }
                              << "product";
    // Proven, but not recorded: said, so that "Not Verified" afterwards is
    // no riddle.
    QTest::newRow("download whose proof cannot be kept")
        << "velmora"
        << QList<Step> { { { QStringLiteral("download"), productSku, QStringLiteral("--card") }, {}, {},
                             QStringLiteral("proofs blocked"), 0, 0,
                             { "every file proven. The proof could not be kept on this computer (" } },
               { verify, {}, {}, {}, 0, 0, { "\"proof_kept\":false" } } }
        << "product";
    QTest::newRow("second download keeps the files")
        << "velmora" << QList<Step> { { download, {}, {}, {}, 0, 0, {} }, { download, {}, {}, {}, 0, 0, {} } }
        << "kept";
    QTest::newRow("plain lines off a terminal")
        << "velmora"
        << QList<Step> { { { QStringLiteral("download"), productSku, QStringLiteral("--card") }, {}, {}, {},
               0, 0, { "download Test Velmora Pond: transferring\n" } } }
        << "product";
    QTest::newRow("verify") << "velmora"
                            << QList<Step> { { download, {}, {}, {}, 0, 0, {} },
                                   { verify, {}, {}, {}, 0, 0, { "\"job\":\"verify\"" } } }
                            << "product";
    // What the check found is what the card's state says afterwards.
    QTest::newRow("verify finds a changed byte")
        << "velmora"
        << QList<Step> { { download, {}, {}, {}, 0, 0, {} },
               { verify, {}, {}, QStringLiteral("corrupt"), 0, ExitStatus::Verification,
                   { "\"kind\":\"mismatch\"" } },
               { products, {}, {}, {}, 0, 0, { "\"sku\":\"TEST-VM-1\",\"status\":\"Incomplete\"" } },
               { cardsJson, {}, {}, {}, 0, 0, { "\"state\":\"incomplete\"" } } }
        << "";
    // The product's list comes with an activation, which would bind one of
    // its subscriptions to a card that holds none.
    QTest::newRow("verify of a product not bound to the card")
        << "blank"
        << QList<Step> { { verify, {}, {}, {}, 0, ExitStatus::Verification, { "no subscription was used" } } }
        << "not activated";
    QTest::newRow("changed byte, as a person reads it")
        << "velmora"
        << QList<Step> { { download, {}, {}, {}, 0, 0, {} },
               { verify.mid(1), {}, {}, QStringLiteral("corrupt"), 0, ExitStatus::Verification,
                   { "error: \"TESTVM1/tiles_02.bin\" differs", "verify failed (the error above).\n" } } }
        << "";
    QTest::newRow("connection lost") << "velmora"
                                     << QList<Step> { { download, {},
                                            { fault(QStringLiteral("close_after"), productFiles,
                                                { { QStringLiteral("bytes"), 1000 } }) },
                                            {}, 0, ExitStatus::Network, { "\"kind\":\"network\"" } } }
                                     << "";
    QTest::newRow("unreadable product list")
        << "velmora"
        << QList<Step> { { download, {},
               { fault(QStringLiteral("non_json"), QStringLiteral("*/GetAllProducts")) }, {}, 0,
               ExitStatus::ServiceReply, { "\"kind\":\"service-reply\"" } } }
        << "";
    QTest::newRow("product not owned")
        << "velmora"
        << QList<Step> { { { json, QStringLiteral("download"), QStringLiteral("VM-DUN-04"),
                               QStringLiteral("--card") },
               {}, {}, {}, 0, ExitStatus::ServiceReply, { "does not own" } } }
        << "";
    QTest::newRow("unknown SKU")
        << "velmora"
        << QList<Step> { { { json, QStringLiteral("download"), QStringLiteral("NO-SUCH-1"),
                               QStringLiteral("--card") },
               {}, {}, {}, 0, ExitStatus::ServiceReply, { "No product NO-SUCH-1" } } }
        << "";
    // The files in flight are the card's absence, not files someone changed.
    QTest::newRow("card taken out mid-download")
        << "velmora"
        << QList<Step> { { download, {}, { slow }, {}, takeCardOut, ExitStatus::Card,
               { "Please insert SD card." }, { "changed on the card" } } }
        << "";
    QTest::newRow("no card at the folder")
        << "missing"
        << QList<Step> { { download, {}, {}, {}, 0, ExitStatus::Card,
               { "\"kind\":\"card-gone\"", "there is no such folder" } } }
        << "";
    QTest::newRow("Ctrl-C pauses, the next run resumes")
        << "velmora"
        << QList<Step> { { download, {}, { slow }, {}, SIGINT, 130,
                             { "\"stage\":\"paused\"", "\"reason\":\"signal\"" } },
               { download, {}, {}, {}, 0, 0, {} } }
        << "resumed";
    // Whoever holds the card's lock, the run changes nothing and says who.
    // What another writer has in hand is neither incomplete nor to resume.
    QTest::newRow("card in use, then free")
        << "velmora"
        << QList<Step> { { download, {}, {}, QStringLiteral("held elsewhere"), 0, ExitStatus::Card,
                             { "in use by another copy of the Quorvel Download Tool (quorvel-download-tool-elsewhere, process" } },
               { download, {}, {}, QStringLiteral("held"), 0, ExitStatus::Card,
                             { "\"kind\":\"card-busy\"",
                                 "in use by another copy of the Quorvel Download Tool (tst_cli, process" } },
               { products, {}, {}, QStringLiteral("held"), 0, 0,
                   { "\"action\":\"\",\"line\":\"velmora_region\",\"name\":\"Test Velmora Pond\"",
                       "\"status\":\"In Progress\"" } },
               { cardsJson, {}, {}, QStringLiteral("held"), 0, 0, { "\"state\":\"being-written\"" } },
               { download, {}, {}, {}, 0, 0, {} } }
        << "product";
    // So does a terminal closed under the run.
    QTest::newRow("SIGTERM and SIGHUP pause")
        << "velmora"
        << QList<Step> { { download, {}, { slow }, {}, SIGTERM, 143,
                             { "\"stage\":\"paused\"", "\"reason\":\"signal\"" } },
               { download, {}, { slow }, {}, SIGHUP, 129,
                   { "\"stage\":\"paused\"", "\"reason\":\"signal\"" } },
               { download, {}, {}, {}, 0, 0, {} } }
        << "resumed";
    // The update reads what an earlier one staged, and copies the container
    // before changing it: a FIFO in the manifest's place must not stop it,
    // nor a link at the copy's name send the copy elsewhere.
    QTest::newRow("RQ update")
        << "rq"
        << QList<Step> { { update, {}, {},
               QStringLiteral("data folder: staging/QTEST-RQ-0001-5555-1/manifest.json pipe, "
                              "5555-1-5001-1000/R005555_1.kim link"),
               0, 0, { "\"job\":\"update\"" } } }
        << "rq";
    QTest::newRow("RQ update, its container copies' folder a link")
        << "rq"
        << QList<Step> { { update, {}, {}, QStringLiteral("data folder: 5555-1-5001-1000 folder"), 0, 0,
               { "\"job\":\"update\"" } } }
        << "rq";
    // The old build's segments keep their names: a part of the new one
    // fetched beside them is gone on with, not fetched again from its start.
    QTest::newRow("Ctrl-C pauses an RQ update, the next run goes on")
        << "rq"
        << QList<Step> { { update, {},
                             { fault(QStringLiteral("throttle"), QStringLiteral("*/R00*"),
                                 { { QStringLiteral("bytes_per_second"), 4096 } }) },
                             {}, SIGINT, 130, { "\"stage\":\"paused\"" } },
               { update, {}, {}, {}, 0, 0, { "\"job\":\"update\",\"stage\":\"done\"" } } }
        << "rq resumed";
    // Refused before anything is written, with the room to make.
    QTest::newRow("RQ update without room on the card")
        << "rq, card too small"
        << QList<Step> { { update, {}, {}, {}, 0, ExitStatus::Card,
               { "\"kind\":\"card-full\"", "The SD card needs 0.1 MB more free space for this update" } } }
        << "";
    const QStringList demoAccount { QStringLiteral("QUORVEL_EMAIL=")
            + QLatin1String(ChartServiceProcess::DemoEmail),
        QStringLiteral("QUORVEL_PASSWORD=") + QLatin1String(ChartServiceProcess::DemoPassword) };
    QTest::newRow("RQ card registered, then updated")
        << "rq unknown"
        << QList<Step> { { update, demoAccount, {}, {}, 0, 0,
               { "\"job\":\"registration\",\"stage\":\"done\"", "\"job\":\"update\",\"stage\":\"done\"" } } }
        << "rq";
    QTest::newRow("RQ container restored, then updated")
        << "rq lost"
        << QList<Step> { { update, demoAccount, {}, {}, 0, 0,
               { "\"job\":\"restoration\",\"stage\":\"done\"", "\"job\":\"update\",\"stage\":\"done\"" } } }
        << "rq";
}

void TestCli::runs()
{
    QFETCH(QString, cardKind);
    QFETCH(QList<Step>, steps);
    QFETCH(QString, check);

    if (cardKind == QLatin1String("velmora")) {
        QVERIFY(ChartServiceProcess::makeCard(card, QStringLiteral("velmora"),
            { QStringLiteral("--media-id"), QStringLiteral("QTEST-0001"), QStringLiteral("--sku"),
                productSku }));
    } else if (cardKind == QLatin1String("other product")) {
        QVERIFY(ChartServiceProcess::makeCard(card, QStringLiteral("velmora"),
            { QStringLiteral("--media-id"), QStringLiteral("QTEST-0001"), QStringLiteral("--sku"),
                QStringLiteral("OTHER-VM-9") }));
    } else if (cardKind == QLatin1String("escapes in vmid")) {
        QVERIFY(ChartServiceProcess::makeCard(card, QStringLiteral("velmora"),
            { QStringLiteral("--media-id"), QStringLiteral("QTEST-0001"), QStringLiteral("--sku"), productSku }));
        QFile vmid(card + QStringLiteral("/vmid"));
        QVERIFY(vmid.open(QIODevice::WriteOnly | QIODevice::Truncate));
        vmid.write("\x1b]0;TITLE\x07\x1b[31mRED\r\n{\"files\":[]}");
        QVERIFY(ChartServiceProcess::makeCard(QFileInfo(card).absolutePath() + QStringLiteral("/line\nbreak"),
            QStringLiteral("blank"), { QStringLiteral("--media-id"), QStringLiteral("QTEST-0002") }));
        QVERIFY(ChartServiceProcess::makeCard(QFileInfo(card).absolutePath() + QStringLiteral("/turn\u202eed"),
            QStringLiteral("blank"), { QStringLiteral("--media-id"), QStringLiteral("QTEST-0003") }));
        QVERIFY(ChartServiceProcess::makeCard(QFileInfo(card).absolutePath() + QStringLiteral("/not\\x0aa break"),
            QStringLiteral("blank"), { QStringLiteral("--media-id"), QStringLiteral("QTEST-0004") }));
    } else if (cardKind == QLatin1String("blank")) {
        QVERIFY(ChartServiceProcess::makeCard(card, QStringLiteral("blank"),
            { QStringLiteral("--media-id"), QStringLiteral("QTEST-0009") }));
    } else if (const RqCard *rq = rqCard(cardKind)) {
        if (!rq->cardSize.isEmpty()
            && (!QDir().mkpath(card)
                || QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                                               QStringLiteral("-o"), rq->cardSize,
                                                               QStringLiteral("tmpfs"), card})
                       != 0))
            QSKIP("cannot mount a small file system here");
        QVERIFY(ChartServiceProcess::makeCard(card, rq->makeCard.at(1), rq->makeCard.mid(2)));
    }

    // The segments a run left a part of, as their requests name them.
    QStringList partial;
    for (int i = 0; i < steps.size(); ++i) {
        Step step = steps.at(i);
        if (step.arguments.endsWith(QStringLiteral("--card")))
            step.arguments.append(card);
        partial.clear();
        const QFileInfoList parts = QDir(card).entryInfoList({ QStringLiteral("*.qdpart") }, QDir::Files);
        for (const QFileInfo &part : parts) {
            if (part.size() > 0)
                partial.append(QLatin1Char('/') + part.fileName().section(QLatin1Char('.'), 0, 1));
        }
        QVERIFY(service.clearFaults());
        QVERIFY(service.clearRequestLog());
        for (const QJsonObject &armed : std::as_const(step.faults))
            QVERIFY(service.addFault(armed));
        if (step.before == QLatin1String("corrupt"))
            corruptOnCard();
        if (step.before == QLatin1String("proofs blocked")) {
            QVERIFY(QDir().mkpath(folder->filePath(QStringLiteral("data/SMN"))));
            QFile blocker(folder->filePath(QStringLiteral("data/SMN/proofs")));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        const QString dataFolder = QStringLiteral("data folder: ");
        if (step.before.startsWith(dataFolder))
            placeInDataFolder(step.before.mid(dataFolder.size()));
        if (QTest::currentTestFailed())
            return;
        const int held = step.before == QLatin1String("held")
            ? ::open(QFile::encodeName(card).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
            : -1;
        if (held >= 0)
            QCOMPARE(::flock(held, LOCK_EX), 0);

        QProcess holder;
        QTemporaryDir holderDir;
        if (step.before == QLatin1String("held elsewhere")) {
            const QString name = holderDir.filePath(QStringLiteral("quorvel-download-tool-elsewhere"));
            QVERIFY(QFile::link(QStringLiteral("/usr/bin/flock"), name));
            holder.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
            holder.start(name, { QStringLiteral("-o"), card, QStringLiteral("sleep"), QStringLiteral("60") });
            QVERIFY(holder.waitForStarted(30000));
            const int probe = ::open(QFile::encodeName(card).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            // Until a lock of this process's own is refused (one it got is
            // let go at once, or the holder would wait for it).
            QVERIFY(QTest::qWaitFor(
                [probe] { return ::flock(probe, LOCK_EX | LOCK_NB) != 0 || ::flock(probe, LOCK_UN) != 0; }, 30000));
            ::close(probe);
        }

        const bool escaped = step.before.startsWith(QLatin1String("escapes in config.ini"));
        const QString named
            = step.before.startsWith(QLatin1String("remembered: ")) ? step.before.mid(12) : QString();
        if (escaped || !named.isEmpty()) {
            const QString settings = folder->filePath(QStringLiteral("data/SMN"));
            QVERIFY(QDir().mkpath(settings));
            QFile config(settings + QStringLiteral("/config.ini"));
            QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate));
            config.write(escaped
                    ? "[General]\nemail=\"\x1b]0;TITLE\x07test@quorvel.test\"\nrememberMe=false\n"
                    : "[General]\nemail=" + named.toUtf8() + "\nrememberMe=true\n");
        }
        const Result result = run(step);
        if (QTest::currentTestFailed())
            return;
        // Generous beside the run's own time; a run that waits for the
        // keyring takes the bus's 25 s at least.
        if (step.before == QLatin1String("keyring stalled"))
            QVERIFY2(result.milliseconds < 15000,
                qPrintable(
                    QStringLiteral("step %1 waited %2 ms for the keyring").arg(i).arg(result.milliseconds)));
        if (held >= 0)
            ::close(held);
        if (holder.state() != QProcess::NotRunning) {
            holder.kill();
            holder.waitForFinished(30000);
        }
        QVERIFY2(result.exitCode == step.exitCode,
            qPrintable(QStringLiteral("step %1 ended %2, not %3:\n%4%5")
                           .arg(i)
                           .arg(result.exitCode)
                           .arg(step.exitCode)
                           .arg(QString::fromUtf8(result.out), QString::fromUtf8(result.err))));
        checkStream(step, result);
        if (step.before.startsWith(dataFolder))
            checkNothingOutside();
        if (QTest::currentTestFailed())
            return;
        for (const QJsonObject &armed : std::as_const(step.faults))
            QVERIFY2(service.firedCount(armed.value(QStringLiteral("kind")).toString()) > 0,
                "the fault never fired");
    }

    // A run that does a job on a card starts a log of its own; listings go
    // on in the last one, so that they do not push a failed job's log out.
    qsizetype jobs = 0;
    for (const Step &step : std::as_const(steps)) {
        jobs += step.arguments.contains(QStringLiteral("download"))
            || step.arguments.contains(QStringLiteral("update"))
            || step.arguments.contains(QStringLiteral("verify"));
    }
    // The log there was before the first job, if any, and one per job.
    const qsizetype logs = QDir(folder->filePath(QStringLiteral("data/SMN")))
                               .entryList({ QStringLiteral("QuorvelV2.log*") }, QDir::Files)
                               .size();
    QVERIFY2(logs <= jobs + 1, qPrintable(QStringLiteral("%1 logs after %2 jobs").arg(logs).arg(jobs)));

    const QJsonArray fetched = service.requestLog(productFiles);
    if (check == QLatin1String("not activated"))
        QVERIFY(service.requestLog(QStringLiteral("*ActivateProduct")).isEmpty());
    if (check == QLatin1String("kept")) {
        QVERIFY2(fetched.isEmpty(), "the second run fetched files the card already held");
    } else if (check == QLatin1String("resumed")) {
        bool ranged = false;
        for (const QJsonValue &request : fetched) {
            const QJsonObject headers = request.toObject().value(QStringLiteral("headers")).toObject();
            for (auto it = headers.begin(); it != headers.end(); ++it)
                ranged |= it.key().compare(QLatin1String("range"), Qt::CaseInsensitive) == 0;
        }
        QVERIFY2(ranged, "the next run fetched every file from its first byte");
    }
    if (check == QLatin1String("rq resumed")) {
        QVERIFY2(!partial.isEmpty(), "the first run left no part of a segment");
        const QJsonArray segments = service.requestLog(QStringLiteral("*/R00*"));
        for (const QString &segment : std::as_const(partial)) {
            for (const QJsonValue &request : segments) {
                const QJsonObject asked = request.toObject();
                if (!asked.value(QStringLiteral("path")).toString().endsWith(segment))
                    continue;
                bool ranged = false;
                const QJsonObject headers = asked.value(QStringLiteral("headers")).toObject();
                for (auto it = headers.begin(); it != headers.end(); ++it)
                    ranged |= it.key().compare(QLatin1String("range"), Qt::CaseInsensitive) == 0;
                QVERIFY2(ranged,
                    qPrintable(segment + QStringLiteral(" was fetched again from its first byte")));
            }
        }
        checkRqCard(*rqCard(cardKind));
    }
    if (check == QLatin1String("product") || check == QLatin1String("kept")
        || check == QLatin1String("resumed"))
        checkProductOnCard();
    else if (check == QLatin1String("rq"))
        checkRqCard(*rqCard(cardKind));
}

void TestCli::exitStatusOfEachKind_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("none") << int(JobError::None) << 0;
    QTest::newRow("other") << int(JobError::Other) << 1;
    QTest::newRow("sign-in") << int(JobError::SignIn) << 3;
    QTest::newRow("network") << int(JobError::Network) << 4;
    QTest::newRow("service-reply") << int(JobError::ServiceReply) << 5;
    QTest::newRow("card-gone") << int(JobError::CardGone) << 6;
    QTest::newRow("another-card") << int(JobError::AnotherCard) << 6;
    QTest::newRow("card-full") << int(JobError::CardFull) << 6;
    QTest::newRow("read-only") << int(JobError::ReadOnly) << 6;
    QTest::newRow("file-system-limit") << int(JobError::FileSystemLimit) << 6;
    QTest::newRow("name-taken") << int(JobError::NameTaken) << 6;
    QTest::newRow("card-busy") << int(JobError::CardBusy) << 6;
    QTest::newRow("product-on-card") << int(JobError::ProductOnCard) << 6;
    QTest::newRow("not-kept") << int(JobError::NotKept) << 7;
    QTest::newRow("mismatch") << int(JobError::Mismatch) << 7;
    QTest::newRow("changed-on-card") << int(JobError::ChangedOnCard) << 7;
}

void TestCli::exitStatusOfEachKind()
{
    QFETCH(int, kind);
    QFETCH(int, exitCode);
    QCOMPARE(int(ExitStatus::of(JobError::Kind(kind))), exitCode);
    // A run that stopped is never reported as a success, whatever it names.
    QCOMPARE(int(ExitStatus::ofFailure(JobError::Kind(kind))), exitCode == 0 ? 1 : exitCode);
}

void TestCli::linksNoWindowLibrary()
{
    QProcess readelf;
    readelf.start(
        QStringLiteral("readelf"), { QStringLiteral("--dynamic"), QStringLiteral(QUORVEL_CLI_PATH) });
    QVERIFY(readelf.waitForFinished(60000));
    QCOMPARE(readelf.exitCode(), 0);
    const QByteArray dynamic = readelf.readAllStandardOutput();
    QVERIFY2(dynamic.contains("libQt6Core.so"), dynamic.constData());
    QVERIFY2(!dynamic.contains("libQt6Gui") && !dynamic.contains("libQt6Widgets"), dynamic.constData());
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
