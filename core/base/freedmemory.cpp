#include "base/freedmemory.h"

// Names the C library (__GLIBC__) before it is asked about.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace FreedMemory {

void configure()
{
#if defined(__GLIBC__)
    ::mallopt(M_MMAP_THRESHOLD, mapFrom);
    ::mallopt(M_TRIM_THRESHOLD, keepFreed);
    ::mallopt(M_ARENA_MAX, 1);
#endif
}

void release()
{
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

} // namespace FreedMemory
