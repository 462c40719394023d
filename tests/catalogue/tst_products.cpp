// A wrong status sends a purchase to the wrong card, or calls a card complete
// that is not: the status rules over a product's subscriptions and what the
// card holds, read from a card laid out by hand with what this computer
// proved about it. Also the chart state of RQ cards and what such a card
// needs before an update.
#include <QCryptographicHash>
#include <QDateTime>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include "card/cardlock.h"
#include "card/cardmodel.h"
#include "catalogue/productstatus.h"
#include "catalogue/rqcardplan.h"
#include "testkit.h"

namespace {

// The device id of a purchase bound to this media id; "" unbound, "@" damaged.
QString deviceFor(const QString &mediaId)
{
    if (mediaId.startsWith(QLatin1Char('@')))
        return QStringLiteral("x") + QString::fromLatin1(Kit::mediaSeparator) + QStringLiteral("y");
    return mediaId.isEmpty() ? QString() : QString::fromUtf8(Kit::mediaText(mediaId.toUtf8()));
}

Product product(const QString &sku, ProductTypeEnum line, const QStringList &boundTo)
{
    Product made;
    made.productId = 100;
    made.sku = sku;
    made.line = line;
    for (const QString &mediaId : boundTo)
        made.subscriptions.append({int(made.subscriptions.size()) + 1, 100, deviceFor(mediaId), 0, "chain of " + mediaId.toUtf8()});
    return made;
}

// A card of media id CARD laid out in root + "/card", and what this computer
// proved about it in root + "/proofs". card is "" (no card), "empty", "rq"
// (a chart container of "  1234-5") or a SKU on the card's vmid followed by
// how its two files stand: "proven" (as proven here), "unproven" (all there,
// no proof here), "writing" (a run here began and did not end proven),
// "shortened" (proven, then a file cut), "partly" (a file missing), "busy"
// (a job of this process writes it now), "proof of another" (proven here
// for another product), "rewritten" (proven, then written again at the same
// length), "proof without a time" (proven before proofs kept their time),
// "stamped ahead" (proven with a file whose time is years to come), "proof
// through a link" (a proof that would stand, reached through a link),
// "proof a pipe" (a FIFO in the proof's place), and proofs that name too
// little ("proof naming no file", "proof leaving a file out", "proof with a
// length in words").
CardState cardState(const QString &root, const QString &card)
{
    if (card.isEmpty())
        return CardState();
    const QString dir = root + QStringLiteral("/card");
    Kit::writeCard(dir, "CARD");
    const QString sku = card.section(QLatin1Char(' '), 0, 0);
    const QString how = card.section(QLatin1Char(' '), 1);
    if (sku == QLatin1String("rq")) {
        Kit::writeContainer(dir, Kit::Header().bytes());
    } else if (sku != QLatin1String("empty")) {
        const QByteArray vmid = sku.toUtf8()
                                + "\r\n{\"files\": [{\"etag\": \"t\", \"file\": \"P/a.bin\"}, "
                                  "{\"etag\": \"t\", \"file\": \"P/b.bin\"}]}";
        writeFile(dir + QStringLiteral("/vmid"), vmid);
        writeFile(dir + QStringLiteral("/P/a.bin"), "aaaaa");
        // Proofs that name too little: the card then lacks the file they leave out.
        const bool namesNoFile = how == QLatin1String("proof naming no file");
        const bool leavesOut = how == QLatin1String("proof leaving a file out");
        const bool lengthNoNumber = how == QLatin1String("proof with a length in words");
        if (how != QLatin1String("partly") && !namesNoFile && !leavesOut)
            writeFile(dir + QStringLiteral("/P/b.bin"), "bbb");
        const QByteArray state = how == QLatin1String("writing") ? "writing" : "proven";
        const QByteArray proven = how == QLatin1String("proof of another") ? "VM-9" : sku.toUtf8();
        // A device whose clock runs years ahead wrote this one.
        if (how == QLatin1String("stamped ahead")) {
            QFile ahead(dir + QStringLiteral("/P/b.bin"));
            if (!ahead.open(QIODevice::ReadWrite)
                || !ahead.setFileTime(QDateTime::currentDateTime().addYears(10), QFileDevice::FileModificationTime))
                return CardState();
        }
        // The files were just written: a proof made now covers them, one
        // made a minute ago does not.
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const QByteArray provenAt = how == QLatin1String("proof without a time") ? QByteArray()
            : ", \"proven_at\": " + QByteArray::number(how == QLatin1String("rewritten") ? now - 60000 : now + 1);
        const QString proofPath = root + QStringLiteral("/proofs/")
                                  + QCryptographicHash::hash("CARD", QCryptographicHash::Sha1).toHex() + ".json";
        const QString elsewhere = root + QStringLiteral("/elsewhere.json");
        const bool linked = how == QLatin1String("proof through a link");
        QDir().mkpath(root + QStringLiteral("/proofs"));
        if (linked && !QFile::link(elsewhere, proofPath))
            return CardState();
        if (how == QLatin1String("proof a pipe") && ::mkfifo(QFile::encodeName(proofPath).constData(), 0600) != 0)
            return CardState();
        if (how == QLatin1String("proven") || how == QLatin1String("shortened") || how == QLatin1String("writing")
            || how == QLatin1String("proof of another") || how == QLatin1String("rewritten")
            || how == QLatin1String("proof without a time") || how == QLatin1String("stamped ahead") || linked
            || namesNoFile || leavesOut || lengthNoNumber)
            writeFile(linked ? elsewhere : proofPath,
                      "{\"media_id\": \"CARD\", \"sku\": \"" + proven + "\", \"state\": \"" + state
                          + "\", \"vmid_sha1\": \"" + QCryptographicHash::hash(vmid, QCryptographicHash::Sha1).toHex()
                          + "\", \"files\": "
                          + (namesNoFile      ? "\"P/a.bin P/b.bin\""
                             : leavesOut      ? "[[\"P/a.bin\", 5]]"
                             : lengthNoNumber ? "[[\"P/a.bin\", \"5\"], [\"P/b.bin\", 3]]"
                                              : "[[\"P/a.bin\", 5], [\"P/b.bin\", 3]]")
                          + provenAt + "}");
        if (how == QLatin1String("shortened"))
            QFile::resize(dir + QStringLiteral("/P/b.bin"), 2);
    }
    return CardState::read(CardIdentity::fromRoot(dir), ProofLedger(root + QStringLiteral("/proofs")),
                           how == QLatin1String("busy"));
}

} // namespace

