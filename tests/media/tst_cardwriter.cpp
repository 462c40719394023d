// Everything the tool writes goes through the card writer: never outside the
// card, never half a file where a whole one was, on the medium before it says
// so; and what it reads back to prove a card kept its bytes is the medium's.
// The card it writes to is known by the text between the two separators of
// ENCRYPT.TXT: a near miss must never pass as an id, and a hostile media file
// (a link, a pipe, a huge file) must never be read.
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <QThread>

#include <mutex>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "download/chunkwriter.h"
#include "card/groupcommit.h"
#include "download/readbackverifier.h"
#include "card/cardfolders.h"
#include "card/changemonitor.h"
#include "card/cardwriter.h"
#include "card/mediaid.h"
#include "testkit.h"

namespace {

const QByteArray mediaText
    = "A-----Trelmarkholding---media---001-----W1-----Trelmarkholding---media---001-----B";

// A boot sector with the name a file system gives itself at offset.
QByteArray bootSector(int offset, const QByteArray &name)
{
    QByteArray sector(512, '\0');
    sector.replace(offset, name.size(), name);
    sector[510] = char(0x55);
    sector[511] = char(0xAA);
    return sector;
}

// The child's downloaded file, through the transfers' own writer.
bool writeTile(const CardWriter &card)
{
    const QByteArray bytes(70000, 't');
    const ChunkWriter::File file{QStringLiteral("tile.bin"), bytes.size(),
                                 QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex(), QByteArray()};
    ChunkWriter chunks;
    chunks.setCardWriter(std::make_shared<CardWriter>(card));
    return chunks.append(file, 0, bytes.constData(), bytes.size(), true).written
           && chunks.finish(file).ending == ChunkWriter::Ending::Verified;
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished() && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

// A 64 KiB card in place of the folder, so that the system's own "full"
// reaches the writer.
bool mountSmallCard(const QString &card)
{
    return QDir(card).removeRecursively() && QDir().mkpath(card)
        && run(QStringLiteral("mount"),
            { QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"), QStringLiteral("size=64k"),
                QStringLiteral("tmpfs"), card });
}

} // namespace

class TestCardWriter : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void neverWritesOutsideTheCard_data();
    void neverWritesOutsideTheCard();
    void fileOnPath_data();
    void fileOnPath();
    void fullCard();
    void listingIsBounded();
    void wholeFileReachesTheMediumBeforeItsName();
    void sharedFlushCoversEveryEarlierWrite_data();
    void sharedFlushCoversEveryEarlierWrite();
    void readBack_data();
    void readBack();
    void filesystemKind_data();
    void filesystemKind();
    void mediaIdFromContent_data();
    void mediaIdFromContent();
    void vmidItemNumber_data();
    void vmidItemNumber();
    void cardIdentity_data();
    void cardIdentity();
    void changesWakeTheJobSeldomAndAllArrive();

private:
    std::unique_ptr<QTemporaryDir> root;
    QString card;
    QString outside;
};

void TestCardWriter::init()
{
    root = std::make_unique<QTemporaryDir>();
    card = root->filePath(QStringLiteral("card"));
    outside = root->filePath(QStringLiteral("outside"));
    writeFile(card + QStringLiteral("/ENCRYPT.TXT"), mediaText);
    writeFile(outside + QStringLiteral("/target"), "outside the card");
}

