#pragma once

#include <QMetaObject>
#include <QObject>
#include <QString>

#include "service/credentialresult.h"

class CredentialStore;
class Settings;

// Versions before the keyring remembered the sign-in as the password hash in
// config.ini, scrambled with the address kept beside it: a password for
// anyone who can read the file. This moves it into the keyring, once, and
// leaves config.ini without it whatever the keyring says.
class PasswordMigration : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PasswordMigration)

public:
    // Both must outlive the migration.
    PasswordMigration(Settings &settings, CredentialStore &store, QObject *parent = nullptr);
    ~PasswordMigration() override;

    // True when a remembered hash is on its way to the keyring; finished()
    // follows. False when there was none to move: an unusable leftover (no
    // address, "rememberMe" off, not a hash) is already gone from the file.
    bool start();

signals:
    // The keyring's answer. By now config.ini holds no password.
    void finished(const CredentialResult &result);

private:
    void handleStored(const CredentialResult &result);
    void dropFromFile();

    Settings &settings;
    CredentialStore &store;
    QString email;
    QMetaObject::Connection storing;
};
