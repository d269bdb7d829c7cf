// The SIGBUS handler behind GuardedMap and the table of the address ranges it may repair.
//
// When a mapped file shrinks, the kernel drops the pages past the new end, and the next load from
// one of them raises SIGBUS (BUS_ADRERR). The handler looks the address up in the table; if a live
// guarded mapping covers it, it maps a zero page over the lost one and returns, so the load is
// retried and reads 0. Any other SIGBUS goes on to the action that was installed before.
#include "guarded_map.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>

namespace zel_package {
namespace {

// One guarded mapping. `claimed` is taken and given back by the owning GuardedMap only; the
// handler reads the range, which changes under a sequence count (odd while changing) so that a
// handler never pairs the begin of one mapping with the end of another.
struct GuardSlot {
  std::atomic<bool> claimed{false};
  std::atomic<std::uint64_t> sequence{0};
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> lost{false};
};

static_assert(std::atomic<bool>::is_always_lock_free &&
                  std::atomic<std::uint64_t>::is_always_lock_free &&
                  std::atomic<std::uintptr_t>::is_always_lock_free,
              "the signal handler may only touch lock-free atomics");

std::array<GuardSlot, kGuardSlots> g_slots;

// Both written once, before the handler is installed, and only read afterwards.
std::uintptr_t g_page_size = 0;
struct sigaction g_previous {};

// Only the owner of a claimed slot writes its range, so there is one writer at a time. Every
// access is sequentially consistent: a handler that sees either new bound also sees the odd
// count stored before it, so it never keeps a mixed pair. (Fences would be lighter, but the
// thread sanitizer cannot follow them, and this runs twice per mapping.)
void set_range(GuardSlot& slot, std::uintptr_t begin, std::uintptr_t end) {
  const std::uint64_t sequence = slot.sequence.load();
  slot.sequence.store(sequence + 1);
  slot.begin.store(begin);
  slot.end.store(end);
  slot.sequence.store(sequence + 2);
}

// A range that is changing covers nothing: a mapping is only read between its registration and
// its release, never while either is under way.
bool covers(const GuardSlot& slot, std::uintptr_t address) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const std::uint64_t sequence = slot.sequence.load();
    if (sequence % 2 != 0) return false;
    const std::uintptr_t begin = slot.begin.load();
    const std::uintptr_t end = slot.end.load();
    if (slot.sequence.load() == sequence) return begin <= address && address < end;
  }
  return false;
}

// Maps a zero page over the lost page at `address` if a live guarded mapping holds it.
bool repair(std::uintptr_t address) {
  for (GuardSlot& slot : g_slots) {
    if (!covers(slot, address)) continue;
    void* page = reinterpret_cast<void*>(address & ~(g_page_size - 1));
    if (::mmap(page, g_page_size, PROT_READ, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) ==
        MAP_FAILED) {
      return false;  // out of mappings: the fault goes on as if unguarded
    }
    slot.lost.store(true, std::memory_order_release);
    return true;
  }
  return false;
}

// The faults that repeat when the handler returns, because the load is retried.
bool repeats(const siginfo_t* info) {
  switch (info->si_code) {
    case BUS_ADRALN:
    case BUS_ADRERR:
    case BUS_OBJERR:
    case BUS_MCEERR_AR:
      return true;
    default:
      return false;  // sent by a process, or a memory error reported after the fact
  }
}

// What the process did with SIGBUS before any mapping was guarded.
void pass_on(int signal, siginfo_t* info, void* context) {
  if (g_previous.sa_handler == SIG_IGN) {
    // The kernel cannot ignore a fault: the default action is taken when it repeats.
    if (!repeats(info)) return;
  } else if (g_previous.sa_handler != SIG_DFL) {
    if ((g_previous.sa_flags & SA_SIGINFO) != 0) {
      g_previous.sa_sigaction(signal, info, context);
    } else {
      g_previous.sa_handler(signal);
    }
    return;
  }
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(signal, &default_action, nullptr);
  // A fault kills with its own address and a core dump when it repeats on return; a signal that
  // will not repeat is sent again, to be delivered when the handler returns.
  if (!repeats(info)) raise(signal);
}

void on_bus_error(int signal, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  if (info->si_code != BUS_ADRERR || !repair(reinterpret_cast<std::uintptr_t>(info->si_addr))) {
    pass_on(signal, info, context);
  }
  errno = saved_errno;
}

