// Ending the process from inside the harness.
#pragma once

#include <string>

namespace harness {

// Removes `path` whenever the process ends by itself: through `end_process`
// (any status) or `finish_normally`. A crash or a kill leaves it in place,
// which is what it is for. Set before test threads start.
void remove_at_normal_end(std::string path);

// The harness entry is about to return to the program: does the removals of
// a normal end.
void finish_normally();

// Ends the process with `status` after flushing C stdio. Once test threads
// may have been abandoned (a fail-fast run, an output error), static
// destructors are skipped so that threads still running cannot touch
// destroyed objects.
[[noreturn]] void end_process(int status);

// Marks that test threads may outlive the run loop.
void note_threads_abandoned();

// Blocks the calling thread until the process ends (by a signal, once a stop
// has begun).
[[noreturn]] void wait_for_end();

}  // namespace harness
