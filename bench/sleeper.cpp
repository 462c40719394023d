// The machine's own lateness: a process that asks to sleep 5 ms, again and
// again, and notes how much later than asked it woke. Run beside the tool
// during the same transfers, it says how late any thread that only waits
// is woken on this machine at that moment; the window's worst stall is
// judged against it. Prints "<monotonic ns> <late ns>" for every wake-up
// later than 1 ms, until SIGTERM or SIGINT; then "worst_late_ns=<n>".
#include <csignal>
#include <cstdio>
#include <ctime>

namespace {

volatile std::sig_atomic_t stopping = 0;

void stop(int)
{
    stopping = 1;
}

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

} // namespace

int main()
{
    std::signal(SIGTERM, stop);
    std::signal(SIGINT, stop);
    constexpr long long interval = 5000000;
    constexpr long long noted = 1000000;
    long long worst = 0;
    while (!stopping) {
        const long long before = monotonicNs();
        const timespec pause{0, interval};
        nanosleep(&pause, nullptr);
        const long long after = monotonicNs();
        const long long late = after - before - interval;
        if (stopping)
            break;
        if (late > worst)
            worst = late;
        if (late > noted)
            std::printf("%lld %lld\n", before, late);
    }
    std::printf("worst_late_ns=%lld\n", worst);
    return 0;
}
