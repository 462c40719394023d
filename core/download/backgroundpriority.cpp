#include "download/backgroundpriority.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

void BackgroundPriority::lowerCallingThread()
{
    // Pool threads call this for every task (thousands of file ends in a
    // product of small files); once lowered, a thread stays so.
    thread_local bool lowered = false;
    if (lowered)
        return;
    // Waiting for a pool's task that has not begun runs it on the waiting
    // thread: a job or a transfer destroyed with its work still queued
    // would otherwise leave the process's first thread, the window's (or
    // the command line's), below its own work for good.
    const pid_t self = pid_t(syscall(SYS_gettid));
    if (self == getpid())
        return;
    lowered = setpriority(PRIO_PROCESS, id_t(self), niceness) == 0;
    // Keeps the niceness just set. Where the system refuses, the thread
    // still runs below the window by its niceness alone.
    const sched_param none{};
    sched_setscheduler(0, SCHED_BATCH, &none);
}
