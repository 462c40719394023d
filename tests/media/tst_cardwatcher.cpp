// A card is found when put in and missed the moment it is taken out, by its
// identity rather than its path: another card at the same place is another card.
#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "card/cardwatcher.h"
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

void TestCardWatcher::mountedCardIsFound()
{
    // A real file system mounted and unmounted, as a card reader does.
    QTemporaryDir mountPoint;
    const QString root = mountPoint.path();
    if (!run(QStringLiteral("mount"),
            { QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"), QStringLiteral("size=1m"),
                QStringLiteral("quorvelcard"), root }))
        QSKIP("cannot mount a tmpfs here (needs root)");
    auto unmount = qScopeGuard([&] { run(QStringLiteral("umount"), { root }); });

    qputenv(CardWatcher::watchMountsVariable, "1");
    QStringList events;
    CardWatcher watcher;
    record(&watcher, &events, root);
    watcher.poll();
    QVERIFY(Kit::writeCard(root, "MOUNTED"));
    watcher.poll();
    QCOMPARE(events, QStringList { "+MOUNTED" });
    watcher.setChosenCard(CardIdentity::fromRoot(root));

    // Unmounted, the mount point is an empty folder of the computer's disk.
    QVERIFY(run(QStringLiteral("umount"), { root }));
    unmount.dismiss();
    watcher.poll();
    QCOMPARE(events, (QStringList { "+MOUNTED", "-MOUNTED", "lost MOUNTED" }));
}

QTEST_MAIN(TestCardWatcher)
#include "tst_cardwatcher.moc"
