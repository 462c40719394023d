#include "dialogs/signin.h"
#include "ui_signin.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QUrl>

#include "dialogs/about.h"
#include "service/deploymentdata.h"
#include "dialogs/termsofuse.h"
#include "window/newwindow.h"

namespace {

bool isHexDigest(const QByteArray &text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-f]{40}$"));
    return pattern.match(QString::fromLatin1(text)).hasMatch();
}

} // namespace

SignIn::SignIn(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::SignIn)
    , linkButton(nullptr)
    , about(new About(nullptr))
    , emailPattern(QStringLiteral("\\b[A-Z0-9._%+-]+@[A-Z0-9.-]+\\.[A-Z]{2,4}\\b"),
                   QRegularExpression::CaseInsensitiveOption)
{
    ui->setupUi(this);
    linkButton = client.messageBox.addButton(QStringLiteral("Link"), QMessageBox::HelpRole);
    linkButton->hide();

    email = client.settings.valueOrInit(SettingsKeys::email, QString());
    if (!email.isEmpty()) {
        ui->emlTxt->setText(email);
        ui->pwdTxt->setFocus();
    }

    const bool remember = client.settings.value(SettingsKeys::rememberMe, false).toBool();
    ui->rmbChk->setChecked(remember);

    // The stored hash is scrambled with the address; without an address (a
    // hand-edited file) or when unscrambling gives no digest, the user simply
    // types the password again.
    const QString stored = client.settings.value(SettingsKeys::password).toString();
    if (remember && !stored.isEmpty() && !email.isEmpty()) {
        const QByteArray restored = xorBytes(stored.toUtf8(), email.toUtf8());
        if (isHexDigest(restored)) {
            passwordHash = restored;
            ui->pwdTxt->setText(QString::fromLatin1(passwordHash));
        }
    }

    const QString base = client.baseUrl;
    ui->signupLnk->setText(QStringLiteral("<a href=\"") + base
                           + QStringLiteral("/users/sign_up\" style=\"color: white\">Create Account</a>"));
    ui->unlockLnk->setText(QStringLiteral("<a href=\"") + base
                           + QStringLiteral("/users/unlock/new\" style=\"color: white\">Unlock Account</a>"));
    ui->resetPwdLnk->setText(QStringLiteral("<a href=\"") + base
                             + QStringLiteral("/users/password/new\" style=\"color: white\">Forgot Password</a>"));

    connect(ui->signinBtn, &QPushButton::released, this, &SignIn::request);
    connect(ui->quitBtn, &QPushButton::released, qApp, &QCoreApplication::quit);
    connect(ui->termsBtn, &QPushButton::released, this, &SignIn::showTermsOfUse);
    connect(ui->aboutBtn, &QPushButton::released, this, &SignIn::showAbout);
    connect(client.manager, &QNetworkAccessManager::finished, this, &SignIn::handleResponse);

    termsAgreed = client.settings.valueOrInit(SettingsKeys::termsAgreed, QStringLiteral("0")).toInt() != 0;
    termsOfUse = new TermsOfUse(nullptr, termsAgreed);
    connect(termsOfUse, &TermsOfUse::agreedSig, this, &SignIn::agreeTerms);
}

SignIn::~SignIn()
{
    delete termsOfUse;
    delete about;
    delete ui;
}

void SignIn::Show()
{
    if (!termsAgreed) {
        termsOfUse->show();
        termsOfUse->activateWindow();
        return;
    }
    show();
}

void SignIn::agreeTerms()
{
    termsAgreed = true;
    client.settings.setValue(SettingsKeys::termsAgreed, QStringLiteral("1"));
    client.settings.sync();
    termsOfUse->hide();
    show();
    activateWindow();
}

void SignIn::showTermsOfUse()
{
    termsOfUse->show();
    termsOfUse->raise();
    termsOfUse->activateWindow();
}

void SignIn::showAbout()
{
    about->show();
    about->raise();
}

