#pragma once

// The allocator keeps what a thread frees for that thread's own later use.
// A product of 200,000 files is read and planned on a pool thread, and its
// transfers and read-back run on others, which would take new memory beside
// the plan's freed tables instead of reusing them. Called where a phase has
// let go of its working tables: hands the freed pages back to the system.
namespace FreedMemory {

// Once at start: blocks from mapFrom up (a list of 200,000 records, the
// text of a vmid) are mapped for themselves and go back to the system when
// freed, instead of growing the heap for good after the first such block
// was freed (the allocator's own adaptive threshold); smaller ones, the
// network's buffers among them, come from the heap; and every thread
// allocates from one heap, so that what the planning thread freed serves
// the transfers and the read-back that follow.
//
// Qt's network thread reads a socket in blocks of exactly 1 MiB, one per
// arrival. Mapped, or handed back whenever one was freed at the heap's
// top, each came back as fresh pages to fault in: 1 GiB fetched cost a
// quarter of a million page faults, more than the copy itself. The heap
// keeps up to keepFreed at its top between phases; release() hands it back.
inline constexpr int mapFrom = 2 * 1024 * 1024;
inline constexpr int keepFreed = 16 * 1024 * 1024;
void configure();
void release();

} // namespace FreedMemory
