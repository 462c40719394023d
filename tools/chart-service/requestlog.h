#pragma once

#include <QJsonArray>
#include <QJsonObject>

#include <mutex>

// What the tool sent, kept so tests can assert on requests on the wire.
class RequestLog
{
public:
    static constexpr int MaxEntries = 20000;

    void append(const QJsonObject &entry);
    QJsonArray entries() const;
    void clear();

private:
    mutable std::mutex m_mutex;
    QJsonArray m_entries;
};