Q_DECLARE_METATYPE(RqCardPlan::Step)

class TestProducts : public QObject
{
    Q_OBJECT

private slots:
    void status_data();
    void status();
    void counts_data();
    void counts();
    void chart_data();
    void chart();
    void buildReference_data();
    void buildReference();
    void rqCardPlan_data();
    void rqCardPlan();
    void followsWhatOthersDo();
    void proofGivesWayToARewrite();
};

void TestProducts::status_data()
{
    QTest::addColumn<QStringList>("boundTo"); // one entry per purchase: media id, "" unbound
    QTest::addColumn<QString>("card");        // see cardState()
    QTest::addColumn<int>("cardLine");        // the line of what the card holds
    QTest::addColumn<QString>("word");
    QTest::addColumn<QString>("button");

    const int none = NoProductType, velmora = VelmoraRegion;
    const auto row = [](const char *name, const QStringList &boundTo, const char *card, int line, const char *word,
                        const char *button) {
        QTest::newRow(name) << boundTo << QString::fromLatin1(card) << line << QString::fromLatin1(word)
                            << QString::fromLatin1(button);
    };
    row("no purchase", {}, "", none, "Downloaded", "");
    row("no card, unbound", {""}, "", none, "Available", "Download");
    row("no card, bound", {"OTHER"}, "", none, "Downloaded", "");
    row("empty card, unbound", {""}, "empty", none, "Available", "Download");
    // Bound here but not on the card: there is nothing to download again.
    row("empty card, here", {"CARD"}, "empty", none, "Available", "Download");
    row("empty card, elsewhere", {"OTHER"}, "empty", none, "Downloaded", "");
    row("empty, elsewhere, unbound", {"OTHER", ""}, "empty", none, "Available", "Download");
    row("media id case", {"card"}, "empty", none, "Downloaded", "");
    row("two-field device id", {"@"}, "empty", none, "Available", "Download");
    row("this, unbound", {""}, "VM-1 proven", velmora, "Downloaded", "");
    // Redownload claims the card holds the product whole: only a proof here earns it.
    row("this, here, proven", {"OTHER", "CARD", ""}, "VM-1 proven", velmora, "Redownload", "Redownload");
    row("this, here, no proof here", {"CARD"}, "VM-1 unproven", velmora, "Not Verified", "Verify");
    row("this, here, proof of another product", {"CARD"}, "VM-1 proof of another", velmora, "Not Verified",
        "Verify");
    row("this, here, run ended without proof", {"CARD"}, "VM-1 writing", velmora, "Incomplete", "Resume");
    row("this, here, cut after the proof", {"CARD"}, "VM-1 shortened", velmora, "Incomplete", "Resume");
    // The same lengths, written after the proof: not what was proven.
    row("this, here, rewritten after the proof", {"CARD"}, "VM-1 rewritten", velmora, "Not Verified", "Verify");
    row("this, here, proof without a time", {"CARD"}, "VM-1 proof without a time", velmora, "Not Verified",
        "Verify");
    // A time still to come is no change after the proof.
    row("this, here, proven, stamped years ahead", {"CARD"}, "VM-1 stamped ahead", velmora, "Redownload",
        "Redownload");
    // The data folder's entries are read only as the tool wrote them: a link
    // could lead to a device that never ends, a FIFO would wait for good.
    row("this, here, proof through a link", {"CARD"}, "VM-1 proof through a link", velmora, "Not Verified",
        "Verify");
    row("this, here, proof a pipe", {"CARD"}, "VM-1 proof a pipe", velmora, "Not Verified", "Verify");
    row("this, here, partly on the card", {"CARD"}, "VM-1 partly", velmora, "Incomplete", "Resume");
    // A proof speaks only for the files it names, each with its length.
    row("this, here, proof naming no file", {"CARD"}, "VM-1 proof naming no file", velmora, "Incomplete", "Resume");
    row("this, here, proof leaving a file out", {"CARD"}, "VM-1 proof leaving a file out", velmora, "Incomplete",
        "Resume");
    row("this, here, proof with a length in words", {"CARD"}, "VM-1 proof with a length in words", velmora,
        "Not Verified", "Verify");
    row("this, here, being written", {"CARD"}, "VM-1 busy", velmora, "In Progress", "");
    row("other, unbound", {""}, "VM-2 proven", velmora, "Replace", "Replace");
    row("other, here", {"CARD"}, "VM-2 partly", velmora, "Replace", "Replace");
    row("other, elsewhere", {"OTHER"}, "VM-2 proven", velmora, "Downloaded", "");
    row("item number case", {""}, "vm-1 proven", velmora, "Replace", "Replace");
    row("RQ card", {"CARD", ""}, "rq", int(RqSd), "Incompatible", "");
    row("other line", {}, "TV-1 proven", int(Talvos), "Incompatible", "");
    row("other line, no item number", {""}, "empty", int(Talvos), "Available", "Download");
}

