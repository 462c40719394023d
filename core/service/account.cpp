#include "service/account.h"

#include <QLoggingCategory>
#include <QRegularExpression>

#include "base/appglobals.h"
#include "base/settings.h"
#include "service/chartservice.h"
#include "service/servicekeys.h"

Q_DECLARE_LOGGING_CATEGORY(lcService)

namespace {

bool isHexDigest(const QByteArray &text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-f]{40}$"));
    return pattern.match(QString::fromLatin1(text)).hasMatch();
}

} // namespace

Account::Account(ChartService *chartService, QObject *parent)
    : QObject(parent)
    , service(chartService)
{
}

QStringList Account::problems(const QString &email, const QString &password)
{
    static const QRegularExpression pattern(QStringLiteral("\\b[A-Z0-9._%+-]+@[A-Z0-9.-]+\\.[A-Z]{2,4}\\b"),
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

bool Account::hasRemembered() const
{
    return !rememberedHash().isEmpty();
}

QByteArray Account::rememberedHash() const
{
    Settings settings(configFilePath);
    const QString address = settings.value(SettingsKeys::email).toString();
    const QString stored = settings.value(SettingsKeys::password).toString();
    if (!settings.value(SettingsKeys::rememberMe, false).toBool() || stored.isEmpty() || address.isEmpty())
        return QByteArray();
    // Without an address, or when unscrambling gives no digest (a
    // hand-edited file), the user simply types the password again.
    const QByteArray restored = ServiceKeys::xorBytes(stored.toUtf8(), address.toUtf8());
    return isHexDigest(restored) ? restored : QByteArray();
}

void Account::signIn(const QString &address, const QString &password, bool remember)
{
    send(address.toLower(), ServiceKeys::passwordHash(password), remember);
}

void Account::signInRemembered(bool remember)
{
    const QByteArray hash = rememberedHash();
    if (hash.isEmpty()) {
        ServiceError error;
        error.kind = ServiceError::Refused;
        error.code = QStringLiteral("wrong_password");
        error.message = QStringLiteral("Wrong email or password");
        emit signInFailed(error);
        return;
    }
    send(email(), hash, remember);
}

void Account::send(const QString &address, const QByteArray &hash, bool remember)
{
    // A second press while the first answer is on its way is not a second
    // sign-in.
    if (pending)
        return;
    pending = true;
    {
        Settings settings(configFilePath);
        settings.setValue(SettingsKeys::rememberMe, remember);
        if (address != settings.value(SettingsKeys::email).toString()) {
            settings.setValue(SettingsKeys::email, address);
            settings.remove(SettingsKeys::password);
        }
    }
    ServiceCall<QString> *call = service->signIn(address, hash);
    connect(call, &ServiceReply::finished, this, [this, call, address, hash, remember] {
        pending = false;
        if (!call->ok()) {
            qCInfo(lcService) << "sign-in refused:" << call->error().status << call->error().code;
            emit signInFailed(call->error());
            return;
        }
        if (remember)
            this->remember(address, hash);
        else
            forget();
        session = call->value();
        emit signedIn();
    });
}

void Account::remember(const QString &address, const QByteArray &hash)
{
    Settings settings(configFilePath);
    settings.setValue(SettingsKeys::password, QString::fromUtf8(ServiceKeys::xorBytes(hash, address.toUtf8())));
    settings.sync();
}

void Account::forget()
{
    Settings settings(configFilePath);
    settings.remove(SettingsKeys::password);
    settings.sync();
}

void Account::signOut()
{
    session.clear();
    forget();
    Settings settings(configFilePath);
    settings.setValue(SettingsKeys::rememberMe, false);
}
