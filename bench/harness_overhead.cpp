// How much the harness adds to running many trivial tests: the wall and
// processor time of 10,000 passing tests through the run loop (and through the whole console
// driver with the pretty format into memory), at 1 and 2 worker threads,
// against a floor program that only creates, names, runs and joins one thread
// per test and sends one message each. Both run in the same process, each
// measurement repeated; the medians and their ratios are printed.
//
// Whole programs beside them, when built next to this one: GoogleTest running
// the same number of trivial tests (gtest_10k), and a harness test program
// with as many silent passing tests (harness_selftest, registry "many"), each
// spawned with its output sent to /dev/null. Their times include starting the
// process and writing one line per test.
//
//   target/<build>/harness_overhead [tests] [repeats] [only]
//
// `only` (floor, loop, console, program or gtest) runs that one measurement,
// at 2 workers, `repeats` times and prints nothing: for profilers.
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console_driver.h"
#include "harness/io.h"
#include "harness/run.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

harness::TestFailureResult trivial() {
  return {};
}

std::vector<harness::TestDescAndFn> registry(std::size_t count) {
  std::vector<harness::TestDescAndFn> tests;
  tests.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    harness::TestDesc desc{harness::TestName::static_name("test_" + std::to_string(i)),
                           false,
                           std::nullopt,
                           "bench/harness_overhead.cpp",
                           1,
                           1,
                           1,
                           1,
                           harness::ExpectFailure::no(),
                           false,
                           false,
                           harness::TestKind::Unit};
    tests.push_back({std::move(desc), harness::StaticTestFn{&trivial}});
  }
  return tests;
}

// --- the floor: one named thread per test, one message each ---

struct Mailbox {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::size_t> messages;
};

struct FloorJob {
  Mailbox* mailbox;
  std::size_t id;
  std::string name;
};

void* floor_thread(void* raw) {
  auto* job = static_cast<FloorJob*>(raw);
  pthread_setname_np(pthread_self(), job->name.substr(0, 15).c_str());
  (void)trivial();
  {
    std::lock_guard lock(job->mailbox->mutex);
    job->mailbox->messages.push_back(job->id);
  }
  job->mailbox->ready.notify_one();
  return nullptr;
}

void run_floor(std::size_t count, std::size_t workers) {
  Mailbox mailbox;
  std::vector<FloorJob> jobs(count);
  std::vector<pthread_t> threads(count);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 2 * 1024 * 1024);
  std::size_t next = 0;
  std::size_t running = 0;
  std::size_t done = 0;
  while (done < count) {
    while (running < workers && next < count) {
      jobs[next] = FloorJob{&mailbox, next, "test_" + std::to_string(next)};
      if (pthread_create(&threads[next], &attr, floor_thread, &jobs[next]) != 0) std::abort();
      ++next;
      ++running;
    }
    std::size_t id;
    {
      std::unique_lock lock(mailbox.mutex);
      mailbox.ready.wait(lock, [&] { return !mailbox.messages.empty(); });
      id = mailbox.messages.front();
      mailbox.messages.pop_front();
    }
    pthread_join(threads[id], nullptr);
    --running;
    ++done;
  }
  pthread_attr_destroy(&attr);
}

// --- the harness ---

// The registry is handed over ready-made, as a test program's static one is:
// building it is not part of the run.
void run_loop(std::vector<harness::TestDescAndFn> tests, std::size_t workers) {
  const std::size_t count = tests.size();
  harness::TestOpts opts;
  opts.test_threads = workers;
  std::size_t results = 0;
  auto counted = [&results](harness::TestEvent event) -> harness::IoResult {
    if (std::holds_alternative<harness::TestEvent::Result>(event.event)) ++results;
    return {};
  };
  if (!harness::run_tests(opts, std::move(tests), counted) || results != count) std::abort();
}

void run_console(std::vector<harness::TestDescAndFn> tests, std::size_t workers) {
  harness::TestOpts opts;
  opts.test_threads = workers;
  harness::StringSink sink;
  const auto passed = harness::run_tests_console_to(sink, opts, std::move(tests), false);
  if (!passed || !*passed) std::abort();
}

// --- whole programs ---

// A program and its arguments and added environment, run to completion with
// standard output and standard error on /dev/null.
struct Program {
  std::string path;
  std::vector<std::string> args;
  std::vector<std::string> env;  // "NAME=value", in place of this process's value
};

bool sets_same_variable(std::string_view a, std::string_view b) {
  const auto name = [](std::string_view var) { return var.substr(0, var.find('=')); };
  return name(a) == name(b);
}