void TestProducts::status()
{
    QFETCH(QStringList, boundTo);
    QFETCH(QString, card);
    QFETCH(int, cardLine);

    QTemporaryDir root;
    const CardState state = cardState(root.path(), card);
    QCOMPARE(state.isValid(), !card.isEmpty());
    const ProductStatus::Code code = ProductStatus::of(product(QStringLiteral("VM-1"), VelmoraRegion, boundTo), state,
                                                       ProductTypeEnum(cardLine));
    QTEST(ProductStatus::word(code), "word");
    QTEST(ProductStatus::action(code), "button");
}

void TestProducts::counts_data()
{
    QTest::addColumn<QStringList>("boundTo");
    QTest::addColumn<QString>("card");
    QTest::addColumn<int>("available");  // count under "Available", -1 when absent
    QTest::addColumn<int>("downloaded"); // count under "Downloaded", -1 when absent

    QTest::newRow("no card") << QStringList{"", "", "OTHER"} << "" << 2 << 1;
    QTest::newRow("other on card") << QStringList{"CARD", ""} << "VM-2 proven" << 1 << 1;
    QTest::newRow("this: elsewhere is usable") << QStringList{"", "CARD", "OTHER"} << "VM-1 unproven" << 2 << 1;
    QTest::newRow("this, all here") << QStringList{"CARD", "CARD"} << "VM-1 partly" << -1 << 2;
}

