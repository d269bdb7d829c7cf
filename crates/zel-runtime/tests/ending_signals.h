// The program's ending signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT), handled by
// one thread of its own: it stops the live runners, gives the tests whose
// runners had ended the grace to finish, removes the temporary files of the
// tests in flight, has the run's report finished, clears the card lock files,
// and ends the program by the same signal.
//
//   __attribute__((constructor(101))) void early() { zel_runtime::block_ending_signals(); }
//   int main() {
//     zel_runtime::handle_ending_signals();  // first, before any thread starts
//     ...
//   }
#pragma once

namespace zel_runtime {

// Blocks the ending signals that were not ignored at start in the calling
// thread, and so in every thread it starts later. One that arrives meanwhile
// waits for `handle_ending_signals`. Called by the program's first
// initialiser, so that a stop before `main` is not lost either.
void block_ending_signals();

// Blocks the ending signals as `block_ending_signals` does and starts the
// thread that handles them, which takes a signal that arrived earlier too.
// Called once, first thing in `main`.
void handle_ending_signals();

// Whether `signal` is one of the ending signals.
bool is_ending_signal(int signal);

}  // namespace zel_runtime
