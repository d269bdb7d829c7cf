#include "frame.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "failure_text.h"

namespace zel_runtime {
namespace {

namespace fs = std::filesystem;

// --- Status texts ------------------------------------------------------------

constexpr int kCoreFlag = 0x80;

TEST(ExitStatusText, NamesExitCodesAndSignals) {
  const struct {
    int raw;
    const char* text;
  } cases[] = {
      {W_EXITCODE(1, 0), "exit status: 1"},
      {W_EXITCODE(2, 0), "exit status: 2"},
      {W_EXITCODE(255, 0), "exit status: 255"},
      {SIGHUP, "signal: 1 (SIGHUP)"},
      {SIGINT, "signal: 2 (SIGINT)"},
      {SIGABRT, "signal: 6 (SIGABRT)"},
      {SIGKILL, "signal: 9 (SIGKILL)"},
      {SIGSEGV, "signal: 11 (SIGSEGV)"},
      {SIGSEGV | kCoreFlag, "signal: 11 (SIGSEGV) (core dumped)"},
      {SIGSTKFLT, "signal: 16 (SIGSTKFLT)"},
      {SIGIO, "signal: 29 (SIGIO)"},
      {SIGPWR, "signal: 30 (SIGPWR)"},
      {SIGSYS | kCoreFlag, "signal: 31 (SIGSYS) (core dumped)"},
      {34, "signal: 34"},
      {64 | kCoreFlag, "signal: 64 (core dumped)"},
  };
  for (const auto& c : cases) EXPECT_EQ(exit_status_text(ExitStatus{c.raw}), c.text) << c.raw;
}

TEST(RequireSuccess, PassesOnlyExitCodeZero) {
  EXPECT_EQ(failure_text([] { require_success("local H2D and D2H", ExitStatus{0}); }),
            std::nullopt);
  EXPECT_EQ(
      failure_text([] { require_success("local H2D and D2H", ExitStatus{W_EXITCODE(1, 0)}); }),
      "hardware capability \"local H2D and D2H\" failed with exit status: 1");
  EXPECT_EQ(failure_text([] { require_success("initialized tile D2H", ExitStatus{SIGKILL}); }),
            "hardware capability \"initialized tile D2H\" failed with signal: 9 (SIGKILL)");
  // The description is written in its quoted debug form.
  EXPECT_EQ(failure_text([] { require_success("a \"b\"\n", ExitStatus{W_EXITCODE(3, 0)}); }),
            "hardware capability \"a \\\"b\\\"\\n\" failed with exit status: 3");
}

// --- Environments ------------------------------------------------------------

TEST(RunnerEnvironment, SettingsReplaceInheritedNamesInOrder) {
  const std::vector<std::string> inherited = {"PATH=/bin", "A=1", "FLAG", "B=2", "A=shadow"};
  const struct {
    std::vector<EnvPair> settings;
    std::vector<std::string> expected;
  } cases[] = {
      {{}, inherited},
      // A replaced where it stood (its later duplicate dropped), C appended.
      {{{"A", "x"}, {"C", "3"}}, {"PATH=/bin", "A=x", "FLAG", "B=2", "C=3"}},
      // A later setting of the same name wins; empty values are values.
      {{{"C", "1"}, {"C", ""}, {"B", ""}}, {"PATH=/bin", "A=1", "FLAG", "B=", "A=shadow", "C="}},
      // Values are bytes, not checked for UTF-8; a name is never a prefix match.
      {{{"PAT", "\xff\xfe"}}, {"PATH=/bin", "A=1", "FLAG", "B=2", "A=shadow", "PAT=\xff\xfe"}},
  };
  for (const auto& c : cases) EXPECT_EQ(runner_environment(inherited, c.settings), c.expected);
}

TEST(Paths, JoinLikeTheTemporaryDirectoryNeeds) {
  EXPECT_EQ(join_path("/tmp", "f.capnp"), "/tmp/f.capnp");
  EXPECT_EQ(join_path("/tmp/", "f.capnp"), "/tmp/f.capnp");
  EXPECT_EQ(join_path("", "f.capnp"), "f.capnp");
  EXPECT_EQ(join_path("rel", "f.capnp"), "rel/f.capnp");
  EXPECT_TRUE(runner_path("zel-host-e2e").starts_with("/"));
  EXPECT_TRUE(runner_path("zel-host-e2e").ends_with("/zel-host-e2e"));
}

// --- Launching ---------------------------------------------------------------

class Launch : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zel-launch-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A shell script `name` in the test directory with `body`, executable or not.
  std::string script(const std::string& name, const std::string& body, bool executable = true) {
    const fs::path path = dir_ / name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), executable ? 0755 : 0644);
    return path.string();
  }
  std::string read(const std::string& name) {
    std::stringstream text;
    text << std::ifstream(dir_ / name).rdbuf();
    return text.str();
  }

  fs::path dir_;
};

