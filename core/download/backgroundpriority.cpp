#include "download/backgroundpriority.h"

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
    lowered = setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), niceness) == 0;
}
