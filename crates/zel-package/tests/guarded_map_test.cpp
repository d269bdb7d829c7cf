// GuardedMap against files that really shrink (in this process, in another one, and under
// several reading threads), and the SIGBUS of a mapping it does not guard, which must still kill.
#include "guarded_map.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using zel_package::GuardedMap;

const std::size_t kPage = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

// Never 0, so a byte that reads 0 was lost; differs from file to file.
std::byte content(std::size_t file, std::size_t offset) {
  return static_cast<std::byte>((offset * 7 + file) % 251 + 1);
}

// A file in the test's temporary directory holding `bytes` bytes of content(file, ...).
class ScratchFile {
 public:
  ScratchFile(std::size_t file, std::size_t bytes) : path_(::testing::TempDir() + "guardedXXXXXX") {
    fd_ = ::mkstemp(path_.data());
    std::vector<std::byte> fill(bytes);
    for (std::size_t i = 0; i < bytes; ++i) fill[i] = content(file, i);
    if (fd_ < 0 || ::write(fd_, fill.data(), bytes) != static_cast<ssize_t>(bytes)) {
      ADD_FAILURE() << "cannot write " << path_;
    }
  }
  ScratchFile(const ScratchFile&) = delete;
  ~ScratchFile() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

void shrink_in_another_process(const std::string& path, std::size_t bytes) {
  const std::string size = std::to_string(bytes);
  const char* argv[] = {"truncate", "-s", size.c_str(), path.c_str(), nullptr};
  pid_t child = 0;
  ASSERT_EQ(::posix_spawnp(&child, "truncate", nullptr, nullptr, const_cast<char**>(argv), environ),
            0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "truncate ended with " << status;
}

// The bytes of the mapping of `file` that differ from its content up to `kept` and 0 after.
std::size_t wrong_bytes(const GuardedMap& map, std::size_t file, std::size_t kept) {
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < map.size(); ++i) {
    if (map.data()[i] != (i < kept ? content(file, i) : std::byte{0})) ++wrong;
  }
  return wrong;
}

TEST(GuardedMap, PagesLostToAShrinkingFileReadAsZeros) {
  enum class Shrinker { Nobody, ThisProcess, AnotherProcess };
  struct Case {
    const char* what;
    Shrinker shrinker;
    std::size_t kept;
  };
  const std::size_t size = 8 * kPage + 10;
  for (const Case& c : {Case{"untouched", Shrinker::Nobody, size},
                        Case{"shrunk here", Shrinker::ThisProcess, 3 * kPage + 100},
                        Case{"shrunk elsewhere", Shrinker::AnotherProcess, kPage + 1},
                        Case{"emptied elsewhere", Shrinker::AnotherProcess, 0}}) {
    SCOPED_TRACE(c.what);
    ScratchFile file(0, size);
    std::optional<GuardedMap> map = GuardedMap::map(file.fd(), size);
    ASSERT_TRUE(map);
    ASSERT_EQ(map->size(), size);
    if (c.shrinker == Shrinker::ThisProcess) {
      ASSERT_EQ(::ftruncate(file.fd(), static_cast<off_t>(c.kept)), 0);
    }
    if (c.shrinker == Shrinker::AnotherProcess) shrink_in_another_process(file.path(), c.kept);
    EXPECT_EQ(wrong_bytes(*map, 0, c.kept), 0u);
    EXPECT_EQ(map->lost_pages(), c.shrinker != Shrinker::Nobody);
  }
}

TEST(GuardedMap, IsEmptyWhenItCannotMapOrGuard) {
  ScratchFile file(0, kPage);
  EXPECT_FALSE(GuardedMap::map(file.fd(), 0));
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  EXPECT_FALSE(GuardedMap::map(pipe_ends[0], kPage));
  ::close(pipe_ends[0]);
  ::close(pipe_ends[1]);
  // Every slot, the failed pipe's included, can be taken; then none is left until one is given
  // back.
  std::vector<GuardedMap> live;
  for (std::size_t i = 0; i < zel_package::kGuardSlots; ++i) {
    std::optional<GuardedMap> map = GuardedMap::map(file.fd(), kPage);
    ASSERT_TRUE(map) << "slot " << i;
    live.push_back(std::move(*map));
  }
  EXPECT_FALSE(GuardedMap::map(file.fd(), kPage));
  live.pop_back();
  EXPECT_TRUE(GuardedMap::map(file.fd(), kPage));
}

const void* g_plain_page = nullptr;

void exit_with_details(int, siginfo_t* info, void*) {
  ::_exit(info->si_code == BUS_ADRERR && info->si_addr == g_plain_page ? 3 : 4);
}

void exit_plainly(int) {
  ::_exit(5);
}

void set_previous(void (*handler)(int), void (*detailed)(int, siginfo_t*, void*)) {
  struct sigaction action {};
  if (detailed != nullptr) {
    action.sa_sigaction = detailed;
    action.sa_flags = SA_SIGINFO;
  } else {
    action.sa_handler = handler;
  }
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, nullptr);
}

