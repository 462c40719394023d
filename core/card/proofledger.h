#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// What this computer has proven about the cards it wrote: for each card (by
// media id), the product a job began to put on it and whether that job
// ended proven, with the files and lengths it proved and the digest of the
// vmid it proved them against. It lives in the tool's data folder, never on
// the card. A product is "complete" on a card only when its last job here
// ended proven and the card still holds what was proven; a job that began
// and did not end proven leaves it "incomplete", whatever the card holds.
class ProofLedger
{
public:
    enum class State { None, Writing, Proven };

    struct Entry
    {
        State state = State::None;
        QString sku;
        QByteArray vmidSha1;
        QList<QPair<QString, qint64>> files; // path on the card, length with its inline bytes
        // When the proof was made (ms since the epoch, set by markProven): a
        // file changed later is not the one proven. 0 in a proof from before
        // this was kept.
        qint64 provenAtMs = 0;
    };

    // folder: where the entries live; empty takes the data folder's "proofs".
    explicit ProofLedger(const QString &folder = QString());

    Entry entry(const QString &mediaId) const;
    // A job began to change what the card holds for sku. Where that cannot
    // be recorded, the card's proof goes; false only if it stays.
    bool markWriting(const QString &mediaId, const QString &sku) const;
    // why (when given) receives what kept the proof from being recorded.
    bool markProven(const QString &mediaId, const Entry &entry, QString *why = nullptr) const;
    // A job wrote the card's product whole without reading it back (the
    // user switched that off): nothing here proves the card any more, and
    // what it holds reads as unverified, not as incomplete.
    bool forget(const QString &mediaId) const;

    QString folder() const { return root; }

private:
    QString pathFor(const QString &mediaId) const;
    bool store(const QString &mediaId, const Entry &entry, QString *why = nullptr) const;

    QString root;
};
