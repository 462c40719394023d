// Only removable cards are offered, found when put in and missed the moment
// they are taken out, by their identity rather than their path: another card
// at the same place is another card.
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "card/cardwatcher.h"
#include "card/removablemedia.h"
#include "card/sysfsblockdevice.h"
#include "fakeudisks.h"
#include "testkit.h"

namespace {

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished() && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

// What the watcher reported, in order: "+ID" for a card found, "-ID" for one
// gone, "lost ID" and "back ID" for the chosen card; only cards under `root`
// when one is given (other tests may mount cards of their own meanwhile).
void record(CardWatcher *watcher, QStringList *events, const QString &root = QString())
{
    const auto as = [events, root](const char *what) {
        return [events, root, what](const CardIdentity &card) {
            if (root.isEmpty() || card.root() == root)
                *events << QLatin1String(what) + card.rawMediaId();
        };
    };
    QObject::connect(watcher, &CardWatcher::cardAppeared, as("+"));
    QObject::connect(watcher, &CardWatcher::cardRemoved, as("-"));
    QObject::connect(watcher, &CardWatcher::chosenCardLost, as("lost "));
    QObject::connect(watcher, &CardWatcher::chosenCardBack, as("back "));
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// A sysfs tree with one block device, as the kernel lays it out:
// dev/block/MAJ:MIN links to the device's folder in the devices tree; a
// partition is a folder inside its disk's, marked by a "partition" file.
// An MMC disk's "device" link leads to the card, whose "type" says SD or MMC.
void layBlockDevice(const QString &root, dev_t device, const QString &diskFolder, const QByteArray &removable,
                    bool partition, const QByteArray &mmcType = QByteArray())
{
    const QString disk = root + QLatin1Char('/') + diskFolder;
    QString target = diskFolder;
    writeFile(disk + QStringLiteral("/removable"), removable + '\n');
    writeFile(disk + QStringLiteral("/size"), "15523840\n");
    if (partition) {
        const QString name = diskFolder.section(QLatin1Char('/'), -1) + QLatin1Char('1');
        writeFile(disk + QLatin1Char('/') + name + QStringLiteral("/partition"), "1\n");
        target += QLatin1Char('/') + name;
    }
    if (!mmcType.isEmpty()) {
        QFile::link(QStringLiteral("../.."), disk + QStringLiteral("/device"));
        writeFile(QFileInfo(disk + QStringLiteral("/../../type")).absoluteFilePath(), mmcType + '\n');
    }
    QDir().mkpath(root + QStringLiteral("/dev/block"));
    QFile::link(QStringLiteral("../../") + target,
                root + QStringLiteral("/dev/block/%1:%2").arg(major(device)).arg(minor(device)));
}

const QString usbDisk = QStringLiteral(
    "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb");
const QString sataDisk = QStringLiteral(
    "devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda");
const QString mmcDisk = QStringLiteral(
    "devices/pci0000:00/0000:00:1c.0/0000:02:00.0/mmc_host/mmc0/mmc0:aaaa/block/mmcblk0");

} // namespace

class TestCardWatcher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cardsComeAndGo();
    void chosenCardLostAndBack();
    void offeringRules_data();
    void offeringRules();
    void sysfsJudgement_data();
    void sysfsJudgement();
    void diskServiceOffers_data();
    void diskServiceOffers();
    void diskServiceFollowsMounts();
    void mountTableWithoutDiskService_data();
    void mountTableWithoutDiskService();

private:
    QString cardRoot(const QString &name) const;

    FakeUDisks udisks;
    QString busProblem;
    std::unique_ptr<QTemporaryDir> bays;
    // Mount points the fake service reports; not watched as folders.
    std::unique_ptr<QTemporaryDir> mounts;
};

void TestCardWatcher::initTestCase()
{
    if (!udisks.start(&busProblem) && busProblem.isEmpty())
        busProblem = QStringLiteral("no private bus");
}