QByteArray SignIn::hashPwd(const QString &password)
{
    const QByteArray a(reinterpret_cast<const char *>(DeploymentData::saltA), 20);
    const QByteArray b(reinterpret_cast<const char *>(DeploymentData::saltB), 20);
    const QString salt = QString::fromLatin1(xorBytes(a, b).toHex());
    return QCryptographicHash::hash((password + salt).toUtf8(), QCryptographicHash::Sha1).toHex();
}

void SignIn::request()
{
    ui->signinBtn->setEnabled(false);

    const QString address = ui->emlTxt->text().toLower();
    const QString typed = ui->pwdTxt->text();

    bool reuse = ui->rmbChk->isChecked();
    client.settings.setValue(SettingsKeys::rememberMe, reuse);

    if (address != email) {
        email = address;
        client.settings.setValue(SettingsKeys::email, email);
        reuse = false;
    }

    QString errors;
    if (!emailPattern.match(email).hasMatch())
        errors += QStringLiteral("<li>Wrong email format.</li>");
    if (typed.size() < 8)
        errors += QStringLiteral("<li>Password too short.</li>");
    if (!errors.isEmpty()) {
        linkButton->hide();
        client.messageBox.setText(errors);
        client.messageBox.exec();
        ui->signinBtn->setEnabled(true);
        return;
    }

    // The field holds the remembered digest itself when nothing was retyped;
    // hashing it again would send a hash of a hash.
    if (!(reuse && !passwordHash.isEmpty() && typed == QString::fromLatin1(passwordHash)))
        passwordHash = hashPwd(typed);

    QJsonObject body;
    body.insert(QStringLiteral("password"), QString::fromLatin1(passwordHash));
    body.insert(QStringLiteral("email"), email);
    body.insert(QStringLiteral("remember_me"), true);
    client.post(QStringLiteral("Login"), QStringLiteral("session"), body);
}

void SignIn::handleResponse(QNetworkReply *response)
{
    const QJsonObject object = QJsonDocument::fromJson(response->readAll()).object();

    if (response->error() != QNetworkReply::NoError) {
        qDebug() << response->errorString();
        ui->signinBtn->setEnabled(true);

        const QString message = object.value(QStringLiteral("message")).toString();
        const QString code = object.value(QStringLiteral("error")).toString();
        const int status = response->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

        client.messageBox.setText(message.isEmpty() ? QStringLiteral("Error: ") + QString::number(status)
                                                    : message);
        linkButton->hide();
        QString link;
        if (code == QLatin1String("account_not_active")) {
            link = client.baseUrl + QStringLiteral("/users/unlock/new");
            linkButton->setText(QStringLiteral("Unlock Account"));
            linkButton->show();
        } else if (code == QLatin1String("wrong_password") || code == QLatin1String("user_not_found")) {
            client.messageBox.setText(QStringLiteral("Wrong email or password"));
            link = client.baseUrl + QStringLiteral("/users/password/new");
            linkButton->setText(QStringLiteral("Reset Password"));
            linkButton->show();
        } else if (status == 0) {
            client.messageBox.setText(QStringLiteral("Please check your internet connection."));
        }

        // Released before the modal loop: a second reply may arrive meanwhile.
        response->deleteLater();
        client.messageBox.exec();
        if (client.messageBox.clickedButton() == linkButton && !link.isEmpty())
            QDesktopServices::openUrl(QUrl(link));
        return;
    }

    if (ui->rmbChk->isChecked())
        client.settings.setValue(SettingsKeys::password,
                                 QString::fromUtf8(xorBytes(passwordHash, email.toUtf8())));
    client.settings.sync();
    sessionId = object.value(QStringLiteral("session_id")).toString();
    response->deleteLater();

    hide();
    // A second success (double press while the first reply was in flight)
    // must not open a second main window.
    if (newWindow)
        return;
    newWindow = new NewWindow(sessionId, nullptr);
    newWindow->show();
    newWindow->activateWindow();
}

void SignIn::closeEvent(QCloseEvent *event)
{
    event->accept();
    QCoreApplication::exit(0);
}

void SignIn::reject()
{
    close();
}
