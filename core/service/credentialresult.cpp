#include "service/credentialresult.h"

CredentialResult::CredentialResult(
    Kind kind, const QString &email, const QString &detail, const QByteArray &secret)
    : what(kind)
    , address(email)
    , why(detail)
    , value(secret)
{
}

QString CredentialResult::message() const
{
    switch (what) {
    case Ok:
        return QString();
    case NotFound:
        return QStringLiteral("No password is remembered for %1.").arg(address);
    case NoKeyring:
        return QStringLiteral("No keyring is available on this desktop, so the password cannot be "
                              "remembered. Please type it at each sign-in.");
    case Failed:
        break;
    }
    return QStringLiteral("The keyring could not be used (%1). Please type the password at sign-in.")
        .arg(why.isEmpty() ? QStringLiteral("unknown error") : why);
}