void TestCardWatcher::init()
{
    bays = std::make_unique<QTemporaryDir>();
    mounts = std::make_unique<QTemporaryDir>();
    QVERIFY(bays->isValid() && mounts->isValid());
    qputenv(CardWatcher::watchDirsVariable, bays->path().toUtf8());
    qputenv(CardWatcher::watchMountsVariable, "0");
    qunsetenv(SysfsBlockDevice::sysfsRootVariable);
    udisks.reset();
}

QString TestCardWatcher::cardRoot(const QString &name) const
{
    QDir().mkpath(mounts->filePath(name));
    return QFileInfo(mounts->filePath(name)).canonicalFilePath();
}

void TestCardWatcher::cardsComeAndGo()
{
    QStringList events;
    CardWatcher watcher;
    QSignalSpy appeared(&watcher, &CardWatcher::cardAppeared);
    record(&watcher, &events);

    // The timer polls on its own.
    watcher.start(20);
    QVERIFY(Kit::writeCard(bays->filePath(QStringLiteral("a")), "CARD-A"));
    QVERIFY(appeared.wait(5000));
    watcher.stop();

    // A folder without a media file, or with a damaged one, is no card; the
    // name is compared without regard to case.
    QVERIFY(QDir().mkpath(bays->filePath(QStringLiteral("stick"))));
    QVERIFY(Kit::writeCard(bays->filePath(QStringLiteral("broken")), "CARD-X" + Kit::mediaSeparator));
    QVERIFY(Kit::writeCard(bays->filePath(QStringLiteral("b")), "CARD-B", QStringLiteral("Encrypt.Txt")));
    watcher.poll();
    // Nothing changed: nothing is reported again.
    watcher.poll();
    QCOMPARE(events, (QStringList { "+CARD-A", "+CARD-B" }));
    QCOMPARE(watcher.cards().size(), 2);

    // Another card in the same slot: the old one leaves, the new one comes.
    QVERIFY(Kit::writeCard(bays->filePath(QStringLiteral("a")), "CARD-C"));
    watcher.poll();
    QVERIFY(QDir(bays->filePath(QStringLiteral("b"))).removeRecursively());
    watcher.poll();
    QCOMPARE(events, (QStringList { "+CARD-A", "+CARD-B", "-CARD-A", "+CARD-C", "-CARD-B" }));
    QCOMPARE(watcher.cards().size(), 1);
    QCOMPARE(watcher.cards().first().rawMediaId(), QStringLiteral("CARD-C"));

    // Reached by a second path as well (a link beside it, sorted first): one
    // card, under its own path, not two to choose from.
    QVERIFY(QFile::link(bays->filePath(QStringLiteral("a")), bays->filePath(QStringLiteral("0-link"))));
    watcher.poll();
    QCOMPARE(events.size(), 5);
    QCOMPARE(watcher.cards().size(), 1);
    QCOMPARE(watcher.cards().first().root(), bays->filePath(QStringLiteral("a")));
}

void TestCardWatcher::chosenCardLostAndBack()
{
    // The chosen card may live anywhere, not only where the watcher looks.
    QTemporaryDir elsewhere;
    const QString root = elsewhere.filePath(QStringLiteral("card"));
    QVERIFY(Kit::writeCard(root, "CHOSEN"));
    QVERIFY(Kit::writeCard(bays->filePath(QStringLiteral("slot")), "OTHER"));
    QStringList events;
    CardWatcher watcher;
    watcher.setChosenCard(CardIdentity::fromRoot(root));
    record(&watcher, &events);
    watcher.poll();

    // The card passed over while another was chosen is offered again the
    // moment the chosen one goes, though it never left its slot.
    QVERIFY(QDir(root).removeRecursively());
    watcher.poll();
    QVERIFY(!watcher.chosenCardPresent());
    watcher.poll();
    // Another card where the chosen one was is not the chosen card.
    QVERIFY(Kit::writeCard(root, "STRANGER"));
    watcher.poll();
    QCOMPARE(events, (QStringList { "+OTHER", "lost CHOSEN", "+OTHER" }));

    QVERIFY(Kit::writeCard(root, "CHOSEN"));
    watcher.poll();
    QCOMPARE(events, (QStringList { "+OTHER", "lost CHOSEN", "+OTHER", "back CHOSEN" }));
    QVERIFY(watcher.chosenCardPresent());
}