void TestCardWriter::neverWritesOutsideTheCard_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("problem"); // CardResult::None: written on the card itself
    // The folders of another file of the same folder were kept open (CardFolders)
    // before the setup changed the card.
    QTest::addColumn<bool>("kept");

    const auto row = [](const char *name, const char *setup, const QString &path, CardWriter::Mode mode,
                         int problem, bool kept = false) {
        QTest::newRow(name) << QString::fromLatin1(setup) << path << int(mode) << problem << kept;
    };
    const auto append = CardWriter::Mode::Append;
    const auto extend = CardWriter::Mode::Extend;
    row("file is a link, written", "file link", "P/f.bin", append, CardResult::None);
    row("file is a link, extended", "file link", "P/f.bin", extend, CardResult::NotAFile);
    row("folder is a link, written", "folder link", "P/f.bin", append, CardResult::None);
    row("folder is a link, extended", "folder link", "P/f.bin", extend, CardResult::NotAFile);
    // A hard link shares its bytes with a file outside: written in place, it
    // would change that file.
    row("file has a name outside, written", "hard link", "P/f.bin", append, CardResult::None);
    row("file has a name outside, truncated", "hard link", "P/f.bin", CardWriter::Mode::Truncate,
        CardResult::None);
    row("file has a name outside, extended", "hard link", "P/f.bin", extend, CardResult::NotAFile);
    // Which paths leave the card is the file list's table; here only that
    // opening one is refused.
    row("parent", "", "P/../../outside/target", append, CardResult::BadPath);
    row("card gone", "card gone", "P/f.bin", append, CardResult::CardGone);
    row("another card", "another card", "P/f.bin", append, CardResult::AnotherCard);
    // The same ENCRYPT.TXT on another file system (a copy of the card, or
    // the computer's disk under a mount point) is not the card.
    row("copy of the card elsewhere", "copy elsewhere", "P/f.bin", append, CardResult::CardGone);
    row("media file is a link", "media link", "P/f.bin", append, CardResult::CardGone);
    // Each folder of a deep path is opened from its parent; the open ones
    // serve the next file, but only on the card they were opened on.
    const QString deep = QStringLiteral("P/") + QStringLiteral("d/").repeated(300) + QStringLiteral("f.bin");
    row("deep path", "", deep, append, CardResult::None);
    row("deep path, folders kept", "", deep, append, CardResult::None, true);
    // The folder kept open is the one written to, wherever it went; never a
    // link put in its place.
    row("deep folder replaced by a link, folders kept", "deep link", deep, append, CardResult::None, true);
    row("card replaced at its place, folders kept", "card replaced", "P/f.bin", append, CardResult::None, true);
    row("folder removed, folders kept", "folder removed", "P/f.bin", append, CardResult::None, true);
    // An open just before confirmed the card in full; that stands only
    // while the root is the very folder confirmed, and only for a moment.
    row("another card put in its place just after a confirmation", "card swapped", "P/f.bin", append,
        CardResult::AnotherCard, true);
    row("another card a while after a confirmation", "another card later", "P/f.bin", append,
        CardResult::AnotherCard, true);
    // Walked on from the deepest kept folder that holds the path, not from
    // the root again.
    row("deep folder replaced by a link, its parent kept", "deep link, parent kept", deep, append, CardResult::None, true);
    row("card gone, folders kept", "card gone", "P/f.bin", append, CardResult::CardGone, true);
    // A file of the card where the path needs a folder: left, and said so.
    row("file where a folder belongs", "file for folder", "P/f.bin", append, CardResult::NotAFile);
    // One file the system will not let anyone change, on a writable card.
    row("file protected", "immutable", "P/f.bin", append, CardResult::CardReadOnly);
}

