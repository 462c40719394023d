#include "requestlog.h"

void RequestLog::append(const QJsonObject &entry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // A long benchmark must not grow the service without bound.
    if (m_entries.size() >= MaxEntries)
        m_entries.removeFirst();
    m_entries.append(entry);
}

QJsonArray RequestLog::entries() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries;
}

void RequestLog::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries = QJsonArray();
}