void TestCardWatcher::offeringRules_data()
{
    QTest::addColumn<QString>("mountPoint");
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("offered");

    QTest::newRow("card under /media") << "/media/alice/CARD" << "vfat" << true;
    QTest::newRow("card under /run/media") << "/run/media/alice/CARD" << "exfat" << true;
    QTest::newRow("card read through FUSE") << "/media/alice/CARD" << "fuseblk" << true;
    QTest::newRow("card mounted by hand") << "/mnt/card/" << "vfat" << true;
    QTest::newRow("root") << "/" << "ext4" << false;
    QTest::newRow("/boot") << "/boot" << "ext4" << false;
    QTest::newRow("EFI partition") << "/boot/efi" << "vfat" << false;
    QTest::newRow("/home") << "/home" << "ext4" << false;
    QTest::newRow("/usr") << "/usr/" << "ext4" << false;
    QTest::newRow("/var") << "/var" << "xfs" << false;
    QTest::newRow("under /dev") << "/dev/shm" << "tmpfs" << false;
    QTest::newRow("under /sys") << "/sys/fs/pstore" << "pstore" << false;
    QTest::newRow("under /proc") << "/proc/sys/fs/binfmt_misc" << "binfmt_misc" << false;
    QTest::newRow("under /run") << "/run/user/1000" << "tmpfs" << false;
    QTest::newRow("/run/media itself") << "/run/media" << "tmpfs" << false;
    QTest::newRow("NFS share") << "/mnt/charts" << "nfs4" << false;
    QTest::newRow("Windows share") << "/media/share" << "cifs" << false;
    QTest::newRow("sshfs") << "/mnt/boat" << "fuse.sshfs" << false;
    QTest::newRow("automount trigger") << "/mnt/auto" << "autofs" << false;
}

void TestCardWatcher::offeringRules()
{
    QFETCH(QString, mountPoint);
    QFETCH(QString, type);
    QFETCH(bool, offered);
    QCOMPARE(RemovableMedia::mayOffer(mountPoint, type), offered);
}

void TestCardWatcher::sysfsJudgement_data()
{
    QTest::addColumn<QString>("disk");
    QTest::addColumn<QByteArray>("removableFlag");
    QTest::addColumn<bool>("partition");
    QTest::addColumn<QByteArray>("mmcType");
    QTest::addColumn<bool>("removable");

    QTest::newRow("USB disk that says it is fixed") << usbDisk << QByteArray("0") << true << QByteArray() << true;
    QTest::newRow("card reader slot on SATA") << sataDisk << QByteArray("1") << true << QByteArray() << true;
    QTest::newRow("SATA disk") << sataDisk << QByteArray("0") << true << QByteArray() << false;
    QTest::newRow("SATA disk without partitions") << sataDisk << QByteArray("0") << false << QByteArray() << false;
    QTest::newRow("SD card") << mmcDisk << QByteArray("0") << true << QByteArray("SD") << true;
    QTest::newRow("eMMC on the board") << mmcDisk << QByteArray("0") << true << QByteArray("MMC") << false;
    QTest::newRow("loop device") << QStringLiteral("devices/virtual/block/loop0") << QByteArray("0") << false
                                 << QByteArray() << false;
}

