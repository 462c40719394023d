#pragma once

#include <QString>

// The separator the control head writes between the three fields of
// ENCRYPT.TXT; the service keeps the same text as a subscription's device id.
inline const QString mediaIdSeparator = QStringLiteral("-----Trelmarkholding---media---001-----");

// The card's media id: the simplified middle field of a three-field media
// text, or empty when the text is not exactly three fields or the id is blank.
QString mediaIdFromContent(const QString &text);

// The item number of the product on the card: the simplified first line of
// cardRoot + "/vmid", or empty when the file is missing or its first line is.
QString vmidItemNumber(const QString &cardRoot);
