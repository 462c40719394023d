#pragma once

// Work that keeps a core busy for seconds (transfers with their decryption,
// reading a card back and hashing it) runs below the window: on a machine
// with few cores the window otherwise waits 10 to 20 ms for a core while it
// has a frame to draw. A lower share only counts while both want the same
// core, so the work loses nothing otherwise.
namespace BackgroundPriority {

// How much lower than the window such a thread runs (nice).
constexpr int niceness = 5;

// Lowers the calling thread for the rest of its life: an unprivileged
// process cannot raise it again, so only threads of the work's own call this.
// The application's main thread is never lowered.
void lowerCallingThread();

} // namespace BackgroundPriority
