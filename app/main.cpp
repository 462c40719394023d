#include <QApplication>
#include <QFont>
#include <QFontDatabase>

#include "app/appglobals.h"
#include "app/commandline.h"
#include "app/settings.h"
#include "app/startup.h"
#include "service/signin.h"

int main(int argc, char *argv[])
{
    if (const std::optional<int> code = CommandLine::handle(argc, argv))
        return *code;
    prepareStartup();
    Settings *settings = new Settings(configFilePath);

    QApplication *app = new QApplication(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));
    QGuiApplication::setQuitOnLastWindowClosed(false);

    QFontDatabase::addApplicationFont(QStringLiteral(":/resources/fonts/MyriadPro-Bold.ttf"));
    QFontDatabase::addApplicationFont(QStringLiteral(":/resources/fonts/MyriadPro-Regular.ttf"));
    QFontDatabase::addApplicationFont(QStringLiteral(":/resources/fonts/MyriadPro-Semibold.ttf"));
    // The bundled faces register as "Open Sans"; the forms ask for "Myriad Pro".
    QFont::insertSubstitution(QStringLiteral("Myriad Pro"), QStringLiteral("Open Sans"));

    QFont *font = new QFont(QStringLiteral("Myriad Pro"));
    font->setStyleHint(QFont::Monospace, QFont::PreferDefault);
    QApplication::setFont(*font);

    settings->valueOrInit(SettingsKeys::termsAgreed, QStringLiteral("0")).toInt();

    SignIn *signIn = new SignIn(nullptr);
    signIn->Show();
    const int code = QApplication::exec();

    delete signIn;
    delete font;
    delete app;
    delete settings;
    return code;
}
