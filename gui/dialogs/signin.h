#pragma once

#include <QDialog>
#include <QString>

#include "service/serviceerror.h"

class Account;
class ChartService;
class QCloseEvent;
class QPushButton;

namespace Ui {
class SignIn;
}

// The sign-in dialog: takes the address and the password (or offers the
// remembered sign-in), asks the account to sign in and says why when the
// service refuses. What follows a sign-in is the application controller's
// business; the dialog opens no other window.
class SignIn : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignIn)

public:
    SignIn(Account *account, ChartService *service, QWidget *parent = nullptr);
    ~SignIn() override;

signals:
    void signedIn();
    void quitRequested();
    void aboutRequested();
    void termsRequested();

protected:
    void closeEvent(QCloseEvent *event) override;
    // Escape would only hide the dialog and leave a process without windows.
    void reject() override;

private:
    void request();
    void showRefusal(const ServiceError &error);

    Ui::SignIn *ui;
    Account *account;
    ChartService *service;
    // The password field holds a stand-in for the remembered credential
    // until the user types in it.
    bool rememberedShown = false;
};
