#include "stopsignals.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

Q_DECLARE_LOGGING_CATEGORY(lcCli)

namespace {

// [0] is written by the handler, [1] read by the notifier.
int pair[2] = { -1, -1 };
volatile sig_atomic_t received = 0;
struct sigaction previousInt;
struct sigaction previousTerm;
struct sigaction previousHup;
bool hupIgnored = false;

} // namespace

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        qCWarning(lcCli) << "no socket pair for signals:" << strerror(errno);
        return;
    }
    // The handler must never block on a full pipe, whatever arrives.
    ::fcntl(pair[0], F_SETFL, ::fcntl(pair[0], F_GETFL) | O_NONBLOCK);
    notifier = new QSocketNotifier(pair[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StopSignals::handleReadable);

    struct sigaction action = {};
    action.sa_handler = &StopSignals::handle;
    sigemptyset(&action.sa_mask);
    // Restarted system calls: Qt's own reads and writes never see EINTR.
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &previousInt);
    ::sigaction(SIGTERM, &action, &previousTerm);
    // The terminal closed under a run pauses it like Ctrl-C, so that the
    // card is left as a pause leaves it; a run started to outlive its
    // terminal (nohup) keeps ignoring it.
    ::sigaction(SIGHUP, nullptr, &previousHup);
    hupIgnored = previousHup.sa_handler == SIG_IGN;
    if (!hupIgnored)
        ::sigaction(SIGHUP, &action, nullptr);
}

StopSignals::~StopSignals()
{
    if (!notifier)
        return;
    ::sigaction(SIGINT, &previousInt, nullptr);
    ::sigaction(SIGTERM, &previousTerm, nullptr);
    if (!hupIgnored)
        ::sigaction(SIGHUP, &previousHup, nullptr);
    delete notifier;
    notifier = nullptr;
    ::close(pair[0]);
    ::close(pair[1]);
    pair[0] = pair[1] = -1;
}

void StopSignals::handle(int signalNumber)
{
    if (received != 0)
        ::_exit(128 + received);
    received = signalNumber;
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(pair[0], &byte, 1);
    errno = savedErrno;
}

void StopSignals::handleReadable()
{
    char byte = 0;
    if (::read(pair[1], &byte, 1) != 1)
        return;
    qCInfo(lcCli) << "stop asked by signal" << int(byte);
    emit stopAsked(int(byte));
}
