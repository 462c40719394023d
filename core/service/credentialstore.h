#pragma once

#include <QLoggingCategory>
#include <QObject>
#include <QString>

#include "service/credentialresult.h"

Q_DECLARE_LOGGING_CATEGORY(lcCredentials)

namespace QKeychain {
class Job;
}

// The remembered password hash, kept in the desktop's keyring (the Secret
// Service, or the wallet on a KDE desktop) under the account's e-mail address.
// Every call answers once, later, with the matching signal; calls may overlap
// and are carried out in the order they were made.
class CredentialStore : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CredentialStore)

public:
    // The name the keyring shows the entries under.
    static const QString serviceName;

    explicit CredentialStore(QObject *parent = nullptr);
    ~CredentialStore() override;

    void store(const QString &email, const QByteArray &secret);
    void read(const QString &email);
    void remove(const QString &email);

signals:
    void storeFinished(const CredentialResult &result);
    void readFinished(const CredentialResult &result);
    void removeFinished(const CredentialResult &result);

private:
    enum class Operation { Store, Read, Remove };

    void start(Operation operation, QKeychain::Job *job, const QString &email);
    void handleFinished(Operation operation, QKeychain::Job *job, const QString &email);
    void report(Operation operation, const CredentialResult &result);
};