void TestProducts::counts()
{
    QFETCH(QStringList, boundTo);
    QFETCH(QString, card);
    QTemporaryDir root;
    const QMap<ProductStatus::Code, int> counts =
        ProductStatus::counts(product(QStringLiteral("VM-1"), Talvos, boundTo), cardState(root.path(), card));
    QTEST(counts.value(ProductStatus::Available, -1), "available");
    QTEST(counts.value(ProductStatus::Downloaded, -1), "downloaded");
}

void TestProducts::chart_data()
{
    QTest::addColumn<quint32>("cardBuild");
    QTest::addColumn<quint32>("cardCode");
    QTest::addColumn<bool>("updating");
    QTest::addColumn<int>("serviceBuild");
    QTest::addColumn<int>("serviceCode");
    QTest::addColumn<QString>("word");
    QTest::addColumn<QString>("button");

    const QString update = QStringLiteral("Update Available"), upToDate = QStringLiteral("Up To Date");
    QTest::newRow("service newer") << 5000u << 0u << false << 5001 << 0 << update << "Update";
    QTest::newRow("card newer") << 5002u << 3u << false << 5001 << 9 << upToDate << "";
    QTest::newRow("same build, card without code") << 5000u << 0u << false << 5000 << 9 << upToDate << "";
    // The service's own build: checked again on request.
    QTest::newRow("same build, same code") << 5000u << 7u << false << 5000 << 7 << upToDate << "Validate";
    QTest::newRow("same build, service code higher") << 5000u << 7u << false << 5000 << 9 << update << "Update";
    QTest::newRow("same build, card code higher") << 5000u << 9u << false << 5000 << 7 << upToDate << "";
    QTest::newRow("update running") << 5000u << 7u << true << 9000 << 9 << "Update In Progress" << "Resume";
    // The card stores unsigned numbers; a service number of -1 is the
    // largest build there is.
    QTest::newRow("unsigned build") << 0x80000000u << 0u << false << -1 << 0 << update << "Update";
    QTest::newRow("unsigned code") << 5000u << 0x80000000u << false << 5000 << -1 << update << "Update";
}

void TestProducts::chart()
{
    QFETCH(int, serviceBuild);
    QFETCH(int, serviceCode);
    CardState::Container container;
    QFETCH(quint32, cardBuild);
    QFETCH(quint32, cardCode);
    QFETCH(bool, updating);
    container.buildNumber = cardBuild;
    container.buildCode = cardCode;
    container.updating = updating;
    Product chart = product(QStringLiteral("  1234-5"), RqSd, {});
    chart.buildNumber = serviceBuild;
    chart.buildCode = serviceCode;
    const ProductStatus::ChartStatus status = ProductStatus::chart(chart, container);
    QTEST(ProductStatus::chartWord(status), "word");
    QTEST(ProductStatus::chartAction(status), "button");
}

