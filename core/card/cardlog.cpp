#include "card/cardlog.h"

Q_LOGGING_CATEGORY(lcCard, "quorvel.card", QtInfoMsg)
