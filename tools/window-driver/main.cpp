// Starts the tool as main() does, then plays the user: agrees to the terms,
// signs in with the demo account, picks a product and starts its download.
// When the download shows progress it writes "ready" to the file given with
// --ready-file and keeps the window up until it is killed, so that a script
// can photograph the screen. With --controls it then pauses, resumes and
// cancels the download from its row and quits; with --finish it waits for
// the download to complete and quits. With --wait-card it starts without a
// card and waits for the card watcher to choose one that appears meanwhile.
// With --shots the main window is also photographed at the screen's size, at
// its smallest and with its close confirmation.
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include "base/appglobals.h"
#include "base/settings.h"
#include "base/startup.h"
#include "shell/applicationfont.h"
#include "dialogs/about.h"
#include "dialogs/signin.h"
#include "dialogs/termsofuse.h"
#include "download/job.h"
#include "shell/appcontroller.h"
#include "widgets/pausebutton.h"
#include "widgets/productrow.h"
#include "window/jobcontroller.h"
#include "window/jobrow.h"
#include "window/newwindow.h"

namespace {

QString argumentAfter(const QStringList &arguments, const QString &name, const QString &fallback)
{
    const int index = arguments.indexOf(name);
    return index >= 0 && index + 1 < arguments.size() ? arguments.at(index + 1) : fallback;
}

QWidget *rowOf(NewWindow *window, const QString &sku)
{
    for (QLabel *label : window->findChildren<QLabel *>(QStringLiteral("productSku"))) {
        if (label->text() != sku || !label->isVisible())
            continue;
        for (QWidget *w = label->parentWidget(); w; w = w->parentWidget()) {
            if (auto *row = qobject_cast<ProductRow *>(w))
                return row;
        }
    }
    return nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    prepareStartup();
    Settings settings(configFilePath);
    QApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));
    QGuiApplication::setQuitOnLastWindowClosed(false);
    installApplicationFont();

    const QStringList arguments = QCoreApplication::arguments();
    const QString email = argumentAfter(arguments, QStringLiteral("--email"), QStringLiteral("demo@quorvel.test"));
    const QString password = argumentAfter(arguments, QStringLiteral("--password"), QStringLiteral("Demo-Pass-2024"));
    const QString sku = argumentAfter(arguments, QStringLiteral("--product"), QStringLiteral("VM-BRE-02"));
    const QString readyFile = argumentAfter(arguments, QStringLiteral("--ready-file"), QString());
    // With --shots DIR every window the driver passes is also saved there
    // as a picture, for looking at the forms without a screen.
    const QString shots = argumentAfter(arguments, QStringLiteral("--shots"), QString());
    auto shoot = [&shots](QWidget *widget, const QString &name) {
        if (!shots.isEmpty())
            widget->grab().save(shots + QLatin1Char('/') + name + QStringLiteral(".png"));
    };
    const int tab = argumentAfter(arguments, QStringLiteral("--tab"), QStringLiteral("1")).toInt();
    const int minimumPercent = argumentAfter(arguments, QStringLiteral("--percent"), QStringLiteral("20")).toInt();

    AppController controller;
    controller.start();

    const bool controls = arguments.contains(QStringLiteral("--controls"));
    const bool waitCard = arguments.contains(QStringLiteral("--wait-card"));
    const bool finish = arguments.contains(QStringLiteral("--finish"));

    enum class Step { Terms, SignIn, WaitWindow, WaitCard, PickProduct, Download, WaitProgress, Pause, Resume, Cancel,
                      WaitCancelled, WaitComplete, Done };
    Step step = Step::Terms;
    QTimer clock;
    QTimer::singleShot(90000, [] {
        QTextStream(stderr) << "window-driver: gave up waiting\n";
        QCoreApplication::exit(3);
    });
    Step reported = Step::Done;
    QObject::connect(&clock, &QTimer::timeout, [&] {
        if (step != reported) {
            QTextStream(stderr) << "window-driver: step " << int(step) << "\n";
            reported = step;
        }
        NewWindow *window = controller.mainWindow();
        SignIn *signIn = controller.signInDialog();
        JobRow *row = window ? window->findChild<JobRow *>(QStringLiteral("jobRow")) : nullptr;
        Job *job = window ? window->jobs()->current() : nullptr;
        switch (step) {
        case Step::Terms:
            if (TermsOfUse *terms = controller.termsWindow(); terms && terms->isVisible()) {
                shoot(terms, QStringLiteral("terms"));
                QTest::mouseClick(terms->findChild<QPushButton *>(QStringLiteral("agreeButton")), Qt::LeftButton);
            }
            if (signIn && signIn->isVisible())
                step = Step::SignIn;
            break;
        case Step::SignIn: {
            auto *emailField = signIn->findChild<QLineEdit *>(QStringLiteral("emlTxt"));
            auto *passwordField = signIn->findChild<QLineEdit *>(QStringLiteral("pwdTxt"));
            emailField->setText(email);
            passwordField->setText(password);
            shoot(signIn, QStringLiteral("signin"));
            if (!shots.isEmpty()) {
                QTest::mouseClick(signIn->findChild<QPushButton *>(QStringLiteral("aboutBtn")), Qt::LeftButton);
                shoot(controller.aboutDialog(), QStringLiteral("about"));
                controller.aboutDialog()->hide();
            }
            QTest::mouseClick(signIn->findChild<QPushButton *>(QStringLiteral("signinBtn")), Qt::LeftButton);
            step = Step::WaitWindow;
            break;
        }
        case Step::WaitWindow:
            if (window && window->isVisible()) {
                shoot(window, QStringLiteral("main-start"));
                step = waitCard ? Step::WaitCard : Step::PickProduct;
            }
            break;
        case Step::WaitCard: {
            auto *found = window->findChild<QLabel *>(QStringLiteral("sdWatchLabel"));
            auto *item = window->findChild<QLabel *>(QStringLiteral("sdSkuOnCardLabel"));
            if (found->isVisible() && item->text().startsWith(QStringLiteral("Item #"))) {
                shoot(window, QStringLiteral("main-card-found"));
                if (!shots.isEmpty()) {
                    const QRect normal = window->geometry();
                    window->resize(1, 1);
                    QTest::qWait(300);
                    shoot(window, QStringLiteral("main-card-found-smallest"));
                    window->setGeometry(normal);
                    QTest::qWait(300);
                }
                step = Step::PickProduct;
            }
            break;
        }
        case Step::PickProduct:
            window->findChild<QTabWidget *>(QStringLiteral("tabWidget"))->setCurrentIndex(tab);
            if (QWidget *row = rowOf(window, sku)) {
                QTest::mouseClick(row->findChild<QRadioButton *>(QStringLiteral("radioButton")), Qt::LeftButton);
                step = Step::Download;
            }
            break;
        case Step::Download: {
            auto *button = window->findChild<QPushButton *>(QStringLiteral("downloadBtn"));
            if (button->isVisible() && button->isEnabled()) {
                QTest::mouseClick(button, Qt::LeftButton);
                step = Step::WaitProgress;
            }
            break;
        }
        case Step::WaitProgress: {
            auto *bar = row ? row->findChild<QProgressBar *>() : nullptr;
            if (bar && bar->value() >= minimumPercent) {
                step = Step::Done;
                shoot(window, QStringLiteral("main-downloading"));
                if (!shots.isEmpty()) {
                    // As large as the screen, then back; then the question
                    // a close asks while the download runs (answered "No").
                    const QRect normal = window->geometry();
                    window->setGeometry(window->screen()->availableGeometry());
                    QTest::qWait(300);
                    shoot(window, QStringLiteral("main-maximised"));
                    // As small as a window manager lets it be made: its minimum size.
                    window->resize(1, 1);
                    QTest::qWait(300);
                    shoot(window, QStringLiteral("main-smallest"));
                    window->setGeometry(normal);
                    QTest::qWait(300);
                    // Only a job that has not ended asks; an ended one would quit.
                    if (window->jobs()->busy())
                        window->close();
                }
                if (!readyFile.isEmpty()) {
                    QFile ready(readyFile);
                    if (ready.open(QIODevice::WriteOnly))
                        ready.write("ready\n");
                }
                if (controls)
                    step = Step::Pause;
                else if (finish)
                    step = Step::WaitComplete;
            }
            break;
        }
        case Step::Pause:
        case Step::Resume: {
            // Pause, then resume once the pause has taken hold.
            auto *pause = row ? row->findChild<PauseButton *>(QStringLiteral("pauseButton")) : nullptr;
            if (!pause || !pause->isEnabled())
                break;
            if (step == Step::Pause && !pause->isPaused()) {
                QTest::mouseClick(pause, Qt::LeftButton);
                step = Step::Resume;
            } else if (step == Step::Resume && pause->isPaused()) {
                shoot(window, QStringLiteral("main-paused"));
                QTest::mouseClick(pause, Qt::LeftButton);
                step = Step::Cancel;
            }
            break;
        }
        case Step::Cancel: {
            auto *cancel = row ? row->findChild<QPushButton *>(QStringLiteral("cancelButton")) : nullptr;
            if (cancel && cancel->isEnabled() && job && job->stage() == Job::Stage::Transferring) {
                shoot(window, QStringLiteral("main-resumed"));
                QTest::mouseClick(cancel, Qt::LeftButton);
                step = Step::WaitCancelled;
            }
            break;
        }
        case Step::WaitCancelled:
            if (job && job->stage() == Job::Stage::Cancelled) {
                shoot(window, QStringLiteral("main-cancelled"));
                QCoreApplication::exit(0);
                step = Step::Done;
            }
            break;
        case Step::WaitComplete: {
            auto *stage = window->findChild<QLabel *>(QStringLiteral("downloadStageLabel"));
            if (stage && stage->text().endsWith(QStringLiteral("Complete"))) {
                shoot(window, QStringLiteral("main-complete"));
                QCoreApplication::exit(0);
                step = Step::Done;
            }
            break;
        }
        case Step::Done:
            break;
        }
    });
    clock.start(200);

    // A message box stops the flow; say what it said and press OK, as the
    // user would.
    QTimer modalWatch;
    QObject::connect(&modalWatch, &QTimer::timeout, [&shoot] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            QTextStream(stderr) << "window-driver: message: " << box->text() << "\n";
            // Replacing the product on the card is what the driver set out to do.
            if (box->windowTitle() == QLatin1String("Replace")) {
                box->button(QMessageBox::Yes)->click();
            } else if (box->button(QMessageBox::No)) {
                shoot(box, QStringLiteral("close-confirmation"));
                box->button(QMessageBox::No)->click();
            } else {
                box->accept();
            }
        }
    });
    modalWatch.start(300);
    return QApplication::exec();
}
