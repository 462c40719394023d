#include "card/cardstate.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QStorageInfo>
#include <QSet>

#include "card/cardlock.h"
#include "card/cardwriter.h"
#include "card/mikfile.h"
#include "card/vmidfile.h"

namespace {
// A card root with more files than this holds no chart containers worth
// looking at one by one.
constexpr int rootListingLimit = 10000;
// A vmid is the product's SKU and its list of files: 200,000 files make
// about 20 MiB.
constexpr qint64 maxVmidSize = 64 * 1024 * 1024;
} // namespace

CardState CardState::read(const CardIdentity &identity, const ProofLedger &ledger, bool writing)
{
    CardState state;
    state.card = identity;
    if (!identity.isValid()) {
        state.trouble = identity.problem();
        return state;
    }
    const CardWriter writer(identity);
    const CardResult present = writer.verifyCard();
    if (!present.ok()) {
        state.trouble = present.message();
        return state;
    }
    state.readable = true;
    const QStorageInfo storage(identity.root());
    state.available = storage.bytesAvailable();
    state.total = storage.bytesTotal();

    QStringList rootFiles;
    writer.listFiles(QString(), rootListingLimit, &rootFiles);
    rootFiles.sort();
    for (const QString &name : std::as_const(rootFiles)) {
        if (!name.endsWith(QStringLiteral(".kim"), Qt::CaseInsensitive))
            continue;
        QByteArray header;
        if (!writer.readFile(name, Mik::MikFile::headerImageSize, &header).ok()
            || header.size() < Mik::MikFile::headerImageSize)
            continue;
        Mik::MikFile container;
        container.setHeaderImage(header);
        if (container.magic() != Mik::MikFile::magicValue)
            continue;
        Container found;
        found.fileName = name;
        found.chartName = container.chartName();
        found.buildNumber = container.buildNumber();
        found.buildCode = container.buildCode();
        found.chartVersion = container.chartVersion();
        found.flags = container.flags();
        found.updating = container.flags() & Mik::MikFile::FlagUpdating;
        state.kims.append(found);
    }

    QByteArray vmid;
    qint64 vmidSize = 0;
    if (!writer.readFile(VmidFile::name, VmidFile::maxLine, &vmid, &vmidSize).ok())
        return state;
    state.sku = VmidFile::product(vmid);
    if (state.sku.isEmpty())
        return state;
    if (vmidSize > vmid.size() && (vmidSize > maxVmidSize || !writer.readFile(VmidFile::name, maxVmidSize, &vmid).ok()))
        vmid.clear();

    const ProofLedger::Entry proof = ledger.entry(identity.rawMediaId());
    const QStringList vmidFiles = VmidFile::files(vmid);
    // A proof only ever narrows what the vmid lists: one that leaves out a
    // file the vmid names (a ledger written by hand, or by a bug) proves
    // nothing about that file, and so nothing about the product.
    bool provenHere = proof.state == ProofLedger::State::Proven && proof.sku == state.sku;
    if (provenHere) {
        QSet<QString> proved;
        proved.reserve(proof.files.size());
        for (const auto &file : proof.files)
            proved.insert(file.first);
        for (const QString &file : vmidFiles)
            provenHere = provenHere && proved.contains(file);
    }
    // Lengths are what the proof recorded; without a proof, only whether
    // each listed file is there at all can be told.
    QList<QPair<QString, qint64>> expected = provenHere ? proof.files : QList<QPair<QString, qint64>>();
    if (!provenHere) {
        for (const QString &file : vmidFiles)
            expected.append({file, -1});
    }
    QStringList paths;
    paths.reserve(expected.size());
    for (const auto &file : std::as_const(expected))
        paths.append(file.first);
    QHash<QString, CardWriter::Facts> facts;
    writer.survey(paths, &facts);
    state.listed = int(expected.size());
    // A time after the proof is a change after it; a time still to come is
    // a clock's (a device's, a time zone's) and tells nothing: the other
    // time of the file, set by this computer as it changes, tells then.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto changedSince = [&proof, now](qint64 at) { return at > proof.provenAtMs && at <= now; };
    bool changedSinceProof = false;
    for (const auto &file : std::as_const(expected)) {
        const CardWriter::Facts found = facts.value(file.first);
        if (!found.regular || (file.second >= 0 && found.size != file.second))
            ++state.missing;
        changedSinceProof |= provenHere && (changedSince(found.modifiedMs) || changedSince(found.statusChangedMs));
    }

    if (writing || CardLock::writtenByAnother(identity.root())) {
        state.state = Product::BeingWritten;
    } else if (provenHere) {
        const QByteArray digest = QCryptographicHash::hash(vmid, QCryptographicHash::Sha1).toHex();
        // Rewritten since, all there: the card may hold the same bytes or
        // others, and only reading them again tells.
        state.state = state.missing > 0 || digest != proof.vmidSha1 ? Product::Incomplete
                      : changedSinceProof                          ? Product::Unverified
                                                                   : Product::Complete;
    } else if (proof.state == ProofLedger::State::Writing && proof.sku == state.sku) {
        state.state = Product::Incomplete;
    } else {
        state.state = state.missing > 0 || state.listed == 0 ? Product::Incomplete : Product::Unverified;
    }
    return state;
}

QString CardState::productStateName(Product state)
{
    switch (state) {
    case Product::None:
        return QStringLiteral("none");
    case Product::Complete:
        return QStringLiteral("complete");
    case Product::Incomplete:
        return QStringLiteral("incomplete");
    case Product::BeingWritten:
        return QStringLiteral("being-written");
    case Product::Unverified:
        return QStringLiteral("unverified");
    }
    return QString();
}
