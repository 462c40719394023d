#include "faultset.h"

Q_GLOBAL_STATIC_WITH_ARGS(QStringList, knownKinds,
                          ({QStringLiteral("close_after"), QStringLiteral("ignore_range"),
                            QStringLiteral("omit_content_range"), QStringLiteral("short_no_content_range"),
                            QStringLiteral("wrong_range_start"), QStringLiteral("short_body"),
                            QStringLiteral("extra_byte"), QStringLiteral("wrong_etag"), QStringLiteral("stall"),
                            QStringLiteral("throttle"), QStringLiteral("status"), QStringLiteral("corrupt"),
                            QStringLiteral("non_json"), QStringLiteral("truncated_json"),
                            QStringLiteral("unsafe_paths"), QStringLiteral("header_fields"),
                            QStringLiteral("record_fields"), QStringLiteral("pad_reply"),
                            QStringLiteral("content_encoding"), QStringLiteral("redirect")}))

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
    o.insert(QStringLiteral("id"), id);
    o.insert(QStringLiteral("kind"), kind);
    o.insert(QStringLiteral("path"), pathPattern);
    o.insert(QStringLiteral("count"), remaining);
    o.insert(QStringLiteral("fired"), fired);
    return o;
}

const QStringList &FaultSet::kinds()
{
    return *knownKinds();
}

bool FaultSet::needsRange(const QString &kind)
{
    return kind == QLatin1String("ignore_range") || kind == QLatin1String("omit_content_range")
           || kind == QLatin1String("short_no_content_range") || kind == QLatin1String("wrong_range_start");
}

bool FaultSet::parse(const QJsonObject &definition, QList<Fault> *parsed, QString *error)
{
    if (definition.contains(QStringLiteral("faults"))) {
        for (const QJsonValue &value : definition.value(QStringLiteral("faults")).toArray()) {
            if (!parse(value.toObject(), parsed, error))
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
    fault.params.remove(QStringLiteral("fired"));
    fault.params.remove(QStringLiteral("id"));
    parsed->append(fault);
    return true;
}

bool FaultSet::add(const QJsonObject &definition, QString *error)
{
    QList<Fault> parsed;
    if (!parse(definition, &parsed, error))
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Fault &fault : parsed) {
        fault.id = m_nextId++;
        m_faults.append(fault);
    }
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

QList<Fault> FaultSet::take(const QString &method, const QString &path, bool ranged)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QList<Fault> hit;
    QStringList seen;
    for (Fault &fault : m_faults) {
        if (fault.remaining == 0 || seen.contains(fault.kind) || (!fault.method.isEmpty() && fault.method != method)
            || (!ranged && needsRange(fault.kind)) || !fault.path.match(path).hasMatch())
            continue;
        seen.append(fault.kind);
        ++fault.fired;
        if (fault.remaining > 0)
            --fault.remaining;
        hit.append(fault);
    }
    return hit;
}