void TestCardWriter::neverWritesOutsideTheCard()
{
    QFETCH(QString, setup);
    QFETCH(QString, path);
    QFETCH(int, mode);
    QFETCH(int, problem);
    QFETCH(bool, kept);

    const CardWriter writer(CardIdentity::fromRoot(card));
    QVERIFY(writer.identity().isValid());
    CardFolders folders;
    const QString folder = QFileInfo(path).path();
    if (kept) {
        const QString keptFolder = setup.endsWith(QLatin1String("parent kept")) ? QFileInfo(folder).path() : folder;
        CardFile sibling;
        QVERIFY(writer.open(keptFolder + QStringLiteral("/sibling.bin"), CardWriter::Mode::Append, &sibling, &folders).ok());
        QVERIFY(folders.size() > 0);
    }
    bool mounted = false;
    const auto unmount = qScopeGuard([&] {
        if (mounted)
            run(QStringLiteral("umount"), { card });
    });
    // Whatever fails below, the folder must go at the end.
    const auto unprotect = qScopeGuard([&] {
        if (setup == QLatin1String("immutable"))
            run(QStringLiteral("chattr"), { QStringLiteral("-i"), card + QStringLiteral("/P/f.bin") });
    });
    if (setup.startsWith(QLatin1String("deep link"))) {
        // Half-way down, the folder is moved away and a link to outside
        // takes its place.
        const QString middle = card + QStringLiteral("/P/") + QStringLiteral("d/").repeated(150);
        QVERIFY(QDir().rename(middle, card + QStringLiteral("/moved")));
        QVERIFY(QFile::link(outside, middle.chopped(1)));
        writeFile(outside + QStringLiteral("/") + QStringLiteral("d/").repeated(150) + QStringLiteral("f.bin"), "outside");
    } else if (setup == QLatin1String("folder removed")) {
        QVERIFY(QDir(card + QStringLiteral("/P")).removeRecursively());
    } else if (setup == QLatin1String("card replaced")) {
        QVERIFY(QDir().rename(card, root->filePath(QStringLiteral("old card"))));
        writeFile(card + QStringLiteral("/ENCRYPT.TXT"), mediaText);
    } else if (setup == QLatin1String("copy elsewhere")) {
        if (!(mounted = mountSmallCard(card)))
            QSKIP("cannot mount a small file system here");
        writeFile(card + QStringLiteral("/ENCRYPT.TXT"), mediaText);
    } else if (setup == QLatin1String("file link")) {
        QDir(card).mkdir(QStringLiteral("P"));
        QVERIFY(QFile::link(outside + QStringLiteral("/target"), card + QStringLiteral("/P/f.bin")));
    } else if (setup == QLatin1String("hard link")) {
        QDir(card).mkdir(QStringLiteral("P"));
        writeFile(outside + QStringLiteral("/target"), "outside the card");
        QVERIFY(::link(QFile::encodeName(outside + QStringLiteral("/target")).constData(),
                       QFile::encodeName(card + QStringLiteral("/P/f.bin")).constData())
                == 0);
    } else if (setup == QLatin1String("folder link")) {
        QVERIFY(QFile::link(outside, card + QStringLiteral("/P")));
        writeFile(outside + QStringLiteral("/f.bin"), "outside the card");
    } else if (setup == QLatin1String("card gone")) {
        QVERIFY(QDir(card).removeRecursively());
    } else if (setup == QLatin1String("card swapped")) {
        QVERIFY(QDir().rename(card, root->filePath(QStringLiteral("old card"))));
        writeFile(card + QStringLiteral("/ENCRYPT.TXT"), QByteArray(mediaText).replace("W1", "W2"));
    } else if (setup.startsWith(QLatin1String("another card"))) {
        if (setup.endsWith(QLatin1String("later")))
            QThread::msleep(CardWriter::confirmInterval + 50);
        writeFile(card + QStringLiteral("/ENCRYPT.TXT"), QByteArray(mediaText).replace("W1", "W2"));
    } else if (setup == QLatin1String("file for folder")) {
        writeFile(card + QStringLiteral("/P"), "a file of the card");
    } else if (setup == QLatin1String("immutable")) {
        writeFile(card + QStringLiteral("/P/f.bin"), "protected");
        if (!run(QStringLiteral("chattr"), { QStringLiteral("+i"), card + QStringLiteral("/P/f.bin") }))
            QSKIP("cannot protect a file here");
    } else if (setup == QLatin1String("media link")) {
        writeFile(outside + QStringLiteral("/ENCRYPT.TXT"), mediaText);
        QVERIFY(QFile::remove(card + QStringLiteral("/ENCRYPT.TXT")));
        QVERIFY(QFile::link(outside + QStringLiteral("/ENCRYPT.TXT"), card + QStringLiteral("/ENCRYPT.TXT")));
    }
    const auto before = snapshot(outside);
    if (setup == QLatin1String("hard link")) {
        // Neither kept nor resumed: what the jobs plan from fetches it anew.
        QHash<QString, CardWriter::Facts> facts;
        QVERIFY(writer.survey({path}, &facts).ok());
        QVERIFY(facts.value(path).exists && !facts.value(path).regular);
    }

    CardFile file;
    const CardResult result = writer.open(path, CardWriter::Mode(mode), &file, kept ? &folders : nullptr);
    QCOMPARE(int(result.problem()), problem);
    if (result.ok()) {
        QVERIFY(file.write(QByteArray("on the card")).ok());
        QVERIFY(file.close().ok());
        const QFileInfo written(setup.startsWith(QLatin1String("deep link"))
                ? card + QStringLiteral("/moved/") + QStringLiteral("d/").repeated(150) + QStringLiteral("f.bin")
                : card + QLatin1Char('/') + path);
        QVERIFY(!written.isSymLink() && written.isFile());
        QVERIFY(!QFileInfo(written.absolutePath()).isSymLink());
        QCOMPARE(readAll(written.absoluteFilePath()), QByteArray("on the card"));
    }
    if (problem == CardResult::CardGone)
        QCOMPARE(result.message(), QStringLiteral("Please insert SD card."));
    if (problem == CardResult::AnotherCard)
        QVERIFY2(result.message().contains(QLatin1String("Put the chosen card back")), qPrintable(result.message()));
    if (setup == QLatin1String("file for folder")) {
        QVERIFY2(result.message().contains(QLatin1String("a file stands where a folder on its path belongs")),
                 qPrintable(result.message()));
        QCOMPARE(readAll(card + QStringLiteral("/P")), QByteArray("a file of the card"));
    }
    if (setup == QLatin1String("immutable")) {
        // Named, not blamed on a lock alone; and left as it was.
        QVERIFY2(result.message().startsWith(QLatin1String("\"P/f.bin\" on the SD card cannot be written")),
                 qPrintable(result.message()));
        QCOMPARE(readAll(card + QStringLiteral("/P/f.bin")), QByteArray("protected"));
    }
    // Nothing outside changed, and a card that has gone is not made again.
    QCOMPARE(snapshot(outside), before);
    if (setup == QLatin1String("card gone"))
        QVERIFY(!QFileInfo::exists(card));
    if (setup == QLatin1String("card replaced") || setup == QLatin1String("card swapped"))
        QVERIFY(!QFileInfo::exists(root->filePath(QStringLiteral("old card/P/f.bin"))));
    if (setup == QLatin1String("card swapped"))
        QVERIFY(!QFileInfo::exists(card + QStringLiteral("/P")));
}