void TestProducts::buildReference_data()
{
    QTest::addColumn<int>("build");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("reference");

    QTest::newRow("build and code") << 12345 << 27123 << "12.345 (ABB123)";
    QTest::newRow("small build") << 12 << 0 << "0.012";
    QTest::newRow("negative code ignored") << 5000 << -4 << "5.000";
    QTest::newRow("letters wrap at 26") << 1000 << 26 * 676000 + 25 * 26000 + 25 * 1000 + 999 << "1.000 (AZZ999)";
    QTest::newRow("largest") << 2147483647 << 2147483647 << "2147483.647 (ETN647)";
    // A card's header numbers read as signed, like the service's.
    QTest::newRow("card build of 2^32-1") << -1 << int(0x80000000u) << "-0.001";
}

void TestProducts::buildReference()
{
    QFETCH(int, build);
    QFETCH(int, code);
    QTEST(ProductStatus::buildReference(build, code), "reference");
}

void TestProducts::rqCardPlan_data()
{
    QTest::addColumn<QString>("card");       // "rq": a container of "  1234-5", "empty"
    QTest::addColumn<QStringList>("owned");  // "SKU@media id" per purchase, "SKU" for a product not bought
    QTest::addColumn<RqCardPlan::Step>("step");
    QTest::addColumn<QString>("sku");

    using P = RqCardPlan;
    const QString chart = QStringLiteral("  1234-5"), other = QStringLiteral("  7788-3");
    QTest::newRow("container, bound here") << "rq" << QStringList{other + "@CARD", chart + "@CARD"} << P::Ready
                                           << chart;
    QTest::newRow("container, bound elsewhere") << "rq" << QStringList{chart + "@OTHER"} << P::Register << chart;
    QTest::newRow("container, unbound") << "rq" << QStringList{chart + "@"} << P::Register << chart;
    // The container's own product comes before restoring another.
    QTest::newRow("container, another bound here") << "rq" << QStringList{other + "@CARD", chart + "@OTHER"}
                                                   << P::Register << chart;
    QTest::newRow("container not bought") << "rq" << QStringList{chart} << P::NotRq << QString();
    QTest::newRow("container lost, bound here") << "empty" << QStringList{chart + "@OTHER", other + "@CARD"}
                                                << P::Restore << other;
    QTest::newRow("container lost, bound elsewhere") << "empty" << QStringList{chart + "@OTHER"} << P::NotRq
                                                     << QString();
    QTest::newRow("no card") << "" << QStringList{chart + "@CARD"} << P::NotRq << QString();
}

void TestProducts::rqCardPlan()
{
    QFETCH(QString, card);
    QFETCH(QStringList, owned);
    QList<Product> products;
    for (const QString &entry : owned) {
        const QStringList boundTo = entry.contains(QLatin1Char('@')) ? QStringList{entry.section(QLatin1Char('@'), 1)}
                                                                     : QStringList();
        products.append(product(entry.section(QLatin1Char('@'), 0, 0), RqSd, boundTo));
    }
    QTemporaryDir root;
    const RqCardPlan plan = RqCardPlan::decide(products, cardState(root.path(), card));
    QTEST(plan.step, "step");
    QTEST(plan.product.sku, "sku");
    QCOMPARE(plan.containerFile, plan.step == RqCardPlan::Ready || plan.step == RqCardPlan::Register ? QStringLiteral("  1234-5.kim")
                                                                                     : QString());
    // A lost container comes back from the chart data of the card's own purchase.
    QCOMPARE(plan.chain, plan.step == RqCardPlan::Restore ? QByteArray("chain of CARD") : QByteArray());
}

