#include "service/credentialstore.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>

#include <qt6keychain/keychain.h>

Q_LOGGING_CATEGORY(lcCredentials, "quorvel.credentials")

namespace {

// Addresses differ in case between typings (the sign-in lowers them, a hand
// edit of config.ini may not); one account must find one entry.
QString keyFor(const QString &email)
{
    return email.trimmed().toLower();
}

// Whether anything on the session bus keeps secrets, running or ready to be
// started: the Secret Service, or a KDE wallet, which the keyring library
// prefers on a KDE desktop.
bool keyringOnBus()
{
    const QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    if (!bus)
        return false;
    const QStringList startable = bus->activatableServiceNames();
    for (const char *name :
        { "org.freedesktop.secrets", "org.kde.kwalletd6", "org.kde.kwalletd5", "org.kde.kwalletd" }) {
        const QString service = QString::fromLatin1(name);
        if (bus->isServiceRegistered(service) || startable.contains(service))
            return true;
    }
    return false;
}

// Whether the Secret Service's default keyring, where the entries are kept,
// is locked. Asked only of a running service: asking would start one.
bool secretServiceLocked()
{
    const QString service = QStringLiteral("org.freedesktop.secrets");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.interface() || !bus.interface()->isServiceRegistered(service))
        return false;
    QDBusMessage get
        = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/secrets/aliases/default"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.Secret.Collection") << QStringLiteral("Locked");
    const QDBusReply<QDBusVariant> locked = bus.call(get, QDBus::Block, 5000);
    return locked.isValid() && locked.value().variant().toBool();
}

CredentialResult::Kind kindOf(QKeychain::Error error)
{
    switch (error) {
    case QKeychain::NoError:
        return CredentialResult::Ok;
    case QKeychain::EntryNotFound:
        return CredentialResult::NotFound;
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
    case QKeychain::AccessDenied:
    case QKeychain::AccessDeniedByUser:
        return CredentialResult::NoKeyring;
    case QKeychain::CouldNotDeleteEntry:
    case QKeychain::OtherError:
        break;
    }
    // The Secret Service backend reports a bus with nothing to answer as any
    // other error, in the bus's own words; what the bus offers tells it apart.
    return keyringOnBus() ? CredentialResult::Failed : CredentialResult::NoKeyring;
}

} // namespace

const QString CredentialStore::serviceName = QStringLiteral("Quorvel Download Tool");

CredentialStore::CredentialStore(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<CredentialResult>();
}

CredentialStore::~CredentialStore() = default;

void CredentialStore::store(const QString &email, const QByteArray &secret)
{
    auto *job = new QKeychain::WritePasswordJob(serviceName);
    job->setBinaryData(secret);
    start(Operation::Store, job, email);
}

void CredentialStore::read(const QString &email)
{
    start(Operation::Read, new QKeychain::ReadPasswordJob(serviceName), email);
}

void CredentialStore::remove(const QString &email)
{
    start(Operation::Remove, new QKeychain::DeletePasswordJob(serviceName), email);
}

void CredentialStore::start(Operation operation, QKeychain::Job *job, const QString &email)
{
    // Where the desktop has no keyring the library could keep the secret in
    // a plain settings file instead; that is exactly what this class exists
    // to avoid.
    job->setInsecureFallback(false);
    job->setKey(keyFor(email));

    // The job is not parented to this object: it deletes itself once it has
    // finished, and the backend's callbacks point at it until then, so it
    // must outlive a store destroyed mid-call. The context object drops the
    // answer in that case.
    connect(job, &QKeychain::Job::finished, this,
        [this, operation, email](QKeychain::Job *finished) { handleFinished(operation, finished, email); });
    job->start();
}

void CredentialStore::handleFinished(Operation operation, QKeychain::Job *job, const QString &email)
{
    CredentialResult::Kind kind = kindOf(job->error());
    QString detail = kind == CredentialResult::Ok ? QString() : job->errorString();
    // A locked keyring whose unlock prompt was declined (or could not be
    // shown) answers a lookup with nothing and a removal with success, as an
    // empty one would: the entry is still there, out of reach.
    const bool unanswered = (operation == Operation::Read && kind == CredentialResult::NotFound)
        || (operation == Operation::Remove && kind == CredentialResult::Ok);
    if (unanswered && secretServiceLocked()) {
        kind = CredentialResult::NoKeyring;
        detail = QStringLiteral("the keyring is locked");
    }
    QByteArray secret;
    if (operation == Operation::Read && kind == CredentialResult::Ok)
        secret = static_cast<QKeychain::ReadPasswordJob *>(job)->binaryData();
    report(operation, CredentialResult(kind, email, detail, secret));
}

void CredentialStore::report(Operation operation, const CredentialResult &result)
{
    static const char *const names[] = { "store", "read", "remove" };
    const char *name = names[int(operation)];
    switch (result.kind()) {
    case CredentialResult::Ok:
        qCInfo(lcCredentials, "Keyring %s: done", name);
        break;
    case CredentialResult::NotFound:
        qCInfo(lcCredentials, "Keyring %s: nothing kept for this address", name);
        break;
    case CredentialResult::NoKeyring:
        qCWarning(
            lcCredentials, "Keyring %s: no keyring available (%s)", name, qUtf8Printable(result.detail()));
        break;
    case CredentialResult::Failed:
        qCWarning(lcCredentials, "Keyring %s failed: %s", name, qUtf8Printable(result.detail()));
        break;
    }

    switch (operation) {
    case Operation::Store:
        emit storeFinished(result);
        break;
    case Operation::Read:
        emit readFinished(result);
        break;
    case Operation::Remove:
        emit removeFinished(result);
        break;
    }
}
