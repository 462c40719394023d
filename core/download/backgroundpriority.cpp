#include "download/backgroundpriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

void BackgroundPriority::lowerCallingThread()
{
    setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), niceness);
}
