#pragma once

// Memory one phase frees must serve the phases after it. A product of 200,000
// files is read and planned on a pool thread, and its transfers and read-back
// run on others, which would take new memory beside the plan's freed tables
// instead of reusing them. release() is called where a phase has let go of
// its working tables: it hands the freed pages back to the system.
//
// The tool's programs allocate through jemalloc (the build's
// QUORVEL_ALLOCATOR), set up in freedmemory.cpp with one arena for every
// thread: what one thread frees serves the others, while each thread's own
// cache keeps the threads from waiting for each other's locks (a file passes
// through half a dozen threads on its way to proven). Freed pages stay with
// the arena until release() or a few seconds of disuse.
//
// Built on the C library's allocator (under the sanitizers, or without
// jemalloc), configure() asks it for the same: blocks from mapFrom up (a list
// of 200,000 records, the text of a vmid) are mapped for themselves and go
// back to the system when freed, instead of growing the heap for good after
// the first such block was freed (the allocator's own adaptive threshold);
// smaller ones, the network's buffers among them, come from the heap; and
// every thread allocates from one heap.
//
// Either way, Qt's network thread reads a socket in blocks of exactly 1 MiB,
// one per arrival: mapped afresh, or handed back whenever one was freed, each
// came back as fresh pages to fault in, and 1 GiB fetched cost a quarter of a
// million page faults, more than the copy itself. The C library's heap keeps
// up to keepFreed at its top between phases.
namespace FreedMemory {

inline constexpr int mapFrom = 2 * 1024 * 1024;
inline constexpr int keepFreed = 16 * 1024 * 1024;
// Once at start, before any other thread allocates.
void configure();
void release();
// Which allocator this build runs on, for the log.
const char *allocatorName();

} // namespace FreedMemory
