#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QRegularExpression>
#include <QString>

#include <mutex>

struct Fault
{
    QString kind;
    QString pathPattern;
    QRegularExpression path;
    QString method;     // empty: any
    int remaining = 1;  // requests still to hit; -1: every request
    QJsonObject params; // the whole definition: each kind reads its own values

    QJsonObject toJson() const;
};

// Faults armed from the command line or at run time. Each is limited to the
// requests whose decoded path matches a wildcard pattern ("*" spans "/"),
// and to a number of hits, so a test can break exactly the one transfer it
// is about and let the retry through.
class FaultSet
{
public:
    static const QStringList &kinds();
    // "*" spans "/", "?" is one character; anchored at both ends.
    static QRegularExpression wildcard(const QString &pattern);

    // Accepts one fault object or {"faults": [...]}; false with a reason for
    // an unknown kind or a malformed definition.
    bool add(const QJsonObject &definition, QString *error);
    void clear();
    QJsonArray toJson() const;

    // Removes one hit from every armed fault that matches and returns them,
    // at most one per kind (the first armed wins).
    QList<Fault> take(const QString &method, const QString &path);

private:
    mutable std::mutex m_mutex;
    QList<Fault> m_faults;
};