QTEST_GUILESS_MAIN(TestProducts)
// The window shows the model's state: a product replaced or written from
// the command line must reach it without the user asking, or the window
// offers actions on what the card held before.
void TestProducts::followsWhatOthersDo()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString dir = root.path() + QStringLiteral("/card");
    QCOMPARE(cardState(root.path(), QStringLiteral("VM-1 proven")).productState(),
             CardState::Product::Complete);
    CardModel model(nullptr, root.path() + QStringLiteral("/proofs"));
    model.setCard(CardIdentity::fromRoot(dir));
    QTRY_COMPARE(model.state().productState(), CardState::Product::Complete);

    // Another program puts another product on the card.
    writeFile(dir + QStringLiteral("/vmid.new"),
              "VM-2\r\n{\"files\": [{\"etag\": \"t\", \"file\": \"P/a.bin\"}]}");
    QVERIFY(QFile::rename(dir + QStringLiteral("/vmid"), dir + QStringLiteral("/vmid.old")));
    QVERIFY(QFile::rename(dir + QStringLiteral("/vmid.new"), dir + QStringLiteral("/vmid")));
    QTRY_COMPARE_WITH_TIMEOUT(model.state().productSku(), QStringLiteral("VM-2"), 5000);
    QCOMPARE(model.state().productState(), CardState::Product::Unverified);

    // Another process takes the card to write it and notes that it began;
    // when it is gone, the product is no longer in its hands.
    QProcess writer;
    writer.start(QStringLiteral("flock"), {QStringLiteral("--no-fork"), QStringLiteral("-x"), dir,
                                           QStringLiteral("sleep"), QStringLiteral("60")});
    QVERIFY(writer.waitForStarted());
    QTRY_VERIFY(CardLock::writtenByAnother(dir));
    writeFile(root.path() + QStringLiteral("/proofs/other.json"), "{}");
    QTRY_COMPARE_WITH_TIMEOUT(model.state().productState(), CardState::Product::BeingWritten, 5000);
    writer.kill();
    QVERIFY(writer.waitForFinished());
    QTRY_COMPARE_WITH_TIMEOUT(model.state().productState(), CardState::Product::Unverified, 5000);

    // Taken out while a job of this process writes it: the job says so, and
    // the product stays as it was rather than becoming another card's.
    model.setWriting(true);
    QTRY_COMPARE(model.state().productState(), CardState::Product::BeingWritten);
    QVERIFY(QDir().rename(dir, root.path() + QStringLiteral("/parked")));
    model.refresh();
    QTRY_VERIFY(!model.isReading());
    QTest::qWait(100);
    QVERIFY(model.state().isValid());
    QCOMPARE(model.state().productState(), CardState::Product::BeingWritten);
    model.setWriting(false);
    QTRY_VERIFY(!model.state().isValid());
}

// A run that begins to change a proven card on a computer whose disk is full
// cannot mark the proof as being rewritten; the proof must not outlive that
// run's start, or a run killed half-way would leave the card called complete.
void TestProducts::proofGivesWayToARewrite()
{
    QTemporaryDir dir;
    const QString proofs = dir.filePath(QStringLiteral("proofs"));
    QVERIFY(QDir().mkpath(proofs));
    if (QProcess::execute(QStringLiteral("mount"), { QStringLiteral("-t"), QStringLiteral("tmpfs"),
                              QStringLiteral("-o"), QStringLiteral("size=16k"), QStringLiteral("tmpfs"), proofs })
        != 0)
        QSKIP("cannot mount a small file system here");
    const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), { proofs }); });
    const ProofLedger ledger(proofs);
    ProofLedger::Entry entry;
    entry.sku = QStringLiteral("VM-1");
    entry.files = { { QStringLiteral("P/a.bin"), 5 } };
    QVERIFY(ledger.markProven(QStringLiteral("CARD"), entry));
    QCOMPARE(ledger.entry(QStringLiteral("CARD")).state, ProofLedger::State::Proven);
    // dd ends with an error once the disk is full, which is the point.
    QProcess::execute(QStringLiteral("dd"),
        { QStringLiteral("if=/dev/zero"), QStringLiteral("of=") + proofs + QStringLiteral("/filler"),
            QStringLiteral("bs=1k") });
    QVERIFY(ledger.markWriting(QStringLiteral("CARD"), QStringLiteral("VM-1")));
    QVERIFY(ledger.entry(QStringLiteral("CARD")).state != ProofLedger::State::Proven);
}

#include "tst_products.moc"
