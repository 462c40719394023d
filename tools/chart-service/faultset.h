#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QRegularExpression>
#include <QString>

#include <mutex>

struct Fault
{
    int id = 0;
    QString kind;
    QString pathPattern;
    QRegularExpression path;
    QString method;     // empty: any
    int remaining = 1;  // requests still to hit; -1: every request; 0: spent
    int fired = 0;      // requests hit so far
    QJsonObject params; // the whole definition: each kind reads its own values

    QJsonObject toJson() const;
};

// Faults armed from the command line or at run time. Each is limited to the
// requests whose decoded path matches a wildcard pattern ("*" spans "/"),
// and to a number of hits, so a test can break exactly the one transfer it
// is about and let the retry through. A spent fault stays listed with its
// fired count until the set is cleared, so a test can still ask whether the
// fault it armed was ever reached.
class FaultSet
{
public:
    static const QStringList &kinds();
    // "*" spans "/", "?" is one character; anchored at both ends.
    static QRegularExpression wildcard(const QString &pattern);
    // Kinds that change how a range is answered: they hit only requests that
    // carry a Range header, so a plain request cannot use them up unseen.
    static bool needsRange(const QString &kind);

    // Accepts one fault object or {"faults": [...]}; false with a reason for
    // an unknown kind or a malformed definition (nothing is armed then).
    bool add(const QJsonObject &definition, QString *error);
    void clear();
    QJsonArray toJson() const;

    // Counts one hit on every live fault that matches and returns them, at
    // most one per kind (the first armed wins).
    QList<Fault> take(const QString &method, const QString &path, bool ranged);

private:
    bool parse(const QJsonObject &definition, QList<Fault> *parsed, QString *error);

    mutable std::mutex m_mutex;
    QList<Fault> m_faults;
    int m_nextId = 1;
};
