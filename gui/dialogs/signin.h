#pragma once

#include <QByteArray>
#include <QDialog>
#include <QRegularExpression>
#include <QString>

#include "shell/serviceclient.h"

class QCloseEvent;
class QNetworkReply;
class QPushButton;
class About;
class NewWindow;
class TermsOfUse;

namespace Ui {
class SignIn;
}

// The first window of every run: gates the tool on the terms, signs the user
// in and hands the session over to the main window.
class SignIn : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignIn)

public:
    explicit SignIn(QWidget *parent = nullptr);
    ~SignIn() override;

    void Show();
    static QByteArray hashPwd(const QString &password);

    NewWindow *mainWindow() const { return newWindow; }
    TermsOfUse *termsDialog() const { return termsOfUse; }
    About *aboutDialog() const { return about; }

public slots:
    void request();
    void handleResponse(QNetworkReply *response);
    void showAbout();
    void showTermsOfUse();
    void agreeTerms();
    void closeEvent(QCloseEvent *event) override;

protected:
    // Escape would only hide the dialog and leave a process without windows.
    void reject() override;

private:
    Ui::SignIn *ui;
    ServiceClient client;
    QPushButton *linkButton;
    QByteArray passwordHash;
    QString email;
    QString sessionId;
    NewWindow *newWindow = nullptr;
    About *about;
    TermsOfUse *termsOfUse = nullptr;
    bool termsAgreed = false;
    const QRegularExpression emailPattern;
};
