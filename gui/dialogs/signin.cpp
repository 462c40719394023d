#include "dialogs/signin.h"
#include "ui_signin.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include "service/account.h"
#include "service/chartservice.h"

namespace {
// Shown in the password field for a remembered sign-in: never the secret.
const QString rememberedStandIn = QStringLiteral("\u2022\u2022\u2022\u2022\u2022\u2022\u2022\u2022\u2022\u2022");
} // namespace

SignIn::SignIn(Account *userAccount, ChartService *chartService, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::SignIn)
    , account(userAccount)
    , service(chartService)
{
    ui->setupUi(this);

    const QString email = account->email();
    if (!email.isEmpty()) {
        ui->emlTxt->setText(email);
        ui->pwdTxt->setFocus();
    }
    ui->rmbChk->setChecked(account->rememberMe());
    // The keyring answers later; the stand-in appears once it has, unless
    // the user has begun to type meanwhile.
    const auto showRemembered = [this] {
        if (account->rememberMe() && account->hasRemembered() && ui->pwdTxt->text().isEmpty()
            && ui->emlTxt->text().compare(account->email(), Qt::CaseInsensitive) == 0) {
            ui->pwdTxt->setText(rememberedStandIn);
            rememberedShown = true;
        }
    };
    connect(account, &Account::rememberedLoaded, this, showRemembered);
    if (account->isRememberedLoaded())
        showRemembered();
    else
        account->loadRemembered();
    connect(ui->pwdTxt, &QLineEdit::textEdited, this, [this] { rememberedShown = false; });
    connect(ui->emlTxt, &QLineEdit::textEdited, this, [this] {
        if (rememberedShown) {
            ui->pwdTxt->clear();
            rememberedShown = false;
        }
    });

    const QString base = service->baseUrl();
    ui->signupLnk->setText(QStringLiteral("<a href=\"") + base
                           + QStringLiteral("/users/sign_up\" style=\"color: white\">Create Account</a>"));
    ui->unlockLnk->setText(QStringLiteral("<a href=\"") + base
                           + QStringLiteral("/users/unlock/new\" style=\"color: white\">Unlock Account</a>"));
    ui->resetPwdLnk->setText(QStringLiteral("<a href=\"") + base
                             + QStringLiteral("/users/password/new\" style=\"color: white\">Forgot Password</a>"));

    connect(ui->signinBtn, &QPushButton::clicked, this, &SignIn::request);
    connect(ui->quitBtn, &QPushButton::clicked, this, &SignIn::quitRequested);
    connect(ui->termsBtn, &QPushButton::clicked, this, &SignIn::termsRequested);
    connect(ui->aboutBtn, &QPushButton::clicked, this, &SignIn::aboutRequested);
    connect(account, &Account::signedIn, this, [this] {
        ui->signinBtn->setEnabled(true);
        // The dialog is shown again after a sign-out: a password left in
        // it would sign anyone at the computer in again.
        ui->pwdTxt->clear();
        rememberedShown = false;
        hide();
        emit signedIn();
    });
    connect(account, &Account::signInFailed, this, &SignIn::showRefusal);
}

SignIn::~SignIn()
{
    delete ui;
}

void SignIn::request()
{
    const QString email = ui->emlTxt->text().toLower();
    const Account::Remember remember
        = ui->rmbChk->isChecked() ? Account::Remember::Store : Account::Remember::Forget;
    // Whatever the field holds other than the stand-in was typed.
    if (rememberedShown && ui->pwdTxt->text() != rememberedStandIn)
        rememberedShown = false;
    if (rememberedShown && email == account->email()) {
        ui->signinBtn->setEnabled(false);
        account->signInRemembered(remember);
        return;
    }
    // The stand-in is no password: with another address it counts as none.
    const QString typed = rememberedShown ? QString() : ui->pwdTxt->text();
    const QStringList problems = Account::problems(email, typed);
    if (!problems.isEmpty()) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Quorvel Download Tool"), QString(), QMessageBox::Ok,
                        this);
        QString list;
        for (const QString &problem : problems)
            list += QStringLiteral("<li>") + problem.toHtmlEscaped() + QStringLiteral("</li>");
        box.setTextFormat(Qt::RichText);
        box.setText(list);
        box.exec();
        return;
    }
    ui->signinBtn->setEnabled(false);
    account->signIn(email, typed, remember);
}

void SignIn::showRefusal(const ServiceError &error)
{
    ui->signinBtn->setEnabled(true);
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Quorvel Download Tool"), QString(), QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("signInRefusal"));
    box.setEscapeButton(QMessageBox::Ok);
    QString text = error.message.isEmpty() ? QStringLiteral("Error: ") + QString::number(error.status)
                                           : error.message;
    QString link;
    QPushButton *linkButton = nullptr;
    if (error.code == QLatin1String("account_not_active")) {
        link = service->pageUrl(QStringLiteral("/users/unlock/new"));
        linkButton = box.addButton(QStringLiteral("Unlock Account"), QMessageBox::HelpRole);
    } else if (error.code == QLatin1String("wrong_password") || error.code == QLatin1String("user_not_found")) {
        text = QStringLiteral("Wrong email or password");
        link = service->pageUrl(QStringLiteral("/users/password/new"));
        linkButton = box.addButton(QStringLiteral("Reset Password"), QMessageBox::HelpRole);
    } else if (error.kind == ServiceError::Network) {
        text = QStringLiteral("Please check your internet connection.");
    }
    box.setText(text);
    box.exec();
    if (linkButton && box.clickedButton() == linkButton)
        QDesktopServices::openUrl(QUrl(link));
}

void SignIn::closeEvent(QCloseEvent *event)
{
    event->accept();
    emit quitRequested();
}

void SignIn::reject()
{
    close();
}
