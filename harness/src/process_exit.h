// Ending the process from inside the harness.
#pragma once

namespace harness {

// Ends the process with `status` after flushing C stdio. Once test threads
// may have been abandoned (a fail-fast run, an output error), static
// destructors are skipped so that threads still running cannot touch
// destroyed objects.
[[noreturn]] void end_process(int status);

// Marks that test threads may outlive the run loop.
void note_threads_abandoned();

// True once `hold_reports` was called; the caller is then to block for good
// (`wait_for_end`) instead of reporting or ending the process.
bool reports_held();
[[noreturn]] void wait_for_end();

}  // namespace harness
