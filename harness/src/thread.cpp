#include "thread.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <utility>

namespace harness {
namespace {

thread_local std::string t_thread_name;

constexpr std::size_t kDefaultStackSize = 2 * 1024 * 1024;

// A thread that fails past its guard page gets SIGSEGV with no stack left to
// run the failure-report hook on; an alternate signal stack leaves it room.
class AltSignalStack {
 public:
  AltSignalStack() : memory_(std::malloc(kSize)) {
    if (memory_ == nullptr) return;
    stack_t stack{};
    stack.ss_sp = memory_;
    stack.ss_size = kSize;
    if (sigaltstack(&stack, &previous_) != 0) {
      std::free(memory_);
      memory_ = nullptr;
    }
  }
  ~AltSignalStack() {
    if (memory_ == nullptr) return;
    // Hands back whatever stack was there before (a sanitizer's own, say),
    // so nobody later releases ours.
    sigaltstack(&previous_, nullptr);
    std::free(memory_);
  }
  AltSignalStack(const AltSignalStack&) = delete;
  AltSignalStack& operator=(const AltSignalStack&) = delete;

 private:
  static constexpr std::size_t kSize = 64 * 1024;
  void* memory_;
  stack_t previous_{};
};

struct StartArgs {
  std::string name;
  std::function<void()> body;
};

void* thread_start(void* raw) {
  std::unique_ptr<StartArgs> args(static_cast<StartArgs*>(raw));
  t_thread_name = std::move(args->name);
  // The kernel takes at most 15 bytes and no interior NUL.
  std::string kernel_name = t_thread_name.substr(0, t_thread_name.find('\0')).substr(0, 15);
  pthread_setname_np(pthread_self(), kernel_name.c_str());
  AltSignalStack alt_stack;
  bool failed = false;
  try {
    args->body();
  } catch (...) {
    failed = true;
  }
  return failed ? reinterpret_cast<void*>(1) : nullptr;
}

std::size_t read_min_stack() {
  const char* text = std::getenv("RUST_MIN_STACK");
  if (text == nullptr) return kDefaultStackSize;
  std::string_view digits(text);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  std::size_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
    return kDefaultStackSize;
  }
  return value;
}

}  // namespace

std::string_view current_thread_name() {
  if (!t_thread_name.empty()) return t_thread_name;
  return gettid() == getpid() ? "main" : "<unnamed>";
}

long current_thread_id() {
  return static_cast<long>(gettid());
}

std::size_t default_stack_size() {
  static const std::size_t size = read_min_stack();
  return size;
}

ThreadHandle::ThreadHandle(ThreadHandle&& other) noexcept
    : thread_(other.thread_), joinable_(std::exchange(other.joinable_, false)) {}

ThreadHandle& ThreadHandle::operator=(ThreadHandle&& other) noexcept {
  if (this != &other) {
    if (joinable_) pthread_detach(thread_);
    thread_ = other.thread_;
    joinable_ = std::exchange(other.joinable_, false);
  }
  return *this;
}

ThreadHandle::~ThreadHandle() {
  if (joinable_) pthread_detach(thread_);
}

bool ThreadHandle::join() {
  if (!joinable_) return false;
  joinable_ = false;
  void* status = nullptr;
  pthread_join(thread_, &status);
  return status != nullptr;
}

std::expected<ThreadHandle, int> spawn_named_thread(std::string name, std::function<void()> body) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  std::size_t stack = std::max<std::size_t>(default_stack_size(), PTHREAD_STACK_MIN);
  if (pthread_attr_setstacksize(&attr, stack) != 0) {
    // Not a multiple of the page size: round up.
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    stack = (stack + page - 1) / page * page;
    pthread_attr_setstacksize(&attr, stack);
  }
  auto* args = new StartArgs{std::move(name), std::move(body)};
  pthread_t thread;
  const int error = pthread_create(&thread, &attr, thread_start, args);
  pthread_attr_destroy(&attr);
  if (error != 0) {
    delete args;
    return std::unexpected(error);
  }
  return ThreadHandle(thread);
}

}  // namespace harness
