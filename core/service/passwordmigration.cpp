#include "service/passwordmigration.h"

#include <QLoggingCategory>

#include "base/settings.h"
#include "service/credentialstore.h"
#include "service/servicekeys.h"

PasswordMigration::PasswordMigration(Settings &settings, CredentialStore &store, QObject *parent)
    : QObject(parent)
    , settings(settings)
    , store(store)
{
}

PasswordMigration::~PasswordMigration() = default;

bool PasswordMigration::start()
{
    if (!settings.contains(SettingsKeys::password))
        return false;

    const QString address = settings.value(SettingsKeys::email).toString();
    const bool remembered = settings.value(SettingsKeys::rememberMe, false).toBool();
    const QByteArray hash
        = ServiceKeys::xorBytes(settings.value(SettingsKeys::password).toString().toUtf8(), address.toUtf8());
    // The sign-in never offered such a value, so no account loses anything.
    if (!remembered || address.isEmpty() || !ServiceKeys::isPasswordHash(hash)) {
        qCInfo(lcCredentials) << "config.ini held a remembered password that cannot be used; removed";
        dropFromFile();
        return false;
    }

    email = address;
    storing = connect(&store, &CredentialStore::storeFinished, this, &PasswordMigration::handleStored);
    store.store(address, hash);
    return true;
}

void PasswordMigration::handleStored(const CredentialResult &result)
{
    if (result.email() != email)
        return;
    disconnect(storing);
    // Once the keyring holds the hash the file's copy has no use. Where the
    // keyring cannot take it, the copy goes all the same: a readable hash
    // signs in as the user from every backup and every process that can read
    // the file, while losing it costs the user one typing of the password.
    if (result.ok())
        qCInfo(lcCredentials) << "Remembered sign-in moved from config.ini into the keyring";
    else
        qCWarning(lcCredentials) << "Remembered sign-in removed from config.ini without a keyring to take it";
    dropFromFile();
    emit finished(result);
}

void PasswordMigration::dropFromFile()
{
    settings.remove(SettingsKeys::password);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        qCWarning(lcCredentials) << "config.ini could not be rewritten without the remembered password";
}