void TestCardWatcher::sysfsJudgement()
{
    QFETCH(QString, disk);
    QFETCH(QByteArray, removableFlag);
    QFETCH(bool, partition);
    QFETCH(QByteArray, mmcType);
    QFETCH(bool, removable);

    QTemporaryDir sysfs;
    layBlockDevice(sysfs.path(), makedev(8, 17), disk, removableFlag, partition, mmcType);
    qputenv(SysfsBlockDevice::sysfsRootVariable, sysfs.path().toUtf8());
    QCOMPARE(SysfsBlockDevice::isRemovable(makedev(8, 17)), removable);
    // A device sysfs does not list (tmpfs, overlay) is never removable.
    QVERIFY(!SysfsBlockDevice::isRemovable(makedev(0, 43)));
}

void TestCardWatcher::diskServiceOffers_data()
{
    QTest::addColumn<QString>("drive");
    // Announced after the watcher asked, rather than listed in its answer.
    QTest::addColumn<bool>("later");
    QTest::addColumn<bool>("offered");

    QTest::newRow("card reader slot") << "slot" << false << true;
    QTest::newRow("USB stick put in") << "stick" << true << true;
    QTest::newRow("ejectable drive put in") << "ejectable" << true << true;
    QTest::newRow("computer's own disk") << "fixed" << false << false;
    QTest::newRow("computer's own disk mounted later") << "fixed" << true << false;
    QTest::newRow("loop device") << "none" << false << false;
}

void TestCardWatcher::diskServiceOffers()
{
    if (!busProblem.isEmpty())
        QSKIP(qPrintable(busProblem));
    QFETCH(QString, drive);
    QFETCH(bool, later);
    QFETCH(bool, offered);

    const QString disk = cardRoot(QStringLiteral("disk"));
    const QString witness = cardRoot(QStringLiteral("witness"));
    QVERIFY(Kit::writeCard(disk, "DISK"));
    QVERIFY(Kit::writeCard(witness, "WITNESS"));
    FakeUDisks::Drive kind;
    kind.removable = drive == QLatin1String("stick");
    kind.mediaRemovable = drive == QLatin1String("slot");
    kind.ejectable = drive == QLatin1String("ejectable");
    const QString drivePath = drive == QLatin1String("none") ? QString() : udisks.addDrive(QStringLiteral("drive"), kind);
    FakeUDisks::Drive reader;
    reader.mediaRemovable = true;
    const QString readerPath = udisks.addDrive(QStringLiteral("reader"), reader);
    QVERIFY(udisks.setPresent(true));
    if (!later) {
        udisks.addFileSystem(QStringLiteral("sda1"), drivePath, {disk}, false);
        udisks.addFileSystem(QStringLiteral("sdc1"), readerPath, {witness}, false);
    }

    qputenv(CardWatcher::watchMountsVariable, "1");
    QStringList events;
    CardWatcher watcher;
    QSignalSpy appeared(&watcher, &CardWatcher::cardAppeared);
    record(&watcher, &events);
    // No timer: only the service's answer and signals can tell.
    watcher.start(3600 * 1000);
    if (later) {
        QTRY_VERIFY(udisks.calls.contains(QStringLiteral("GetManagedObjects")));
        udisks.addFileSystem(QStringLiteral("sda1"), drivePath, {disk}, true);
        udisks.addFileSystem(QStringLiteral("sdc1"), readerPath, {witness}, true);
    }
    // The witness, a card in a reader, is heard of after the row's disk.
    QTRY_VERIFY_WITH_TIMEOUT(events.contains(QStringLiteral("+WITNESS")), 10000);
    const QStringList expected = offered ? QStringList {"+DISK", "+WITNESS"} : QStringList {"+WITNESS"};
    QCOMPARE(sorted(events), expected);
    QCOMPARE(udisks.calls, QStringList {"GetManagedObjects"});
}

