#include "service/account.h"

#include <QLoggingCategory>
#include <QRegularExpression>

#include "base/appglobals.h"
#include "base/settings.h"
#include "service/chartservice.h"
#include "service/credentialstore.h"
#include "service/passwordmigration.h"
#include "service/servicekeys.h"

Q_DECLARE_LOGGING_CATEGORY(lcService)

Account::Account(ChartService *chartService, QObject *parent)
    : QObject(parent)
    , service(chartService)
    , store(new CredentialStore(this))
{
    connect(store, &CredentialStore::storeFinished, this, &Account::handleStored);
}

Account::~Account() = default;

QStringList Account::problems(const QString &email, const QString &password)
{
    // The whole text: an address is sent to the service, kept in config.ini
    // and shown on the terminal, so nothing may come before or after it
    // (a space, a line break, an escape sequence).
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[A-Z0-9._%+-]+@[A-Z0-9.-]+\\.[A-Z]{2,4}")),
        QRegularExpression::CaseInsensitiveOption);
    QStringList found;
    if (!pattern.match(email).hasMatch())
        found << QStringLiteral("Wrong email format.");
    if (password.size() < 8)
        found << QStringLiteral("Password too short.");
    return found;
}

QString Account::email() const
{
    Settings settings(configFilePath);
    return settings.valueOrInit(SettingsKeys::email, QString());
}

bool Account::rememberMe() const
{
    Settings settings(configFilePath);
    return settings.value(SettingsKeys::rememberMe, false).toBool();
}

void Account::loadRemembered()
{
    if (migration)
        return;
    migrationSettings = std::make_unique<Settings>(configFilePath);
    migration = new PasswordMigration(*migrationSettings, *store, this);
    connect(migration, &PasswordMigration::finished, this, &Account::readRemembered);
    if (!migration->start())
        readRemembered();
}

void Account::readRemembered()
{
    const QString address = email();
    if (!rememberMe() || address.isEmpty()) {
        loaded = true;
        emit rememberedLoaded();
        return;
    }
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(store, &CredentialStore::readFinished, this,
                          [this, connection, address](const CredentialResult &result) {
                              if (result.email().compare(address, Qt::CaseInsensitive) != 0)
                                  return;
                              disconnect(*connection);
                              // Only a digest is ever signed in with: anything else in the
                              // keyring under this name is not the tool's.
                              remembered = result.ok() && ServiceKeys::isPasswordHash(result.secret())
                                               ? result.secret()
                                               : QByteArray();
                              // A keyring that could not be asked may still hold it: that
                              // is not "nothing remembered", and the user must hear why.
                              unreadable = result.unanswered() ? result.reason() : QString();
                              loaded = true;
                              emit rememberedLoaded();
                          });
    store->read(address);
}

void Account::signIn(const QString &address, const QString &password, Remember remember)
{
    send(address.toLower(), ServiceKeys::passwordHash(password), remember);
}

void Account::signInRemembered(Remember remember)
{
    if (remembered.isEmpty()) {
        ServiceError error;
        error.kind = ServiceError::Refused;
        error.code = QStringLiteral("wrong_password");
        error.message = QStringLiteral("Wrong email or password");
        emit signInFailed(error);
        return;
    }
    send(email(), remembered, remember);
}

void Account::send(const QString &address, const QByteArray &hash, Remember remember)
{
    // A second press while the first answer is on its way is not a second
    // sign-in.
    if (pending)
        return;
    pending = true;
    ServiceCall<QString> *call = service->signIn(address, hash);
    connect(call, &ServiceReply::finished, this, [this, call, address, hash, remember] {
        pending = false;
        // A refused sign-in (a mistyped address, a wrong password) leaves the
        // remembered one as it was.
        if (!call->ok()) {
            qCInfo(lcService) << "sign-in refused:" << call->error().status << call->error().code;
            emit signInFailed(call->error());
            return;
        }
        rememberChoice(address, hash, remember);
        session = call->value();
        emit signedIn();
    });
}

void Account::rememberChoice(const QString &address, const QByteArray &hash, Remember remember)
{
    if (remember == Remember::Keep)
        return;
    const QString previous = email();
    const bool wasRemembered = rememberMe();
    {
        Settings settings(configFilePath);
        settings.setValue(SettingsKeys::rememberMe, remember == Remember::Store);
        settings.setValue(SettingsKeys::email, address);
    }
    // One sign-in is remembered, that of the address in config.ini; the one
    // before it would otherwise stay in the keyring with nothing that names
    // it, out of reach of a sign-out. Asked first: the keyring answers in
    // order, so whoever waits for the new credential's answer (the command
    // line, before it exits) waits for this one too.
    if (!previous.isEmpty() && previous.compare(address, Qt::CaseInsensitive) != 0)
        store->remove(previous);
    if (remember == Remember::Store) {
        remembered = hash;
        store->store(address, hash);
    } else {
        remembered.clear();
        removeRemembered(address, wasRemembered,
                         [this](const CredentialResult &result) { emit forgetSettled(result); });
    }
}

void Account::removeRemembered(const QString &address, bool wasRemembered,
                               const std::function<void(const CredentialResult &)> &then)
{
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(store, &CredentialStore::removeFinished, this,
        [connection, address, wasRemembered, then](const CredentialResult &result) {
            if (result.email().compare(address, Qt::CaseInsensitive) != 0)
                return;
            QObject::disconnect(*connection);
            then(wasRemembered || !result.unanswered() ? result
                                                       : CredentialResult(CredentialResult::NotFound, address));
        });
    store->remove(address);
}

void Account::handleStored(const CredentialResult &result)
{
    if (!result.ok()) {
        // Nothing was kept: config.ini must not say otherwise, or a later
        // sign-out would take a keyring out of reach for one that holds it.
        Settings settings(configFilePath);
        settings.setValue(SettingsKeys::rememberMe, false);
    }
    emit rememberSettled(result.ok());
    if (result.ok())
        return;
    qCWarning(lcService) << "the sign-in is not remembered:" << result.detail();
    if (toldNoKeyring)
        return;
    toldNoKeyring = true;
    emit cannotRemember(result.message());
}

void Account::signOut()
{
    session.clear();
    remembered.clear();
    const QString address = email();
    const bool wasRemembered = rememberMe();
    {
        Settings settings(configFilePath);
        settings.setValue(SettingsKeys::rememberMe, false);
    }
    if (address.isEmpty()) {
        emit signedOut(CredentialResult(CredentialResult::NotFound, address));
        return;
    }
    removeRemembered(address, wasRemembered, [this](const CredentialResult &result) { emit signedOut(result); });
}
