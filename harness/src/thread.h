// Threads of the harness: every test runs on a thread of its own, named
// after the test, with the runtime's default stack size.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

namespace harness {

// The calling thread's name for failure reports: the full test name on a
// test thread (the kernel keeps only 15 bytes of it), "main" on the
// process's main thread, "<unnamed>" on any other thread.
std::string_view current_thread_name();

// The kernel's numeric identifier of the calling thread.
long current_thread_id();

// 2 MiB, or the decimal byte count in "RUST_MIN_STACK" when it holds one;
// read once per process.
std::size_t default_stack_size();

// A started thread. Destroying a handle that was not joined detaches the
// thread (a fail-fast run abandons its running tests).
class ThreadHandle {
 public:
  explicit ThreadHandle(pthread_t thread) : thread_(thread), joinable_(true) {}
  ThreadHandle(ThreadHandle&& other) noexcept;
  ThreadHandle& operator=(ThreadHandle&& other) noexcept;
  ThreadHandle(const ThreadHandle&) = delete;
  ThreadHandle& operator=(const ThreadHandle&) = delete;
  ~ThreadHandle();

  // Waits for the thread to end; true when its body ended by an exception.
  bool join();

 private:
  pthread_t thread_{};
  bool joinable_ = false;
};

// Starts `body` on a new thread named `name`; on failure returns the error
// number of pthread_create (EAGAIN when the system is out of threads).
std::expected<ThreadHandle, int> spawn_named_thread(std::string name, std::function<void()> body);

}  // namespace harness