void run_program(const Program& program) {
  std::vector<char*> argv{const_cast<char*>(program.path.c_str())};
  for (const auto& arg : program.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** var = environ; *var != nullptr; ++var) {
    const bool replaced =
        std::any_of(program.env.begin(), program.env.end(),
                    [&](const std::string& own) { return sets_same_variable(own, *var); });
    if (!replaced) envp.push_back(*var);
  }
  for (const auto& var : program.env) envp.push_back(const_cast<char*>(var.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t child = 0;
  const int error =
      posix_spawn(&child, program.path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    std::fprintf(stderr, "cannot start %s: %s\n", program.path.c_str(), std::strerror(error));
    std::exit(1);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s did not exit with status 0 (wait status %d)\n", program.path.c_str(),
                 status);
    std::exit(1);
  }
}

// A sibling executable of this one in the build directory, if it was built.
std::optional<std::string> sibling(std::string_view name) {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  const auto path = self.parent_path() / name;
  if (::access(path.c_str(), X_OK) != 0) return std::nullopt;
  return path.string();
}

Program gtest_program(const std::string& path, std::size_t count) {
  return {path, {std::to_string(count)}, {}};
}

Program harness_program(const std::string& path, std::size_t count, std::size_t workers) {
  return {path,
          {"--test-threads", std::to_string(workers)},
          {"HARNESS_SELFTEST_REGISTRY=many", "HARNESS_SELFTEST_COUNT=" + std::to_string(count)}};
}

// --- measuring ---

// Wall time, and the processor time (user + system) of this process's threads
// and of the children it waited for.
struct Sample {
  double wall_ms;
  double cpu_ms;
};

double cpu_ms_so_far() {
  const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  rusage self{}, children{};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  return ms(self.ru_utime) + ms(self.ru_stime) + ms(children.ru_utime) + ms(children.ru_stime);
}

Sample measure(const std::function<void()>& body) {
  const double cpu_start = cpu_ms_so_far();
  const auto start = Clock::now();
  body();
  return {std::chrono::duration<double, std::milli>(Clock::now() - start).count(),
          cpu_ms_so_far() - cpu_start};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Series {
  const char* label;
  std::function<void()> body;
  std::function<void()> prepare = [] {};  // before each run, not timed
  std::vector<double> wall{}, cpu{};
};

constexpr double kGoal = 1.3;

int profile_one(std::string_view only, std::size_t count, int repeats,
                const std::optional<std::string>& gtest,
                const std::optional<std::string>& program) {
  constexpr std::size_t workers = 2;
  for (int i = 0; i < repeats; ++i) {
    if (only == "floor") {
      run_floor(count, workers);
    } else if (only == "loop") {
      run_loop(registry(count), workers);
    } else if (only == "console") {
      run_console(registry(count), workers);
    } else if (only == "gtest" && gtest) {
      run_program(gtest_program(*gtest, count));
    } else if (only == "program" && program) {
      run_program(harness_program(*program, count, workers));
    } else {
      std::fprintf(stderr, "cannot run '%.*s': floor, loop, console, gtest or program\n",
                   static_cast<int>(only.size()), only.data());
      return 2;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::optional<std::string> gtest = sibling("gtest_10k");
  const std::optional<std::string> program = sibling("harness_selftest");
  if (argc > 3) return profile_one(argv[3], count, repeats, gtest, program);

  std::printf(
      "%zu trivial tests; median of %d interleaved runs; processor time is user + system\n"
      "goal: the run loop and the console driver at most %.1f x the floor's wall time\n",
      count, repeats, kGoal);
  bool met = true;
  for (const std::size_t workers : {1u, 2u}) {
    std::vector<harness::TestDescAndFn> tests;
    const auto prepare = [&] { tests = registry(count); };
    std::vector<Series> series;
    series.push_back({"floor", [&] { run_floor(count, workers); }});
    series.push_back({"run loop", [&] { run_loop(std::move(tests), workers); }, prepare});
    series.push_back({"console driver", [&] { run_console(std::move(tests), workers); }, prepare});
    if (program) {
      series.push_back(
          {"harness program", [&] { run_program(harness_program(*program, count, workers)); }});
    }
    if (gtest) {
      series.push_back({"GoogleTest", [&] { run_program(gtest_program(*gtest, count)); }});
    }
    // Interleaved, so that a burst of load elsewhere on the machine hits all
    // of them alike.
    for (int i = 0; i < repeats; ++i) {
      for (auto& s : series) {
        s.prepare();
        const Sample sample = measure(s.body);
        s.wall.push_back(sample.wall_ms);
        s.cpu.push_back(sample.cpu_ms);
      }
    }
    const double floor_wall = median(series[0].wall), floor_cpu = median(series[0].cpu);
    std::printf("\n%zu worker%s %14s %8s %14s %8s\n", workers, workers == 1 ? " " : "s", "wall ms",
                "/floor", "processor ms", "/floor");
    for (const auto& s : series) {
      const double wall = median(s.wall), cpu = median(s.cpu);
      std::printf("  %-16s %12.1f %8.2f %14.1f %8.2f\n", s.label, wall, wall / floor_wall, cpu,
                  cpu / floor_cpu);
    }
    const double worst = std::max(median(series[1].wall), median(series[2].wall)) / floor_wall;
    met = met && worst <= kGoal;
    std::printf("  goal at %zu worker%s: %.2f x floor, %s\n", workers, workers == 1 ? "" : "s",
                worst, worst <= kGoal ? "met" : "MISSED");
    if (program && gtest) {
      std::printf("  harness program / GoogleTest: %.2f wall, %.2f processor\n",
                  median(series[3].wall) / median(series[4].wall),
                  median(series[3].cpu) / median(series[4].cpu));
    }
  }
  if (!program || !gtest) {
    std::printf("(gtest_10k or harness_selftest not built: no whole-program comparison)\n");
  }
  std::printf("\nharness overhead goal: %s\n", met ? "met" : "MISSED");
  return 0;
}
