#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "service/credentialresult.h"
#include "service/serviceerror.h"

class ChartService;
class CredentialStore;
class PasswordMigration;
class Settings;

// The user's chart-service account: signs in with a typed password or with
// the remembered credential, keeps the session, and remembers or forgets
// the credential as the user asks. The credential lives in the desktop's
// keyring (CredentialStore), never in a file of the tool's; where there is
// no keyring the account signs in without remembering and says so once.
// The window's sign-in dialog and the command line use the same account,
// so they share the remembered sign-in.
class Account : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Account)

public:
    // What a successful sign-in does to the remembered sign-in (the address
    // and the choice in config.ini, the credential in the keyring). A
    // refused one does nothing to it.
    enum class Remember {
        Keep, // as it was: a sign-in that only uses the account
        Store,
        Forget,
    };

    Account(ChartService *service, QObject *parent = nullptr);
    ~Account() override;

    // What is wrong with what was typed, in the user's words ("Wrong email
    // format.", "Password too short."); empty when it can be sent.
    static QStringList problems(const QString &email, const QString &password);

    // The address and the choice of the last sign-in (config.ini: they are
    // no secret).
    QString email() const;
    bool rememberMe() const;

    // Asks the keyring for the remembered credential of the last address
    // (moving one an older version kept in config.ini there first);
    // rememberedLoaded() follows.
    void loadRemembered();
    bool isRememberedLoaded() const { return loaded; }
    bool hasRemembered() const { return !remembered.isEmpty(); }
    // Why a sign-in that is remembered could not be read (the keyring
    // locked, not reachable, not answering), in the keyring's words; empty
    // when it was read or none is remembered.
    QString unreadableRemembered() const { return unreadable; }

    void signIn(const QString &email, const QString &password, Remember remember);
    // With the remembered credential of the last address.
    void signInRemembered(Remember remember);
    // Forgets the session and the remembered credential; signedOut() follows
    // once the keyring has answered.
    void signOut();

    bool isSignedIn() const { return !session.isEmpty(); }
    QString sessionId() const { return session; }

signals:
    void rememberedLoaded();
    void signedIn();
    void signInFailed(const ServiceError &error);
    // removal: how the keyring answered; Ok or NotFound when nothing of the
    // sign-in is left in it (as when nothing was remembered).
    void signedOut(const CredentialResult &removal);
    // The keyring cannot keep the credential on this computer: said once per run.
    void cannotRemember(const QString &message);
    // After a sign-in with "remember": whether the keyring took the credential.
    void rememberSettled(bool remembered);
    // After a sign-in with Forget: how the keyring answered the removal, as
    // signedOut() tells it.
    void forgetSettled(const CredentialResult &removal);

private:
    void send(const QString &email, const QByteArray &hash, Remember remember);
    void rememberChoice(const QString &email, const QByteArray &hash, Remember remember);
    void readRemembered();
    // Removes the address's credential from the keyring; then hears the
    // keyring's answer for that address. wasRemembered: config.ini said a
    // sign-in was remembered; where it did not, a keyring out of reach
    // holds nothing of the tool's (a removal that failed before was said
    // then), and then hears NotFound.
    void removeRemembered(const QString &address, bool wasRemembered,
                          const std::function<void(const CredentialResult &)> &then);
    void handleStored(const CredentialResult &result);

    ChartService *service;
    CredentialStore *store;
    std::unique_ptr<Settings> migrationSettings;
    PasswordMigration *migration = nullptr;
    QString session;
    QByteArray remembered;
    QString unreadable;
    bool loaded = false;
    bool pending = false;
    bool toldNoKeyring = false;
};
