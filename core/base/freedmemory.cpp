#include "base/freedmemory.h"

// Names the C library (__GLIBC__) before it is asked about.
#include <cstdlib>

#if defined(QUORVEL_JEMALLOC)
#include <jemalloc/jemalloc.h>

// Read by jemalloc at its first allocation, before main(): one arena that
// every thread shares, each thread with a cache of its own in front of it.
extern "C" {
const char *malloc_conf = "narenas:1";
}
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

namespace FreedMemory {

void configure()
{
#if !defined(QUORVEL_JEMALLOC) && defined(__GLIBC__)
    ::mallopt(M_MMAP_THRESHOLD, mapFrom);
    ::mallopt(M_TRIM_THRESHOLD, keepFreed);
    ::mallopt(M_ARENA_MAX, 1);
#endif
}

void release()
{
#if defined(QUORVEL_JEMALLOC)
    // The calling thread's cache first: what it holds is not the arena's to
    // hand back.
    ::mallctl("thread.tcache.flush", nullptr, nullptr, nullptr, 0);
    static_assert(MALLCTL_ARENAS_ALL == 4096, "every arena's number is part of the name below");
    ::mallctl("arena.4096.purge", nullptr, nullptr, nullptr, 0);
#elif defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

const char *allocatorName()
{
#if defined(QUORVEL_JEMALLOC)
    return "jemalloc";
#else
    return "the C library's";
#endif
}

} // namespace FreedMemory
