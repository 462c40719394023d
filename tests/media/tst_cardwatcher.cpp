// The card must be found when it is put in and missed the moment it is taken
// out, by its identity rather than its path: a different card at the same
// mount point is another card, and the same card coming back is the same.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "media/cardwatcher.h"
#include "testkit.h"

namespace {

QStringList ids(const QList<CardIdentity> &cards)
{
    QStringList list;
    for (const CardIdentity &card : cards)
        list << card.rawMediaId();
    return list;
}

QString idOf(const QSignalSpy &spy, int index)
{
    return spy.at(index).at(0).value<CardIdentity>().rawMediaId();
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished() && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

class TestCardWatcher : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cardsComeAndGo();
    void chosenCardLostAndBack();
    void mountedCardIsFound();

private:
    std::unique_ptr<QTemporaryDir> bays;
};

void TestCardWatcher::init()
{
    bays = std::make_unique<QTemporaryDir>();
    QVERIFY(bays->isValid());
    qputenv(CardWatcher::watchDirsVariable, bays->path().toUtf8());
}

void TestCardWatcher::cardsComeAndGo()
{
    CardWatcher watcher;
    QSignalSpy appeared(&watcher, &CardWatcher::cardAppeared);
    QSignalSpy removed(&watcher, &CardWatcher::cardRemoved);

    // The timer polls on its own.
    watcher.start(20);
    QVERIFY(Kit::writeCard(bays->filePath(QStringLiteral("a")), "CARD-A"));
    QVERIFY(appeared.wait(5000));
    QCOMPARE(idOf(appeared, 0), QStringLiteral("CARD-A"));
    watcher.stop();

    // A folder without a media file, or with a damaged one, is no card.
    QVERIFY(QDir().mkpath(bays->filePath(QStringLiteral("stick"))));
    QVERIFY(Kit::writeCard(bays->filePath(QStringLiteral("broken")), "CARD-X" + Kit::mediaSeparator));
    // The name is compared without regard to case.
    QVERIFY(Kit::writeCard(bays->filePath(QStringLiteral("b")), "CARD-B", QStringLiteral("Encrypt.Txt")));
    watcher.poll();
    QCOMPARE(appeared.size(), 2);
    QCOMPARE(idOf(appeared, 1), QStringLiteral("CARD-B"));
    QCOMPARE(ids(watcher.cards()), (QStringList{QStringLiteral("CARD-A"), QStringLiteral("CARD-B")}));

    // Nothing changed: nothing is reported again.
    watcher.poll();
    QCOMPARE(appeared.size(), 2);
    QCOMPARE(removed.size(), 0);

    // Another card in the same slot: the old one leaves, the new one comes.
    QVERIFY(Kit::writeCard(bays->filePath(QStringLiteral("a")), "CARD-C"));
    watcher.poll();
    QCOMPARE(removed.size(), 1);
    QCOMPARE(idOf(removed, 0), QStringLiteral("CARD-A"));
    QCOMPARE(appeared.size(), 3);
    QCOMPARE(idOf(appeared, 2), QStringLiteral("CARD-C"));

    QVERIFY(QDir(bays->filePath(QStringLiteral("b"))).removeRecursively());
    watcher.poll();
    QCOMPARE(removed.size(), 2);
    QCOMPARE(idOf(removed, 1), QStringLiteral("CARD-B"));
    QCOMPARE(ids(watcher.cards()), QStringList{QStringLiteral("CARD-C")});
}

void TestCardWatcher::chosenCardLostAndBack()
{
    // The chosen card may live anywhere, not only where the watcher looks.
    QTemporaryDir elsewhere;
    const QString root = elsewhere.filePath(QStringLiteral("card"));
    QVERIFY(Kit::writeCard(root, "CHOSEN"));
    CardWatcher watcher;
    watcher.setChosenCard(CardIdentity::fromRoot(root));
    QSignalSpy lost(&watcher, &CardWatcher::chosenCardLost);
    QSignalSpy back(&watcher, &CardWatcher::chosenCardBack);

    watcher.poll();
    QCOMPARE(lost.size() + back.size(), 0);

    QVERIFY(QDir(root).removeRecursively());
    watcher.poll();
    QCOMPARE(lost.size(), 1);
    QVERIFY(!watcher.chosenCardPresent());
    watcher.poll();
    QCOMPARE(lost.size(), 1);

    // Another card where the chosen one was is not the chosen card.
    QVERIFY(Kit::writeCard(root, "STRANGER"));
    watcher.poll();
    QCOMPARE(back.size(), 0);

    QVERIFY(Kit::writeCard(root, "CHOSEN"));
    watcher.poll();
    QCOMPARE(back.size(), 1);
    QCOMPARE(back.at(0).at(0).value<CardIdentity>().rawMediaId(), QStringLiteral("CHOSEN"));
    QVERIFY(watcher.chosenCardPresent());
}

void TestCardWatcher::mountedCardIsFound()
{
    // A real file system mounted and unmounted, as a card reader does.
    QTemporaryDir mountPoint;
    const QString root = mountPoint.path();
    if (!run(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                       QStringLiteral("size=1m"), QStringLiteral("quorvelcard"), root}))
        QSKIP("cannot mount a tmpfs here (needs root)");
    auto unmount = qScopeGuard([&] { run(QStringLiteral("umount"), {root}); });

    qputenv(CardWatcher::watchMountsVariable, "1");
    CardWatcher watcher;
    QSignalSpy appeared(&watcher, &CardWatcher::cardAppeared);
    QSignalSpy removed(&watcher, &CardWatcher::cardRemoved);
    // Other tests may mount cards of their own meanwhile: only this one counts.
    auto ours = [&root](const QSignalSpy &spy) {
        QList<CardIdentity> found;
        for (const QList<QVariant> &arguments : spy) {
            if (arguments.at(0).value<CardIdentity>().root() == root)
                found << arguments.at(0).value<CardIdentity>();
        }
        return found;
    };
    watcher.poll();
    QVERIFY(ours(appeared).isEmpty());

    QVERIFY(Kit::writeCard(root, "MOUNTED"));
    watcher.poll();
    QCOMPARE(ours(appeared).size(), 1);
    const CardIdentity card = ours(appeared).first();
    QCOMPARE(card.rawMediaId(), QStringLiteral("MOUNTED"));
    watcher.setChosenCard(card);
    QSignalSpy lost(&watcher, &CardWatcher::chosenCardLost);

    // Unmounted, the mount point is an empty folder of the computer's disk.
    QVERIFY(run(QStringLiteral("umount"), {root}));
    unmount.dismiss();
    watcher.poll();
    QCOMPARE(ours(removed).size(), 1);
    QCOMPARE(lost.size(), 1);
}

QTEST_MAIN(TestCardWatcher)
#include "tst_cardwatcher.moc"