void TestCardWriter::fileOnPath_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("passable"); // a file the caller will have removed first
    QTest::addColumn<QString>("blocker");  // empty: every folder can be made

    QTest::newRow("folders missing") << "" << "" << "";
    QTest::newRow("a file where a folder belongs") << "file P/d" << "" << "P/d";
    QTest::newRow("a file higher up") << "file P" << "" << "P";
    QTest::newRow("a file that goes first") << "file P/d" << "P/d" << "";
    // Writing replaces a link with a folder of the card's own.
    QTest::newRow("a link where a folder belongs") << "link P/d" << "" << "";
}

void TestCardWriter::fileOnPath()
{
    QFETCH(QString, setup);
    QFETCH(QString, passable);
    QFETCH(QString, blocker);

    const QString at = card + QLatin1Char('/') + setup.section(QLatin1Char(' '), 1);
    if (setup.startsWith(QLatin1String("file ")))
        writeFile(at, "the user's");
    else if (setup.startsWith(QLatin1String("link ")))
        QVERIFY(QDir().mkpath(QFileInfo(at).path()) && QFile::link(outside, at));
    const CardWriter writer(CardIdentity::fromRoot(card));
    const CardResult result = writer.fileOnPath({ QStringLiteral("Q"), QStringLiteral("P/d/e") },
        passable.isEmpty() ? QSet<QString>() : QSet<QString> { passable });
    QCOMPARE(result.path(), blocker);
    QCOMPARE(result.problem(), blocker.isEmpty() ? CardResult::None : CardResult::NotAFile);
}

// A real small file system, so the system's own errors reach the writer: a
// whole file that does not fit leaves the old one, and bytes that fill the
// card to its last block with no room for their trailer are not complete.
void TestCardWriter::fullCard()
{
    if (!mountSmallCard(card))
        QSKIP("cannot mount a small file system here");
    const auto unmount = qScopeGuard([this] { run(QStringLiteral("umount"), { card }); });
    writeFile(card + QStringLiteral("/ENCRYPT.TXT"), mediaText);
    writeFile(card + QStringLiteral("/vmid"), "old list");
    const auto writer = std::make_shared<const CardWriter>(CardIdentity::fromRoot(card));

    const CardResult whole = writer->writeWholeFile(QStringLiteral("vmid"), { QByteArray(256 * 1024, 'n') });
    QCOMPARE(whole.problem(), CardResult::CardFull);
    QVERIFY2(whole.message().startsWith(QStringLiteral("The SD card is full")), qPrintable(whole.message()));
    QCOMPARE(readAll(card + QStringLiteral("/vmid")), QByteArray("old list"));
    QCOMPARE(QDir(card).entryList(QDir::Files, QDir::Name), (QStringList { "ENCRYPT.TXT", "vmid" }));

    QVERIFY(QDir(card).mkpath(QStringLiteral("P")));
    struct statvfs fs;
    QCOMPARE(::statvfs(QFile::encodeName(card).constData(), &fs), 0);
    const QByteArray bytes = pattern(5, qint64(fs.f_bavail) * qint64(fs.f_frsize));
    QVERIFY(!bytes.isEmpty());
    const ChunkWriter::File file { QStringLiteral("P/f.bin"), bytes.size(),
        QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex(), "TAIL" };
    ChunkWriter chunks;
    chunks.setCardWriter(writer);
    QVERIFY(chunks.append(file, 0, bytes.constData(), bytes.size(), true).written);
    const ChunkWriter::Result end = chunks.finish(file);
    QCOMPARE(end.ending, ChunkWriter::Ending::CardProblem);
    QCOMPARE(end.card.problem(), CardResult::CardFull);
}

void TestCardWriter::listingIsBounded()
{
    for (int i = 0; i < 5; ++i)
        writeFile(card + QStringLiteral("/P/f%1").arg(i), "x");
    QDir(card).mkpath(QStringLiteral("P/sub"));
    QVERIFY(QFile::link(outside + QStringLiteral("/target"), card + QStringLiteral("/P/link")));
    const CardWriter writer(CardIdentity::fromRoot(card));
    QStringList names;
    QVERIFY(writer.listFiles(QStringLiteral("P"), 5, &names).ok());
    names.sort();
    QCOMPARE(names, (QStringList { "f0", "f1", "f2", "f3", "f4" }));
    QVERIFY(!writer.listFiles(QStringLiteral("P"), 4, &names).ok());
    QVERIFY(writer.listFiles(QStringLiteral("none"), 4, &names).ok() && names.isEmpty());
}

