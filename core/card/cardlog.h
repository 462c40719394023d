#pragma once

#include <QLoggingCategory>

// Finding, watching and ejecting cards: "quorvel.card" in the log's rules.
Q_DECLARE_LOGGING_CATEGORY(lcCard)
