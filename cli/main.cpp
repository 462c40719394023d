#include <QCoreApplication>

#include <csignal>
#include <cstdio>

#include "arguments.h"
#include "base/startup.h"
#include "commands.h"
#include "exitstatus.h"
#include "printer.h"
#include "service/extracatrust.h"

namespace {

// Whether everything written to standard output reached it; says why not.
bool listed()
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return true;
    std::fputs("quorvel-cli: the listing could not be written to standard output.\n", stderr);
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    // Before the application object, as for the window: the same data
    // folder, hence the same settings and remembered sign-in. Listings go on
    // at the end of the last log: a few of them must not push the log of a
    // download that failed out of the ones kept.
    prepareStartup(Arguments::asksForJob(argc, argv) ? LogStart::NewFile : LogStart::Append);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));

    Arguments arguments;
    switch (arguments.parse(QCoreApplication::arguments())) {
    case Arguments::Outcome::Help:
    case Arguments::Outcome::Version:
        std::fputs(arguments.text().toLocal8Bit().constData(), stdout);
        return listed() ? ExitStatus::Success : ExitStatus::Other;
    case Arguments::Outcome::Error:
        // As every other failure: with --json an event and nothing else.
        if (arguments.json())
            Printer(Printer::Mode::Json)
                .event({ { QStringLiteral("event"), QStringLiteral("failed") },
                    { QStringLiteral("kind"), QStringLiteral("usage") },
                    { QStringLiteral("message"), arguments.problem() } });
        else
            std::fputs(Printer::printable(arguments.text()).toLocal8Bit().constData(), stderr);
        return ExitStatus::Usage;
    case Arguments::Outcome::Run:
        break;
    }

    // A reader that goes away ("quorvel-cli --json download ... | head")
    // must not end the process in the middle of a write to the card: the
    // lines are lost, the download goes on to its end.
    std::signal(SIGPIPE, SIG_IGN);
    ExtraCaTrust::installFromEnvironment();
    Commands commands(arguments);
    const int code = commands.run();
    // A listing that did not reach its reader (a full disk, a closed pipe)
    // listed nothing. A job's status stays the job's: what is on the card
    // does not depend on who read the lines.
    const bool listing = arguments.command() == Arguments::Command::Cards
        || arguments.command() == Arguments::Command::Products;
    if (code == ExitStatus::Success && listing && !listed())
        return ExitStatus::Other;
    return code;
}
