#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include "service/serviceerror.h"

class ChartService;

// The user's chart-service account: signs in with a typed password or with
// the remembered credential, keeps the session, and remembers or forgets
// the credential as the user asks. The window's sign-in dialog and the
// command line use the same account, so they share the remembered sign-in.
class Account : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Account)

public:
    Account(ChartService *service, QObject *parent = nullptr);

    // What is wrong with what was typed, in the user's words ("Wrong email
    // format.", "Password too short."); empty when it can be sent.
    static QStringList problems(const QString &email, const QString &password);

    // The address and the choice of the last sign-in.
    QString email() const;
    bool rememberMe() const;
    // A credential is remembered for the last address.
    bool hasRemembered() const;

    void signIn(const QString &email, const QString &password, bool remember);
    // With the remembered credential of the last address.
    void signInRemembered(bool remember);
    // Forgets the session and the remembered credential.
    void signOut();

    bool isSignedIn() const { return !session.isEmpty(); }
    QString sessionId() const { return session; }

signals:
    void signedIn();
    void signInFailed(const ServiceError &error);

private:
    void send(const QString &email, const QByteArray &hash, bool remember);
    QByteArray rememberedHash() const;
    void remember(const QString &email, const QByteArray &hash);
    void forget();

    ChartService *service;
    QString session;
    bool pending = false;
};
