#pragma once

#include <QObject>
#include <QString>

#include "catalogue/catalogue.h"
#include "download/joberror.h"
#include "service/account.h"
#include "service/chartservice.h"

// The command line's connection to the chart service: the one service
// client, the account and the catalogue, with the steps every command that
// needs the service takes first (sign in, then the products and the
// subscriptions of the three lines). Each step waits for its answers on a
// local event loop and ends with an error value; none on success.
class Session : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Session)

public:
    static constexpr const char *emailVariable = "QUORVEL_EMAIL";
    static constexpr const char *passwordVariable = "QUORVEL_PASSWORD";

    explicit Session(QObject *parent = nullptr);

    // With QUORVEL_EMAIL and QUORVEL_PASSWORD, else the remembered
    // credential, else what the user types on the terminal. *signalNumber
    // is set when Ctrl-C ended the prompt. Keep for the commands that only
    // use the account, Store for "sign-in --remember", Forget for "sign-in".
    JobError signIn(Account::Remember remember, int *signalNumber);
    JobError loadCatalogue();

    ChartService &service() { return chartService; }
    Account &account() { return user; }
    Catalogue &catalogue() { return products; }
    QString sessionId() const { return user.sessionId(); }

    // After a sign-in with "remember": waits for the keyring; false (and
    // keepProblem() says why) when it could not keep the credential.
    bool awaitKept();
    QString keepProblem() const { return problem; }
    // After a sign-in without "remember": waits for the keyring; empty, or
    // why a sign-in that was remembered may still be in it.
    QString awaitForgotten();
    // Forgets the remembered credential and waits for the keyring; how it
    // answered the removal.
    CredentialResult signOut();

private:
    void awaitRemembered();
    JobError send(const QString &email, const QString &password, Account::Remember remember);
    JobError sendRemembered(Account::Remember remember);
    JobError awaitSignIn();

    ChartService chartService;
    Account user;
    Catalogue products;
    QString problem;
};