int page_memfd() {
  const int fd = ::memfd_create("guarded", MFD_CLOEXEC);
  if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(kPage)) != 0) ::_exit(10);
  return fd;
}

// In a child: optionally guards a mapping and loses a page of it (which must survive), then
// touches a lost page of a plain mapping, which must end the child the way the previous SIGBUS
// action says. Exits 0 if it survives.
void touch_lost_plain_page(bool guard_first) {
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  std::optional<GuardedMap> guarded;
  if (guard_first) {
    const int fd = page_memfd();
    guarded = GuardedMap::map(fd, kPage);
    if (!guarded || ::ftruncate(fd, 0) != 0) ::_exit(11);
    if (*static_cast<const volatile std::byte*>(guarded->data()) != std::byte{0}) ::_exit(12);
    if (!guarded->lost_pages()) ::_exit(13);
  }
  const int fd = page_memfd();
  void* plain = ::mmap(nullptr, kPage, PROT_READ, MAP_PRIVATE, fd, 0);
  if (plain == MAP_FAILED || ::ftruncate(fd, 0) != 0) ::_exit(14);
  g_plain_page = plain;
  (void)*static_cast<const volatile char*>(plain);
  ::_exit(0);
}

TEST(GuardedMapDeathTest, AFaultOutsideEveryGuardedMappingGoesToThePreviousAction) {
  // A fresh process per case, so that the case's previous action comes before the handler.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* what;
    void (*handler)(int);
    void (*detailed)(int, siginfo_t*, void*);
    bool keep_the_process_action;
    bool guard_first;
    std::function<bool(int)> ends;
    const char* says;
  };
#if defined(__SANITIZE_ADDRESS__)
  const std::function<bool(int)> dies = [](int status) {
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  };
#endif
  const std::vector<Case> cases = {
    {"default, unguarded", SIG_DFL, nullptr, false, false, ::testing::KilledBySignal(SIGBUS), ""},
    {"default", SIG_DFL, nullptr, false, true, ::testing::KilledBySignal(SIGBUS), ""},
    {"handler with details", nullptr, exit_with_details, false, true, ::testing::ExitedWithCode(3),
     ""},
    {"plain handler", exit_plainly, nullptr, false, true, ::testing::ExitedWithCode(5), ""},
#if defined(__SANITIZE_ADDRESS__)
    {"the sanitizer's", nullptr, nullptr, true, true, dies, "AddressSanitizer: BUS"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EXIT(
        {
          if (!c.keep_the_process_action) set_previous(c.handler, c.detailed);
          touch_lost_plain_page(c.guard_first);
        },
        c.ends, c.says);
  }
}

TEST(GuardedMap, ThreadsSeeOnlyTheLossOfTheirOwnFile) {
  constexpr std::size_t kThreads = 4;
  const std::size_t size = 32 * kPage;
  // Even files shrink, odd ones stay whole.
  const auto kept = [&](std::size_t file) { return file % 2 == 0 ? file * kPage + 10 : size; };
  std::vector<std::unique_ptr<ScratchFile>> files;
  std::vector<GuardedMap> maps;
  for (std::size_t k = 0; k < kThreads; ++k) {
    files.push_back(std::make_unique<ScratchFile>(k, size));
    std::optional<GuardedMap> map = GuardedMap::map(files[k]->fd(), size);
    ASSERT_TRUE(map);
    maps.push_back(std::move(*map));
  }
  std::atomic<std::size_t> first_passes{0};
  std::atomic<bool> shrunk{false};
  std::vector<std::size_t> wrong(kThreads);
  std::vector<std::thread> readers;
  for (std::size_t k = 0; k < kThreads; ++k) {
    readers.emplace_back([&, k] {
      // Until the files have shrunk, a byte may still read as its content; after, it must not.
      for (bool counted = false;;) {
        const bool last = shrunk.load();
        for (std::size_t i = 0; i < size; ++i) {
          const std::byte now = maps[k].data()[i];
          if (now != content(k, i) && (i < kept(k) || now != std::byte{0})) ++wrong[k];
          if (last && i >= kept(k) && now != std::byte{0}) ++wrong[k];
        }
        if (last) break;
        if (!counted) {
          first_passes.fetch_add(1);
          counted = true;
        }
      }
    });
  }
  while (first_passes.load() < kThreads) std::this_thread::yield();
  for (std::size_t k = 0; k < kThreads; k += 2) EXPECT_EQ(::ftruncate(files[k]->fd(), kept(k)), 0);
  shrunk.store(true);
  for (std::thread& reader : readers) reader.join();
  for (std::size_t k = 0; k < kThreads; ++k) {
    EXPECT_EQ(wrong[k], 0u) << "file " << k;
    EXPECT_EQ(maps[k].lost_pages(), kept(k) < size) << "file " << k;
  }
}

}  // namespace
