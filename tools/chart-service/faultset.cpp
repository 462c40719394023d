#include "faultset.h"

Q_GLOBAL_STATIC_WITH_ARGS(QStringList, knownKinds,
                          ({QStringLiteral("close_after"), QStringLiteral("ignore_range"),
                            QStringLiteral("omit_content_range"), QStringLiteral("wrong_etag"),
                            QStringLiteral("stall"), QStringLiteral("throttle"), QStringLiteral("status"),
                            QStringLiteral("corrupt"), QStringLiteral("non_json"),
                            QStringLiteral("truncated_json"), QStringLiteral("unsafe_paths"),
                            QStringLiteral("header_fields"), QStringLiteral("record_fields"),
                            QStringLiteral("pad_reply")}))

QRegularExpression FaultSet::wildcard(const QString &pattern)
{
    QString regex;
    for (const QChar c : pattern) {
        if (c == QLatin1Char('*'))
            regex += QStringLiteral(".*");
        else if (c == QLatin1Char('?'))
            regex += QLatin1Char('.');
        else
            regex += QRegularExpression::escape(QString(c));
    }
    return QRegularExpression(QRegularExpression::anchoredPattern(regex),
                              QRegularExpression::DotMatchesEverythingOption);
}

QJsonObject Fault::toJson() const
{
    QJsonObject o = params;
    o.insert(QStringLiteral("kind"), kind);
    o.insert(QStringLiteral("path"), pathPattern);
    o.insert(QStringLiteral("count"), remaining);
    return o;
}

const QStringList &FaultSet::kinds()
{
    return *knownKinds();
}

bool FaultSet::add(const QJsonObject &definition, QString *error)
{
    if (definition.contains(QStringLiteral("faults"))) {
        for (const QJsonValue &value : definition.value(QStringLiteral("faults")).toArray()) {
            if (!add(value.toObject(), error))
                return false;
        }
        return true;
    }
    Fault fault;
    fault.kind = definition.value(QStringLiteral("kind")).toString();
    if (!kinds().contains(fault.kind)) {
        *error = QStringLiteral("unknown fault kind \"%1\"").arg(fault.kind);
        return false;
    }
    fault.pathPattern = definition.value(QStringLiteral("path")).toString(QStringLiteral("*"));
    fault.path = wildcard(fault.pathPattern);
    fault.method = definition.value(QStringLiteral("method")).toString().toUpper();
    fault.remaining = definition.value(QStringLiteral("count")).toInt(1);
    if (fault.remaining == 0) {
        *error = QStringLiteral("a fault with count 0 would never fire; use -1 for every request");
        return false;
    }
    fault.params = definition;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.append(fault);
    return true;
}

void FaultSet::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
}

QJsonArray FaultSet::toJson() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QJsonArray result;
    for (const Fault &fault : m_faults)
        result.append(fault.toJson());
    return result;
}

QList<Fault> FaultSet::take(const QString &method, const QString &path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QList<Fault> hit;
    QStringList seen;
    for (auto it = m_faults.begin(); it != m_faults.end();) {
        if (seen.contains(it->kind) || (!it->method.isEmpty() && it->method != method)
            || !it->path.match(path).hasMatch()) {
            ++it;
            continue;
        }
        seen.append(it->kind);
        hit.append(*it);
        if (it->remaining > 0 && --it->remaining == 0)
            it = m_faults.erase(it);
        else
            ++it;
    }
    return hit;
}
