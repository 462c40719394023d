#pragma once

#include <QByteArray>
#include <QString>

// The deployment secrets, put together at run time from their two halves
// (service/deploymentdata.h), and what the service wants made of them.
namespace ServiceKeys {

// Byte-wise XOR with a key repeated to the length of data.
QByteArray xorBytes(const QByteArray &data, const QByteArray &key);

// The API key text (40 lower-case hex characters).
QByteArray apiKey();

// What the service takes as the password: SHA-1 (hex) of the password
// followed by the salt in hex.
QByteArray passwordHash(const QString &password);

// Whether text has the shape passwordHash gives (40 lower-case hex digits).
bool isPasswordHash(const QByteArray &text);

} // namespace ServiceKeys