// strace shows the order in which the calls reach the kernel: the bytes of
// the new file are synced before it takes the old name, and the folder
// after that, so a power cut leaves the old file or the whole new one.
void TestCardWriter::wholeFileReachesTheMediumBeforeItsName()
{
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        QSKIP("strace is not installed");
    QProcess traced;
    Kit::dieWithParent(traced);
    traced.setProcessEnvironment(Kit::tracedEnvironment());
    traced.start(strace,
        { QStringLiteral("-f"), QStringLiteral("-e"),
            QStringLiteral("trace=openat,write,fdatasync,fsync,syncfs,renameat,renameat2,fcntl,fadvise64,pread64"),
            QCoreApplication::applicationFilePath(), QStringLiteral("child"), card });
    QVERIFY(traced.waitForFinished(60000));
    QCOMPARE(traced.exitCode(), 0);
    const QStringList lines = QString::fromUtf8(traced.readAllStandardError()).split(QLatin1Char('\n'));
    const auto find = [&](const QString &pattern, int from) {
        for (int i = qMax(from, 0); i < lines.size(); ++i)
            if (lines.at(i).contains(pattern))
                return i;
        return -1;
    };
    const int written = find(QStringLiteral("write("), find(QStringLiteral(".qdtmp"), 0));
    const int synced = find(QStringLiteral("fdatasync("), written);
    const int renamed = find(QStringLiteral("\"vmid\""), synced);
    const int folderSynced = find(QStringLiteral("fsync("), renamed);
    QVERIFY2(written >= 0 && synced > written && renamed > synced && folderSynced > renamed,
        qPrintable(lines.join(QLatin1Char('\n'))));
    // A file moved into place (an RQ segment): its folder is synced after.
    const int moved = find(QStringLiteral("\"seg\""), folderSynced);
    QVERIFY2(moved > 0 && find(QStringLiteral("fsync("), moved) > moved,
        qPrintable(lines.join(QLatin1Char('\n'))));
    // Read back past the page cache: directly where the file system allows,
    // else with the file's pages dropped first.
    const int reopened = find(QStringLiteral("\"seg\", O_RDONLY"), moved);
    const int direct = find(QStringLiteral("O_DIRECT"), reopened);
    const int dropped = find(QStringLiteral("POSIX_FADV_DONTNEED"), reopened);
    const int past = direct > reopened ? direct : dropped;
    QVERIFY2(reopened > moved && past > reopened && find(QStringLiteral("pread64("), past) > past,
        qPrintable(lines.join(QLatin1Char('\n'))));
    // A downloaded file counts once a flush of the card that began after its
    // last byte has ended: the child marks the moment finish() returned.
    const int tileWritten = find(QStringLiteral("write("), find(QStringLiteral("\"tile.bin\""), past));
    const int cardFlushed = find(QStringLiteral("syncfs("), tileWritten);
    const int finished = find(QStringLiteral("\"finished\""), tileWritten);
    QVERIFY2(tileWritten > 0 && cardFlushed > tileWritten && finished > cardFlushed,
        qPrintable(lines.join(QLatin1Char('\n'))));
}

// Writers that end together share flushes, and none is told its bytes are
// on the medium before a flush that began after it asked has ended; a
// failed flush is told to every writer it covered.
void TestCardWriter::sharedFlushCoversEveryEarlierWrite_data()
{
    QTest::addColumn<bool>("failing");
    QTest::addColumn<int>("flushMs"); // how long the card takes to flush
    QTest::newRow("flushes succeed") << false << 20;
    QTest::newRow("a flush fails") << true << 20;
    // Writers ending a millisecond or two apart still share flushes when
    // each flush returns at once.
    QTest::newRow("instant flushes") << false << 0;
}

