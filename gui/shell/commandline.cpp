#include "shell/commandline.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFileInfo>

#include <cstdio>

namespace {

const char *const displayName = "Quorvel Download Tool";

// Options that QGuiApplication and QApplication take out of argv themselves.
// They are declared here only so that the parser does not reject a launch
// such as "quorvel-download-tool -platform offscreen"; the application object
// created afterwards still sees and applies them.
struct ToolkitOption
{
    const char *name;
    bool takesValue;
};

const ToolkitOption toolkitOptions[] = {
    {"platform", true},      {"platformpluginpath", true}, {"platformtheme", true},
    {"plugin", true},        {"qwindowgeometry", true},    {"qwindowicon", true},
    {"qwindowtitle", true},  {"reverse", false},           {"session", true},
    {"style", true},         {"stylesheet", true},         {"widgetcount", false},
    {"display", true},       {"geometry", true},           {"name", true},
    {"title", true},         {"visual", true},             {"ncols", true},
    {"cmap", false},         {"nograb", false},            {"dograb", false},
    {"sync", false},         {"qmljsdebugger", true},
};

QString helpText(const QString &program)
{
    return QStringLiteral("Usage: %1 [options]\n"
                          "Puts chart products from the Quorvel chart service onto fishfinder SD cards.\n"
                          "\n"
                          "Options:\n"
                          "  -h, --help     Show this help and exit.\n"
                          "  -v, --version  Show the version and exit.\n"
                          "\n"
                          "The toolkit's own options (-platform, -style, ...) are accepted as well.\n"
                          "QUORVEL_SERVICE_URL in the environment replaces the chart service address.\n")
        .arg(program);
}

} // namespace

namespace CommandLine {

Outcome parse(const QStringList &arguments)
{
    Outcome outcome;
    const QString program = arguments.isEmpty() ? QStringLiteral("quorvel-download-tool")
                                                : QFileInfo(arguments.constFirst()).fileName();

    QCommandLineParser parser;
    // "-platform offscreen" must stay one option with a value, not -p -l -a ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")}, QString());
    parser.addOption(help);
    parser.addOption(version);
    for (const ToolkitOption &option : toolkitOptions) {
        QCommandLineOption passThrough(QString::fromLatin1(option.name));
        if (option.takesValue)
            passThrough.setValueName(QStringLiteral("value"));
        parser.addOption(passThrough);
    }

    if (!parser.parse(arguments.isEmpty() ? QStringList{program} : arguments)) {
        outcome.exitCode = 2;
        outcome.standardError = QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n")
                                    .arg(program, parser.errorText());
        return outcome;
    }
    if (!parser.positionalArguments().isEmpty()) {
        outcome.exitCode = 2;
        outcome.standardError = QStringLiteral("%1: unexpected argument '%2'\nTry '%1 --help' for more information.\n")
                                    .arg(program, parser.positionalArguments().constFirst());
        return outcome;
    }
    // Help wins when both are asked for: it also names the version option.
    if (parser.isSet(help)) {
        outcome.exitCode = 0;
        outcome.standardOutput = helpText(program);
    } else if (parser.isSet(version)) {
        outcome.exitCode = 0;
        outcome.standardOutput = QStringLiteral("%1 %2\n").arg(QLatin1String(displayName), QStringLiteral(QUORVEL_VERSION));
    }
    return outcome;
}

std::optional<int> handle(int argc, char *argv[])
{
    QStringList arguments;
    arguments.reserve(argc);
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    const Outcome outcome = parse(arguments);
    if (!outcome.standardOutput.isEmpty())
        std::fputs(outcome.standardOutput.toLocal8Bit().constData(), stdout);
    if (!outcome.standardError.isEmpty())
        std::fputs(outcome.standardError.toLocal8Bit().constData(), stderr);
    return outcome.exitCode;
}

std::optional<QString> missingDisplay(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument == "-platform" || argument == "--platform" || argument == "-display")
            return std::nullopt;
    }
    for (const char *variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        if (!qEnvironmentVariableIsEmpty(variable))
            return std::nullopt;
    }
    return QStringLiteral("%1 is a desktop application and found no display to open its window on "
                          "(neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                          "Start it from a desktop session, or inside a virtual X server:\n"
                          "    xvfb-run -a quorvel-download-tool\n")
        .arg(QString::fromLatin1(displayName));
}

} // namespace CommandLine
