#include "shell/appcontroller.h"

#include <QCoreApplication>
#include <QMessageBox>

#include "base/appglobals.h"
#include "base/settings.h"
#include "dialogs/about.h"
#include "dialogs/signin.h"
#include "dialogs/termsofuse.h"
#include "service/account.h"
#include "service/chartservice.h"
#include "window/newwindow.h"

AppController::AppController(QObject *parent)
    : QObject(parent)
    , chart(new ChartService(QString(), this))
    , user(new Account(chart, this))
{
    connect(user, &Account::cannotRemember, this, [this](const QString &message) {
        QWidget *over = window ? static_cast<QWidget *>(window.data()) : signIn.data();
        auto *box = new QMessageBox(QMessageBox::Information, QStringLiteral("Quorvel Download Tool"), message,
                                    QMessageBox::Ok, over);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    });
    Settings settings(configFilePath);
    termsAgreed = settings.valueOrInit(SettingsKeys::termsAgreed, QStringLiteral("0")).toInt() != 0;
}

AppController::~AppController()
{
    delete window.data();
    delete signIn.data();
    delete terms.data();
    delete about.data();
}

SignIn *AppController::signInDialog() const
{
    return signIn;
}

TermsOfUse *AppController::termsWindow() const
{
    return terms;
}

NewWindow *AppController::mainWindow() const
{
    return window;
}

About *AppController::aboutDialog() const
{
    return about;
}

void AppController::start()
{
    if (termsAgreed) {
        showSignIn();
        return;
    }
    showTerms();
}

void AppController::showTerms()
{
    if (!terms) {
        terms = new TermsOfUse(nullptr, termsAgreed);
        connect(terms, &TermsOfUse::agreedSig, this, [this] {
            termsAgreed = true;
            Settings settings(configFilePath);
            settings.setValue(SettingsKeys::termsAgreed, QStringLiteral("1"));
            settings.sync();
            terms->hide();
            if (!window)
                showSignIn();
        });
        connect(terms, &TermsOfUse::declined, this, &AppController::quit);
    }
    terms->show();
    terms->raise();
    terms->activateWindow();
}

void AppController::bringForward()
{
    QWidget *front = window ? static_cast<QWidget *>(window.data()) : nullptr;
    if (!front && signIn && signIn->isVisible())
        front = signIn;
    if (!front && terms)
        front = terms;
    if (!front)
        front = signIn;
    if (!front)
        return;
    // From the tray or the task bar alike: shown, not minimised, on top.
    front->setWindowState(front->windowState() & ~Qt::WindowMinimized);
    front->show();
    front->raise();
    front->activateWindow();
}

void AppController::showAbout()
{
    if (!about)
        about = new About(chart);
    about->show();
    about->raise();
    about->activateWindow();
}

void AppController::showSignIn()
{
    if (!signIn) {
        signIn = new SignIn(user, chart);
        connect(signIn, &SignIn::signedIn, this, &AppController::openMainWindow);
        connect(signIn, &SignIn::quitRequested, this, &AppController::quit);
        connect(signIn, &SignIn::aboutRequested, this, &AppController::showAbout);
        connect(signIn, &SignIn::termsRequested, this, &AppController::showTerms);
    }
    signIn->show();
    signIn->raise();
    signIn->activateWindow();
}

void AppController::openMainWindow()
{
    // A second success (a double press while the first answer was on its
    // way) must not open a second main window.
    if (window)
        return;
    window = new NewWindow(chart, user);
    connect(window, &NewWindow::quitRequested, this, &AppController::quit);
    connect(window, &NewWindow::aboutRequested, this, &AppController::showAbout);
    connect(window, &NewWindow::signOutRequested, this, &AppController::signOut);
    connect(window, &NewWindow::signInAgainRequested, this, &AppController::signInAgain);
    window->show();
    window->activateWindow();
    emit mainWindowShown(window);
}

void AppController::closeMainWindow()
{
    if (window) {
        window->hide();
        window->deleteLater();
        window = nullptr;
    }
}

void AppController::signOut()
{
    closeMainWindow();
    user->signOut();
    showSignIn();
}

void AppController::signInAgain()
{
    // Not a sign-out: a remembered sign-in stays remembered, so signing in
    // again is one press.
    closeMainWindow();
    showSignIn();
}

void AppController::quit()
{
    QCoreApplication::exit(0);
}
