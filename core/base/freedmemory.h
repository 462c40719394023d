#pragma once

// The allocator keeps what a thread frees for that thread's own later use.
// A product of 200,000 files is read and planned on a pool thread, and its
// transfers and read-back run on others, which would take new memory beside
// the plan's freed tables instead of reusing them. Called where a phase has
// let go of its working tables: hands the freed pages back to the system.
namespace FreedMemory {

// Once at start: blocks from 1 MiB up (a reply body, a list of 200,000
// records, the text of a vmid) are mapped for themselves and go back to
// the system when freed, instead of growing the heap for good after the
// first such block was freed (the allocator's own adaptive threshold);
// smaller ones, the network's buffers among them, come from the heap, as
// mapping and unmapping each of those cost a product of 2,000 small files
// a sixth of its time (a higher threshold was no faster and hands back
// less); and
// every thread allocates from one heap, so that what the planning thread
// freed serves the transfers and the read-back that follow.
void configure();
void release();

} // namespace FreedMemory