bool install_handler() {
  static const bool installed = [] {
    g_page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    // The previous action is read before ours replaces it, so a fault on another thread right
    // after the switch finds it complete.
    if (sigaction(SIGBUS, nullptr, &g_previous) != 0) return false;
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    // SIGINFO for the address; ONSTACK as the handlers we chain to expect (they may be there for
    // an overflowing stack); RESTART so that a SIGBUS sent by a process and passed on to a
    // handler that returns does not interrupt system calls. SIGBUS itself stays blocked while
    // the handler runs: a fault inside it must kill, not recurse.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  return installed;
}

std::optional<std::size_t> claim_slot() {
  for (std::size_t i = 0; i < g_slots.size(); ++i) {
    bool free = false;
    if (g_slots[i].claimed.compare_exchange_strong(free, true, std::memory_order_acquire)) {
      return i;
    }
  }
  return std::nullopt;
}

std::size_t whole_pages(std::size_t bytes) {
  return (bytes + g_page_size - 1) & ~(g_page_size - 1);
}

}  // namespace

std::optional<GuardedMap> GuardedMap::map(int fd, std::size_t bytes, Reading reading) {
  if (bytes == 0 || !install_handler()) return std::nullopt;
  const std::optional<std::size_t> slot = claim_slot();
  if (!slot) return std::nullopt;
  const int populate = reading == Reading::Whole ? MAP_POPULATE : 0;
  void* data = ::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | populate, fd, 0);
  if (data == MAP_FAILED) {
    g_slots[*slot].claimed.store(false, std::memory_order_release);
    return std::nullopt;
  }
  // Read from front to back: the kernel reads further ahead.
  if (reading == Reading::OnDemand) ::madvise(data, bytes, MADV_SEQUENTIAL);
  // Registered before the caller can read it; until then no load can fault in it (populating
  // ignores pages past the end).
  g_slots[*slot].lost.store(false, std::memory_order_relaxed);
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  set_range(g_slots[*slot], begin, begin + whole_pages(bytes));
  return GuardedMap(static_cast<const std::byte*>(data), bytes, *slot);
}

GuardedMap::GuardedMap(GuardedMap&& other) noexcept
    : data_(other.data_), size_(other.size_), slot_(other.slot_) {
  other.data_ = nullptr;
  other.size_ = 0;
  other.slot_ = kNoSlot;
}

GuardedMap& GuardedMap::operator=(GuardedMap&& other) noexcept {
  if (this != &other) {
    release();
    data_ = other.data_;
    size_ = other.size_;
    slot_ = other.slot_;
    other.data_ = nullptr;
    other.size_ = 0;
    other.slot_ = kNoSlot;
  }
  return *this;
}

GuardedMap::~GuardedMap() {
  release();
}

bool GuardedMap::lost_pages() const {
  return slot_ != kNoSlot && g_slots[slot_].lost.load(std::memory_order_acquire);
}

void GuardedMap::drop_pages(const std::byte* begin, const std::byte* end) const {
  const auto first = reinterpret_cast<std::uintptr_t>(std::max(begin, data_));
  const auto last = reinterpret_cast<std::uintptr_t>(std::min(end, data_ + size_));
  const std::uintptr_t from = (first + g_page_size - 1) & ~(g_page_size - 1);
  const std::uintptr_t to = last & ~(g_page_size - 1);
  // Dropping the pages of a private mapping that was never written loses nothing: the file
  // still holds them. A zero page mapped over a lost one is dropped the same way, and reads as
  // zeros again.
  if (from < to) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
}

void GuardedMap::release() noexcept {
  if (slot_ == kNoSlot) return;
  GuardSlot& slot = g_slots[slot_];
  // Unregister, then unmap. The other order leaves a moment in which the addresses are free for
  // any new mapping while the table still claims them: a SIGBUS in, say, another plain mapping
  // placed there would be "repaired" into silent zeros instead of killing the process.
  // This order is safe because the owner destroys a mapping only after every read of it has
  // finished, and a read that faults finishes only after the handler has repaired the page and
  // returned. So no handler is inside our range once we get here, and none can find it from
  // now on. Between the two steps the mapping is still there but unguarded; only a read that
  // races the destructor (a use after release by the caller) can fault in it, and it dies by
  // SIGBUS as if unguarded.
  set_range(slot, 0, 0);
  ::munmap(const_cast<std::byte*>(data_), whole_pages(size_));
  slot.claimed.store(false, std::memory_order_release);
  data_ = nullptr;
  size_ = 0;
  slot_ = kNoSlot;
}

}  // namespace zel_package
