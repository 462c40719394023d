// Moves the remembered sign-in out of the config.ini named on the command
// line, in a process whose session bus the test chose, and prints how the
// keyring answered.
#include <QCoreApplication>

#include <cstdio>

#include "base/settings.h"
#include "service/credentialstore.h"
#include "service/passwordmigration.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    Settings settings(QString::fromLocal8Bit(argv[1]));
    CredentialStore store;
    PasswordMigration migration(settings, store);
    QObject::connect(&migration, &PasswordMigration::finished, &app, [](const CredentialResult &result) {
        static const char *const kinds[] = { "ok", "not-found", "no-keyring", "failed" };
        printf("%s\n%s\n", kinds[result.kind()], qPrintable(result.detail()));
        QCoreApplication::quit();
    });
    // Nothing to move is no answer from the keyring: a failure here.
    return migration.start() ? app.exec() : 1;
}
