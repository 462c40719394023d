#include "terminal.h"

#include <QByteArray>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t promptSignal = 0;

void notePromptSignal(int signalNumber)
{
    promptSignal = signalNumber;
}

// While the prompt waits, Ctrl-C must interrupt the read (no SA_RESTART)
// so that the echo comes back on before the process ends; the handlers in
// force before are put back afterwards.
class PromptSignals
{
public:
    PromptSignals()
    {
        promptSignal = 0;
        struct sigaction action = {};
        action.sa_handler = notePromptSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &previousInt);
        ::sigaction(SIGTERM, &action, &previousTerm);
    }
    ~PromptSignals()
    {
        ::sigaction(SIGINT, &previousInt, nullptr);
        ::sigaction(SIGTERM, &previousTerm, nullptr);
    }
    Q_DISABLE_COPY_MOVE(PromptSignals)

private:
    struct sigaction previousInt;
    struct sigaction previousTerm;
};

} // namespace

bool Terminal::isTerminal(int fd)
{
    return ::isatty(fd) == 1;
}

int Terminal::columns(int fd)
{
    struct winsize size = {};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

bool Terminal::readLine(const QString &prompt, QString *line, int *signalNumber)
{
    return read(prompt, true, line, signalNumber);
}

bool Terminal::readHidden(const QString &prompt, QString *line, int *signalNumber)
{
    return read(prompt, false, line, signalNumber);
}

bool Terminal::read(const QString &prompt, bool echo, QString *line, int *signalNumber)
{
    *signalNumber = 0;
    line->clear();
    std::fputs(prompt.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);

    const PromptSignals interruptible;
    struct termios saved = {};
    const bool restore = !echo && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (restore) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    QByteArray typed;
    bool ended = false;
    for (;;) {
        char c = 0;
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got == 1) {
            if (c == '\n')
                break;
            typed.append(c);
            continue;
        }
        if (got < 0 && errno == EINTR && promptSignal == 0)
            continue;
        ended = true;
        break;
    }
    if (restore)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (ended && !echo)
        std::fputc('\n', stderr);
    *signalNumber = promptSignal;
    if (ended)
        return false;
    *line = QString::fromLocal8Bit(typed);
    return true;
}
