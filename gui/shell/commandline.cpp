#include "shell/commandline.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFileInfo>

#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

bool connects(int family, const sockaddr *address, socklen_t length)
{
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool ok = ::connect(fd, address, length) == 0;
    ::close(fd);
    return ok;
}

bool unixSocketAnswers(const QByteArray &path, bool abstract)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const qsizetype offset = abstract ? 1 : 0;
    if (path.size() + offset >= qsizetype(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path + offset, path.constData(), size_t(path.size()));
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    return connects(AF_UNIX, reinterpret_cast<const sockaddr *>(&address), length);
}

bool x11Reachable(const QByteArray &display)
{
    // "[host]:number[.screen]"; a local display listens on a socket named
    // after its number, a remote one on TCP port 6000 + number.
    const qsizetype colon = display.lastIndexOf(':');
    if (colon < 0)
        return true; // a form this check does not know: let the toolkit judge
    const QByteArray host = display.left(colon);
    bool ok = false;
    const int number = display.mid(colon + 1).split('.').value(0).toInt(&ok);
    if (!ok)
        return true;
    if (host.isEmpty() || host == "unix") {
        const QByteArray socket = "/tmp/.X11-unix/X" + QByteArray::number(number);
        return unixSocketAnswers(socket, true) || unixSocketAnswers(socket, false);
    }
    if (host.startsWith('/'))
        return true; // a launchd-style path: not ours to judge
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.constData(), QByteArray::number(6000 + number).constData(), &hints, &found) != 0)
        return false;
    bool reached = false;
    for (addrinfo *entry = found; entry && !reached; entry = entry->ai_next)
        reached = connects(entry->ai_family, entry->ai_addr, entry->ai_addrlen);
    ::freeaddrinfo(found);
    return reached;
}

bool waylandReachable(const QByteArray &display)
{
    const QByteArray path = display.startsWith('/') ? display : qgetenv("XDG_RUNTIME_DIR") + '/' + display;
    return unixSocketAnswers(path, false);
}

std::optional<QString> missingDisplay(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument == "-platform" || argument == "--platform" || argument == "-display")
            return std::nullopt;
    }
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return std::nullopt;
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    if (!wayland.isEmpty() && waylandReachable(wayland))
        return std::nullopt;
    const QByteArray x11 = qgetenv("DISPLAY");
    if (!x11.isEmpty()) {
        if (x11Reachable(x11))
            return std::nullopt;
        // A display that is named but gone (an old session's DISPLAY) would
        // end in the toolkit's abort and a core dump.
        return QStringLiteral("%1 cannot open its window: the display \"%2\" does not answer.\n"
                              "Start it from the desktop session it should appear in, or inside a "
                              "virtual X server:\n"
                              "    xvfb-run -a quorvel-download-tool\n")
            .arg(QString::fromLatin1(displayName), QString::fromLocal8Bit(x11));
    }
    if (!wayland.isEmpty())
        return QStringLiteral("%1 cannot open its window: the Wayland display \"%2\" does not answer.\n")
            .arg(QString::fromLatin1(displayName), QString::fromLocal8Bit(wayland));
    return QStringLiteral("%1 is a desktop application and found no display to open its window on "
                          "(neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                          "Start it from a desktop session, or inside a virtual X server:\n"
                          "    xvfb-run -a quorvel-download-tool\n")
        .arg(QString::fromLatin1(displayName));
}

} // namespace CommandLine
