#pragma once

// Work that keeps a core busy for seconds (transfers with their decryption,
// reading a card back and hashing it) runs below the window: on a machine
// with few cores the window otherwise waits 10 to 20 ms for a core while it
// has a frame to draw. A lower share only counts while both want the same
// core, so the work loses nothing otherwise.
//
// Such threads are also batch threads: one that wakes takes no core from a
// thread already running, it waits for a free one or for the running
// thread's turn to end. The transfers, the ends of files and the read-back
// wake one another thousands of times in a product of small files, and each
// wake used to throw the waker off its core (2,500 such switches of the
// transfer thread in one run of 2,000 files).
namespace BackgroundPriority {

// How much lower than the window such a thread runs (nice).
constexpr int niceness = 5;

// Lowers the calling thread for the rest of its life: an unprivileged
// process cannot raise it again, so only threads of the work's own call this.
// The application's main thread is never lowered.
void lowerCallingThread();

} // namespace BackgroundPriority