void TestCardWriter::sharedFlushCoversEveryEarlierWrite()
{
    QFETCH(bool, failing);
    QFETCH(int, flushMs);
    std::atomic<qint64> clock{0};
    std::mutex lock;
    QList<QPair<qint64, qint64>> flushes; // began, ended
    std::atomic_int flushNumber{0};
    GroupCommit group([&] {
        const qint64 began = ++clock;
        QThread::msleep(flushMs);
        const int number = ++flushNumber;
        const std::lock_guard<std::mutex> held(lock);
        flushes.append({began, ++clock});
        return failing && number == 2 ? CardResult::failure(CardResult::Failed, QString(), QStringLiteral("EIO"))
                                      : CardResult();
    });
    constexpr int writers = 8;
    constexpr int rounds = 5;
    QList<QPair<qint64, qint64>> asked; // asked, told
    QList<bool> told;
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            for (int r = 0; r < rounds; ++r) {
                QThread::msleep(1 + (w * 7 + r * 3) % 3);
                const qint64 at = ++clock;
                const bool ok = group.flushCovering().ok();
                const qint64 back = ++clock;
                const std::lock_guard<std::mutex> held(lock);
                asked.append({at, back});
                told.append(ok);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QCOMPARE(asked.size(), writers * rounds);
    QVERIFY2(flushes.size() < writers * rounds / 2, qPrintable(QString::number(flushes.size())));
    QCOMPARE(group.flushes(), quint64(flushes.size()));
    int failures = 0;
    for (int i = 0; i < asked.size(); ++i) {
        // The flush that covers a writer began after it asked and ended
        // before it was told; success is told only for one that succeeded.
        // (A writer noted as asking just before the failed flush began may
        // have reached the group just after: the next flush is its own.)
        bool covered = false;
        bool bySuccess = false;
        for (int f = 0; f < flushes.size(); ++f) {
            if (flushes.at(f).first > asked.at(i).first && flushes.at(f).second < asked.at(i).second) {
                covered = true;
                bySuccess |= !(failing && f == 1);
            }
        }
        QVERIFY2(covered, qPrintable(QStringLiteral("writer %1 told before a flush covered it").arg(i)));
        if (told.at(i))
            QVERIFY2(bySuccess, "a failed flush was told as success");
        failures += told.at(i) ? 0 : 1;
    }
    QCOMPARE(failures > 0, failing);
}

Q_DECLARE_METATYPE(CardFilesystem::Kind)

void TestCardWriter::readBack_data()
{
    QTest::addColumn<QByteArray>("onCard"); // what the card holds ("<link>": a link to a file outside)
    QTest::addColumn<QByteArray>("written"); // what was written: its bytes, then its trailer
    QTest::addColumn<int>("trailer");
    QTest::addColumn<bool>("wholeFile");
    QTest::addColumn<int>("problem");
    QTest::addColumn<QString>("why");
    // Judged by the digest of the bytes as they were written (these bytes),
    // not by the list's SHA-1; empty: by the SHA-1.
    QTest::addColumn<QByteArray>("asWritten");

    const QByteArray bytes = QByteArray(3 * 1048576 + 5, 'b').replace(1048576, 1, "X");
    const QByteArray trailer = "END-OF-CHART\n";
    const QByteArray written = bytes + trailer;
    QByteArray flipped = written;
    flipped[2 * 1048576 + 3] = 'c';
    const auto row = [&](const char *name, const QByteArray &onCard, bool wholeFile, int problem,
                         const char *why = "", const QByteArray &asWritten = QByteArray()) {
        QTest::newRow(name) << onCard << written << int(trailer.size()) << wholeFile << problem
                            << QString::fromLatin1(why) << asWritten;
    };
    row("as written, pieces and an uneven end", written, true, CardResult::None);
    row("a byte changed", flipped, true, CardResult::NotKept, "SHA-1");
    row("cut short", bytes.left(1048576), true, CardResult::NotKept, "bytes instead of");
    row("trailer changed", bytes + "END-OF-CHARX\n", true, CardResult::NotKept, "last");
    // Proven by a check in the run, not written: only the trailer is read,
    // from an offset that is not on a block boundary.
    row("proven, trailer as written", flipped.left(bytes.size()) + trailer, false, CardResult::None);
    row("proven, trailer lost", bytes, false, CardResult::NotKept, "bytes instead of");
    row("as written, by the written digest", written, true, CardResult::None, "", bytes);
    row("a byte changed, by the written digest", flipped, true, CardResult::NotKept, "differ from those written",
        bytes);
    // The card holds the list's bytes, but not those this run wrote.
    row("not what was written, by the written digest", written, true, CardResult::NotKept,
        "differ from those written", flipped.left(bytes.size()));
    row("missing", "<missing>", true, CardResult::Failed, "No such file");
    QTest::newRow("empty") << QByteArray() << QByteArray() << 0 << true << int(CardResult::None) << QString()
                           << QByteArray();
    // Its target holds what was written: only not following the link refuses it.
    QTest::newRow("a link") << QByteArray("<link>") << QByteArray("outside the card") << 0 << true
                            << int(CardResult::NotAFile) << QString() << QByteArray();
}

void TestCardWriter::readBack()
{
    QFETCH(QByteArray, onCard);
    QFETCH(QByteArray, written);
    QFETCH(int, trailer);
    QFETCH(bool, wholeFile);
    QFETCH(int, problem);
    QFETCH(QString, why);
    QFETCH(QByteArray, asWritten);

    const CardWriter writer(CardIdentity::fromRoot(card));
    const QString path = QStringLiteral("P/f.bin");
    if (onCard == "<link>") {
        QDir(card).mkdir(QStringLiteral("P"));
        QVERIFY(QFile::link(outside + QStringLiteral("/target"), card + QLatin1Char('/') + path));
    } else if (onCard != "<missing>") {
        writeFile(card + QLatin1Char('/') + path, onCard);
    }
    const qint64 size = written.size() - trailer;
    ReadbackVerifier::Item item { path, size,
        QCryptographicHash::hash(written.left(size), QCryptographicHash::Sha1).toHex(), written.mid(size),
        wholeFile };
    if (!asWritten.isEmpty())
        item.written = ContentDigest::of(asWritten.constData(), asWritten.size());
    qint64 lastProgress = -1;
    const CardResult result
        = ReadbackVerifier::verify(writer, item, nullptr, [&](qint64 read) { lastProgress = read; });
    QVERIFY2(int(result.problem()) == problem, qPrintable(result.detail()));
    QVERIFY2(result.detail().contains(why), qPrintable(result.detail()));
    if (problem == CardResult::NotKept) {
        QVERIFY2(result.message().contains(QLatin1String("did not keep what was written"))
                && result.message().contains(QLatin1String("faulty or counterfeit")),
            qPrintable(result.message()));
        QCOMPARE(result.path(), path);
    }
    if (problem == CardResult::None && !onCard.isEmpty())
        QCOMPARE(lastProgress, wholeFile ? qint64(onCard.size()) : qint64(trailer));
}

void TestCardWriter::filesystemKind_data()
{
    QTest::addColumn<qint64>("magic");
    QTest::addColumn<QString>("mountType");
    QTest::addColumn<QByteArray>("boot");
    QTest::addColumn<CardFilesystem::Kind>("kind");

    using K = CardFilesystem::Kind;
    const qint64 fuse = 0x65735546;
    const QByteArray exFat = bootSector(3, "EXFAT   ");
    QTest::newRow("kernel vfat") << qint64(0x4d44) << QString() << QByteArray() << K::Fat;
    QTest::newRow("ext4") << qint64(0xEF53) << QString() << QByteArray() << K::Other;
    QTest::newRow("fuse.exfat") << fuse << QStringLiteral("fuse.exfat") << QByteArray() << K::ExFat;
    QTest::newRow("fuse.sshfs") << fuse << QStringLiteral("fuse.sshfs") << exFat << K::Other;
    QTest::newRow("fuseblk, exFAT sector") << fuse << QStringLiteral("fuseblk") << exFat << K::ExFat;
    QTest::newRow("fuseblk, FAT32 sector")
        << fuse << QStringLiteral("fuseblk") << bootSector(82, "FAT32   ") << K::Fat;
    QTest::newRow("fuseblk, NTFS sector")
        << fuse << QStringLiteral("fuseblk") << bootSector(3, "NTFS    ") << K::Other;
    QTest::newRow("fuseblk, no boot signature")
        << fuse << QStringLiteral("fuseblk") << exFat.left(510) + QByteArray(2, '\0') << K::Unknown;
}

void TestCardWriter::filesystemKind()
{
    QFETCH(qint64, magic);
    QFETCH(QString, mountType);
    QFETCH(QByteArray, boot);
    QFETCH(CardFilesystem::Kind, kind);
    QCOMPARE(CardFilesystem::fromMagic(magic, mountType, boot), kind);
    if (mountType.isEmpty())
        return;

    // The mount entry is found by the device of the card's root; a source
    // with a blank in it comes back whole.
    const QByteArray mountInfo = "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                 "44 22 0:39 / /media/my\\040card rw,relatime shared:3 - "
        + mountType.toLatin1() + " /dev/my\\040card rw,blksize=4096\n";
    QString type;
    QString source;
    QVERIFY(CardFilesystem::findMount(mountInfo, "0:39", &type, &source));
    QCOMPARE(type, mountType);
    QCOMPARE(source, QStringLiteral("/dev/my card"));
    QVERIFY(!CardFilesystem::findMount(mountInfo, "0:40", &type, &source));
}

void TestCardWriter::mediaIdFromContent_data()
{
    const QString sep = QString::fromLatin1(Kit::mediaSeparator);
    QTest::addColumn<QString>("content");
    QTest::addColumn<QString>("mediaId");

    QTest::newRow("plain") << "head" + sep + "ABC123" + sep + "tail" << QStringLiteral("ABC123");
    QTest::newRow("blanks simplified") << sep + "\r\n\tXY\n  Z\r\n" + sep << QStringLiteral("XY Z");
    QTest::newRow("one separator") << "a" + sep + "b" << QString();
    QTest::newRow("three separators") << "a" + sep + "b" + sep + "c" + sep + "d" << QString();
    QTest::newRow("blank middle") << "a" + sep + "  \n " + sep + "b" << QString();
    QTest::newRow("four hyphens before")
        << "a----Trelmarkholding---media---001-----b" + sep + "c" << QString();
    QTest::newRow("unicode kept") << "a" + sep + QStringLiteral("Kärtchen ✓") + sep
                                  << QStringLiteral("Kärtchen ✓");
}

void TestCardWriter::mediaIdFromContent()
{
    QFETCH(QString, content);
    QTEST(::mediaIdFromContent(content), "mediaId");
}

void TestCardWriter::vmidItemNumber_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("itemNumber");

    QTest::newRow("first line only") << QByteArray("  VM  12 \r\nsecond line\n") << QStringLiteral("VM 12");
    QTest::newRow("no line break") << QByteArray("TV-9") << QStringLiteral("TV-9");
    QTest::newRow("empty first line") << QByteArray("\nVM-1\n") << QString();
    QTest::newRow("no file") << QByteArray() << QString();
    QTest::newRow("utf-8") << QByteArray("S\xc3\xb8 1\n") << QStringLiteral("Sø 1");
}

