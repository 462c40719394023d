#include <QApplication>

#include <cstdio>

#include "base/appglobals.h"
#include "shell/commandline.h"
#include "base/settings.h"
#include "base/startup.h"
#include "shell/applicationfont.h"
#include "service/extracatrust.h"
#include "dialogs/signin.h"

int main(int argc, char *argv[])
{
    if (const std::optional<int> code = CommandLine::handle(argc, argv))
        return *code;
    if (const std::optional<QString> why = CommandLine::missingDisplay(argc, argv)) {
        fputs(qPrintable(*why), stderr);
        return 1;
    }
    prepareStartup();
    Settings *settings = new Settings(configFilePath);

    QApplication *app = new QApplication(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));
    QGuiApplication::setQuitOnLastWindowClosed(false);
    ExtraCaTrust::installFromEnvironment();

    installApplicationFont();

    settings->valueOrInit(SettingsKeys::termsAgreed, QStringLiteral("0")).toInt();

    SignIn *signIn = new SignIn(nullptr);
    signIn->Show();
    const int code = QApplication::exec();

    delete signIn;
    delete app;
    delete settings;
    return code;
}
