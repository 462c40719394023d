#include "session.h"

#include <QEventLoop>
#include <QLoggingCategory>

#include <cstdio>
#include <unistd.h>

#include "printer.h"
#include "terminal.h"

Q_DECLARE_LOGGING_CATEGORY(lcCli)

namespace {

const QList<ProductTypeEnum> lines { RqSd, VelmoraRegion, Talvos };

JobError signInError(const ServiceError &error, const QString &baseUrl)
{
    JobError result = JobError::fromService(error);
    // 403 "account_not_active" is as much a refusal of the credentials as
    // 401: the user has to do something about the account either way.
    if (error.isSignInRefusal())
        result.kind = JobError::SignIn;
    // The network layer's words alone ("Connection refused") do not say
    // what could not be reached; a wrong QUORVEL_SERVICE_URL shows here.
    if (result.kind == JobError::Network)
        result.message
            = QStringLiteral("The chart service at %1 cannot be reached: %2").arg(baseUrl, result.message);
    if (result.message.isEmpty())
        result.message = QStringLiteral("The chart service refused the sign-in.");
    return result;
}

} // namespace

Session::Session(QObject *parent)
    : QObject(parent)
    , chartService(QString(), this)
    , user(&chartService, this)
    , products(&chartService, this)
{
}

JobError Session::signIn(Account::Remember remember, int *signalNumber)
{
    *signalNumber = 0;
    const QString email = qEnvironmentVariable(emailVariable).trimmed();
    const QString password = qEnvironmentVariable(passwordVariable);
    // Credentials in the environment need nothing from the keyring: a
    // locked or stalled one must not hold a script up, and what it would
    // say does not change what this run does.
    if (!email.isEmpty() && !password.isEmpty()) {
        qCInfo(lcCli) << "signing in with the credentials from the environment";
        return send(email, password, remember);
    }
    awaitRemembered();
    const bool sameAddress = email.isEmpty() || email.compare(user.email(), Qt::CaseInsensitive) == 0;
    if (user.hasRemembered() && sameAddress) {
        qCInfo(lcCli) << "signing in with the remembered credential";
        return sendRemembered(remember);
    }
    const bool terminal = Terminal::isTerminal(STDIN_FILENO);
    if (!user.unreadableRemembered().isEmpty() && sameAddress) {
        const QString why = QStringLiteral("The keyring could not be read (%1), so the remembered sign-in "
                                           "cannot be used.")
                                .arg(user.unreadableRemembered());
        if (!terminal)
            return JobError { JobError::SignIn, QString(),
                why
                    + QStringLiteral(" Unlock or start the keyring, or set %1 and %2.")
                          .arg(QLatin1String(emailVariable), QLatin1String(passwordVariable)) };
        std::fputs(qPrintable(Printer::printable(why) + QLatin1Char('\n')), stderr);
    }
    if (!terminal) {
        return JobError { JobError::SignIn, QString(),
            QStringLiteral("No credentials: set %1 and %2, or sign in once on a terminal with "
                           "\"quorvel-cli sign-in --remember\".")
                .arg(QLatin1String(emailVariable), QLatin1String(passwordVariable)) };
    }
    QString typedEmail = email;
    if (typedEmail.isEmpty()) {
        const QString known = user.email();
        // config.ini is anyone's to edit: what it holds is shown, not obeyed.
        const QString prompt = known.isEmpty()
            ? QStringLiteral("E-mail: ")
            : QStringLiteral("E-mail [%1]: ").arg(Printer::printable(known, Printer::Lines::Escaped));
        if (!Terminal::readLine(prompt, &typedEmail, signalNumber))
            return JobError { JobError::SignIn, QString(), QStringLiteral("No e-mail address given.") };
        typedEmail = typedEmail.trimmed();
        if (typedEmail.isEmpty())
            typedEmail = known;
    }
    QString typedPassword;
    if (!Terminal::readHidden(QStringLiteral("Password: "), &typedPassword, signalNumber))
        return JobError { JobError::SignIn, QString(), QStringLiteral("No password given.") };
    return send(typedEmail, typedPassword, remember);
}

void Session::awaitRemembered()
{
    if (user.isRememberedLoaded())
        return;
    QEventLoop loop;
    connect(&user, &Account::rememberedLoaded, &loop, &QEventLoop::quit);
    user.loadRemembered();
    if (!user.isRememberedLoaded())
        loop.exec();
}

bool Session::awaitKept()
{
    bool kept = false;
    QEventLoop loop;
    connect(&user, &Account::rememberSettled, &loop, [&](bool remembered) {
        kept = remembered;
        loop.quit();
    });
    connect(&user, &Account::cannotRemember, this, [this](const QString &message) { problem = message; });
    loop.exec();
    return kept;
}

QString Session::awaitForgotten()
{
    QString left;
    QEventLoop loop;
    connect(&user, &Account::forgetSettled, &loop, [&](const CredentialResult &removal) {
        if (removal.unanswered())
            left = removal.reason();
        loop.quit();
    });
    loop.exec();
    return left;
}

CredentialResult Session::signOut()
{
    CredentialResult removal;
    bool answered = false;
    QEventLoop loop;
    connect(&user, &Account::signedOut, &loop, [&](const CredentialResult &result) {
        removal = result;
        answered = true;
        loop.quit();
    });
    // With no address in config.ini there is nothing to ask the keyring,
    // and the answer comes at once, before the loop would run.
    user.signOut();
    if (!answered)
        loop.exec();
    return removal;
}

JobError Session::send(const QString &email, const QString &password, Account::Remember remember)
{
    const QStringList problems = Account::problems(email, password);
    if (!problems.isEmpty())
        return JobError { JobError::SignIn, QString(), problems.join(QLatin1Char(' ')) };
    user.signIn(email, password, remember);
    return awaitSignIn();
}

JobError Session::sendRemembered(Account::Remember remember)
{
    user.signInRemembered(remember);
    return awaitSignIn();
}

JobError Session::awaitSignIn()
{
    if (user.isSignedIn())
        return JobError();
    QEventLoop loop;
    JobError result;
    connect(&user, &Account::signedIn, &loop, &QEventLoop::quit);
    connect(&user, &Account::signInFailed, &loop, [this, &loop, &result](const ServiceError &error) {
        result = signInError(error, chartService.baseUrl());
        loop.quit();
    });
    loop.exec();
    if (result.isNone())
        products.setSession(user.sessionId());
    return result;
}

JobError Session::loadCatalogue()
{
    JobError result;
    QEventLoop loop;
    int waiting = 1;
    const auto failed = [&](const ServiceError &error) {
        result = JobError::fromService(error);
        loop.quit();
    };
    connect(&products, &Catalogue::productsFailed, &loop, failed);
    connect(&products, &Catalogue::subscriptionsFailed, &loop,
        [&failed](ProductTypeEnum, const ServiceError &error) { failed(error); });
    const auto arrived = [&] {
        if (--waiting == 0)
            loop.quit();
    };
    // The catalogue keeps subscriptions only for products it knows: they
    // are asked for once the products are in.
    connect(&products, &Catalogue::productsArrived, &loop, [this, &waiting, arrived] {
        for (ProductTypeEnum line : lines) {
            ++waiting;
            products.loadSubscriptions(line);
        }
        arrived();
    });
    connect(&products, &Catalogue::subscriptionsArrived, &loop, arrived);
    products.loadProducts();
    loop.exec();
    return result;
}
