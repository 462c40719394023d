#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

// How a request to the keyring ended. The caller decides on the kind alone:
// NoKeyring means "sign in without remembering", never "write it elsewhere".
class CredentialResult
{
public:
    enum Kind {
        Ok, // stored, removed, or found (secret() holds it)
        NotFound, // the keyring works and holds nothing for this address
        NoKeyring, // no keyring to ask: no session bus, no Secret Service, or a locked one left locked
        Failed, // the keyring answered with any other error
    };

    CredentialResult() = default;
    CredentialResult(Kind kind, const QString &email, const QString &detail = QString(),
        const QByteArray &secret = QByteArray());

    Kind kind() const { return what; }
    bool ok() const { return what == Ok; }
    // The keyring could not be asked: whatever it holds is still there.
    bool unanswered() const { return what == NoKeyring || what == Failed; }
    QString email() const { return address; }
    QByteArray secret() const { return value; }
    // The keyring's own words, for the log; never holds the secret.
    QString detail() const { return why; }
    // The same where it gave some, for a message that needs a reason.
    QString reason() const { return why.isEmpty() ? QStringLiteral("no answer") : why; }
    // Plain text for the user.
    QString message() const;

private:
    Kind what = Failed;
    QString address;
    QString why;
    QByteArray value;
};

Q_DECLARE_METATYPE(CredentialResult)