void TestCardWriter::vmidItemNumber()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir card;
    if (!bytes.isNull())
        writeFile(card.filePath(QStringLiteral("vmid")), bytes);
    QTEST(::vmidItemNumber(card.path()), "itemNumber");
}

void TestCardWriter::cardIdentity_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content"); // "<fifo>": a named pipe
    QTest::addColumn<QString>("mediaId"); // empty: not a card

    const QByteArray good = Kit::mediaText("CARD-1");
    const QString id = QStringLiteral("CARD-1");
    const QString media = QStringLiteral("ENCRYPT.TXT");
    QTest::newRow("capitals") << media << good << id;
    QTest::newRow("lower case") << QStringLiteral("encrypt.txt") << good << id;
    QTest::newRow("backup copy") << QStringLiteral("ENCRYPT.TXT.bak") << good << QString();
    QTest::newRow("no media id") << media << QByteArray("just text") << QString();
    QTest::newRow("at the size limit") << media << good + QByteArray((1 << 20) - good.size(), ' ') << id;
    QTest::newRow("past the size limit") << media << good + QByteArray(1 << 20, ' ') << QString();
    // A media file that is a link is the writer's row: it will not write to such a card.
    QTest::newRow("pipe") << media << QByteArray("<fifo>") << QString();
}

