#pragma once

#include <QObject>
#include <QPointer>

class About;
class Account;
class ChartService;
class NewWindow;
class SignIn;
class TermsOfUse;

// Runs the tool's windows in their order: the terms (until they are
// agreed), the sign-in, then the main window. It owns the one chart service
// client and the account every window uses; no window creates another.
class AppController : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AppController)

public:
    explicit AppController(QObject *parent = nullptr);
    ~AppController() override;

    void start();

    ChartService *service() const { return chart; }
    Account *account() const { return user; }
    SignIn *signInDialog() const;
    TermsOfUse *termsWindow() const;
    NewWindow *mainWindow() const;
    About *aboutDialog() const;

    // Another start of the tool asked for its window: the one in front now
    // comes forward (the main window, else the sign-in or the terms).
    void bringForward();
    void showAbout();
    void showTerms();
    // Back to the sign-in, the main window closed (its job must have ended).
    void signOut();
    // The service turned the session down: back to the sign-in dialog.
    void signInAgain();

signals:
    // The main window is up (tests and the window driver wait for it).
    void mainWindowShown(NewWindow *window);

private:
    void showSignIn();
    void openMainWindow();
    // Hidden at once and deleted once its events are done.
    void closeMainWindow();
    void quit();

    ChartService *chart;
    Account *user;
    QPointer<TermsOfUse> terms;
    QPointer<SignIn> signIn;
    QPointer<About> about;
    QPointer<NewWindow> window;
    bool termsAgreed = false;
};