TEST_F(Launch, RunnerGetsItsPathAloneAndTheEnvironmentOnTop) {
  setenv("ZEL_LAUNCH_INHERITED", "kept", 1);
  setenv("ZEL_LAUNCH_REPLACED", "old", 1);
  Command command(script("runner",
                         "printf '%s|%s|' \"$0\" \"$#\" > \"$OUT\"\n"
                         "printf '%s|%s|%s' \"$ZEL_LAUNCH_INHERITED\" "
                         "\"$ZEL_LAUNCH_REPLACED\" \"$ZEL_LAUNCH_NEW\" >> \"$OUT\"\n"
                         "pwd >> \"$OUT\""));
  command.env("OUT", (dir_ / "out").string())
      .env("ZEL_LAUNCH_REPLACED", "first")
      .env("ZEL_LAUNCH_NEW", "new")
      .env("ZEL_LAUNCH_REPLACED", "new");
  const auto status = command.run();
  unsetenv("ZEL_LAUNCH_INHERITED");
  unsetenv("ZEL_LAUNCH_REPLACED");
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->raw, 0);
  EXPECT_EQ(read("out"),
            command.program() + "|0|kept|new|new" + fs::current_path().string() + "\n");
}

TEST_F(Launch, RunnerStartsWithDefaultSigpipeAndNothingBlocked) {
  // Ignored signals survive exec; the launch must undo that for SIGPIPE, and
  // a blocked mask must not leak into the runner either.
  struct sigaction ignore = {};
  struct sigaction previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  sigset_t blocked, old_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);

  Command command(script("runner", "exec grep -E '^Sig(Ign|Blk)' /proc/self/status > \"$OUT\""));
  command.env("OUT", (dir_ / "out").string());
  const auto status = command.run();

  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_TRUE(status.has_value());
  std::istringstream lines(read("out"));
  std::string blk, ign;
  std::getline(lines, blk);
  std::getline(lines, ign);
  EXPECT_EQ(blk, "SigBlk:\t0000000000000000");
  ASSERT_TRUE(ign.starts_with("SigIgn:\t")) << ign;
  const auto ignored = std::stoull(ign.substr(8), nullptr, 16);
  EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u) << ign;
}

volatile sig_atomic_t alarms = 0;
void count_alarm(int) {
  alarms = 1;
}

TEST_F(Launch, WaitResumesAfterSignals) {
  struct sigaction on_alarm = {};
  struct sigaction previous = {};
  on_alarm.sa_handler = count_alarm;  // no SA_RESTART: the wait sees EINTR
  sigaction(SIGALRM, &on_alarm, &previous);
  itimerval every_10ms{{0, 10'000}, {0, 10'000}};
  setitimer(ITIMER_REAL, &every_10ms, nullptr);

  const auto status = Command(script("slow", "sleep 0.3; exit 4")).run();

  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_GT(alarms, 0);
  ASSERT_TRUE(status.has_value()) << debug_text(status.error());
  EXPECT_EQ(exit_status_text(*status), "exit status: 4");
}

}  // namespace
}  // namespace zel_runtime