void TestCardWatcher::diskServiceFollowsMounts()
{
    if (!busProblem.isEmpty())
        QSKIP(qPrintable(busProblem));
    const QString root = cardRoot(QStringLiteral("card"));
    QVERIFY(Kit::writeCard(root, "CARD"));
    FakeUDisks::Drive slot;
    slot.mediaRemovable = true;
    const QString block =
        udisks.addFileSystem(QStringLiteral("mmcblk0p1"), udisks.addDrive(QStringLiteral("slot"), slot), {root}, false);
    QVERIFY(udisks.setPresent(true));

    qputenv(CardWatcher::watchMountsVariable, "1");
    QStringList events;
    CardWatcher watcher;
    record(&watcher, &events);
    // No timer: the card's comings and goings are heard from the service.
    watcher.start(3600 * 1000);
    QTRY_COMPARE(events, QStringList {"+CARD"});

    udisks.setMountPoints(block, {});
    QTRY_COMPARE(events, (QStringList {"+CARD", "-CARD"}));
    udisks.setMountPoints(block, {root});
    QTRY_COMPARE(events, (QStringList {"+CARD", "-CARD", "+CARD"}));

    // Taken out: unmounted, its mount point left empty, the device gone.
    watcher.setChosenCard(CardIdentity::fromRoot(root));
    QVERIFY(QFile::remove(root + QStringLiteral("/ENCRYPT.TXT")));
    udisks.remove(block);
    QTRY_COMPARE(events, (QStringList {"+CARD", "-CARD", "+CARD", "-CARD", "lost CARD"}));
    QCOMPARE(udisks.calls, QStringList {"GetManagedObjects"});
}

void TestCardWatcher::mountTableWithoutDiskService_data()
{
    QTest::addColumn<QString>("disk");
    QTest::addColumn<bool>("offered");

    QTest::newRow("USB disk") << usbDisk << true;
    QTest::newRow("computer's own disk") << sataDisk << false;
}

void TestCardWatcher::mountTableWithoutDiskService()
{
    // The bus is there but the service is not: the fake does not own its name.
    if (!busProblem.isEmpty())
        QSKIP(qPrintable(busProblem));
    QFETCH(QString, disk);
    QFETCH(bool, offered);

    // A real file system mounted and unmounted, as a card reader does; sysfs
    // says what disk it is on. Named as a card without a label is: the
    // mount table writes the blank escaped.
    QTemporaryDir mountPoint;
    const QString root = mountPoint.filePath(QStringLiteral("NO NAME"));
    QVERIFY(QDir().mkpath(root));
    if (!run(QStringLiteral("mount"),
            { QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"), QStringLiteral("size=1m"),
                QStringLiteral("quorvelcard"), root }))
        QSKIP("cannot mount a tmpfs here (needs root)");
    auto unmount = qScopeGuard([&] { run(QStringLiteral("umount"), { root }); });
    struct stat status {};
    QCOMPARE(::stat(QFile::encodeName(root).constData(), &status), 0);
    QTemporaryDir sysfs;
    layBlockDevice(sysfs.path(), status.st_dev, disk, "0", false);
    qputenv(SysfsBlockDevice::sysfsRootVariable, sysfs.path().toUtf8());

    qputenv(CardWatcher::watchMountsVariable, "1");
    QStringList events;
    CardWatcher watcher;
    record(&watcher, &events, root);
    watcher.poll();
    auto *media = watcher.findChild<RemovableMedia *>();
    QVERIFY(media);
    QTRY_COMPARE(media->source(), RemovableMedia::Source::MountTable);
    QVERIFY(Kit::writeCard(root, "MOUNTED"));
    watcher.poll();
    if (!offered) {
        QCOMPARE(events, QStringList());
        return;
    }
    QCOMPARE(events, QStringList { "+MOUNTED" });
    watcher.setChosenCard(CardIdentity::fromRoot(root));

    // Unmounted, the mount point is an empty folder of the computer's disk.
    QVERIFY(run(QStringLiteral("umount"), { root }));
    unmount.dismiss();
    watcher.poll();
    QCOMPARE(events, (QStringList { "+MOUNTED", "-MOUNTED", "lost MOUNTED" }));
}

QTEST_GUILESS_MAIN(TestCardWatcher)
#include "tst_cardwatcher.moc"