void TestCardWriter::cardIdentity()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, mediaId);

    QTemporaryDir card;
    const QString path = card.filePath(name);
    if (content == "<fifo>")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else
        writeFile(path, content);
    const CardIdentity byFile = CardIdentity::fromMediaFile(path);
    QCOMPARE(byFile.rawMediaId(), mediaId);
    QCOMPARE(byFile.isValid(), !mediaId.isEmpty());
    if (mediaId.isEmpty())
        return;
    QCOMPARE(byFile.mediaText(), QString::fromUtf8(content));
    const CardIdentity byRoot = CardIdentity::fromRoot(card.path());
    QVERIFY(byRoot.sameCard(byFile));
    QVERIFY(byFile.stillPresent());
}

// Every write to a watched folder is an event; a job that woke for each
// spent more on its wake-ups than the transfers did. Waking is gathered,
// and a drain still hands over every change, in any case.
void TestCardWriter::changesWakeTheJobSeldomAndAllArrive()
{
    const CardWriter writer(CardIdentity::fromRoot(card));
    ChangeMonitor monitor;
    QVERIFY(QDir(card).mkpath(QStringLiteral("P")));
    QVERIFY(monitor.watchFolderOf(writer, QStringLiteral("P/a.bin")));
    QSet<QString> seen;
    int wakes = 0;
    connect(&monitor, &ChangeMonitor::eventsPending, this, [&] {
        ++wakes;
        for (const QString &changed : monitor.drain().changed)
            seen.insert(changed);
    });

    // A change every 2 ms for 300 ms, as the transfers make them.
    const int changes = 150;
    int made = 0;
    QElapsedTimer clock;
    clock.start();
    QTimer writing;
    writing.setInterval(2);
    connect(&writing, &QTimer::timeout, this, [&] {
        writeFile(card + QStringLiteral("/P/f%1.bin").arg(made), "x");
        if (++made == changes)
            writing.stop();
    });
    writing.start();
    QTRY_COMPARE_WITH_TIMEOUT(made, changes, 20000);
    const qint64 took = clock.elapsed();
    QTest::qWait(3 * ChangeMonitor::gatherFor);
    QVERIFY2(wakes <= took / ChangeMonitor::gatherFor + 2,
        qPrintable(QStringLiteral("%1 wake-ups in %2 ms").arg(wakes).arg(took)));
    QVERIFY(wakes >= 1);
    for (const QString &changed : monitor.drain().changed)
        seen.insert(changed);
    for (int i = 0; i < changes; ++i)
        QVERIFY2(seen.contains(QStringLiteral("P/f%1.bin").arg(i)), qPrintable(QString::number(i)));
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("child")) {
        const CardWriter writer(CardIdentity::fromRoot(app.arguments().value(2)));
        return writer.writeWholeFile(QStringLiteral("vmid"), { "VM-1\r\n{}" }).ok()
                && writer.writeWholeFile(QStringLiteral("seg.part"), { "bytes" }).ok()
                && writer.rename(QStringLiteral("seg.part"), QStringLiteral("seg")).ok()
                && writer.readBack(QStringLiteral("seg"), 0, [](const char *, qint64) {}).ok()
                && writeTile(writer) && writer.writeWholeFile(QStringLiteral("finished"), { "" }).ok()
            ? 0
            : 1;
    }
    TestCardWriter test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_cardwriter.moc"
