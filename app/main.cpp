#include <QApplication>

#include <cstdio>

#include "base/settings.h"
#include "base/startup.h"
#include "service/extracatrust.h"
#include "shell/appcontroller.h"
#include "shell/applicationfont.h"
#include "shell/commandline.h"
#include "shell/singleinstance.h"

int main(int argc, char *argv[])
{
    if (const std::optional<int> code = CommandLine::handle(argc, argv))
        return *code;
    if (const std::optional<QString> why = CommandLine::missingDisplay(argc, argv)) {
        fputs(qPrintable(*why), stderr);
        return 1;
    }
    // Before the log and the settings are touched: they are the running
    // copy's.
    SingleInstance instance;
    if (instance.handOver())
        return 0;
    prepareStartup();

    QApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));
    QGuiApplication::setQuitOnLastWindowClosed(false);
    ExtraCaTrust::installFromEnvironment();
    installApplicationFont();

    AppController controller;
    QObject::connect(&instance, &SingleInstance::activationRequested, &controller, &AppController::bringForward);
    instance.listen();
    controller.start();
    return QApplication::exec();
}
