// The standard-output sink: whole writes through pipes, errors by errno, and
// colour codes from a terminal description compiled into a private terminfo
// directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "harness/io.h"
#include "scoped_env.h"

namespace harness {
namespace {

struct Pipe {
  int read_end = -1;
  int write_end = -1;
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    read_end = fds[0];
    write_end = fds[1];
  }
  ~Pipe() {
    if (read_end >= 0) ::close(read_end);
    if (write_end >= 0) ::close(write_end);
  }
  std::string drain() {
    ::close(write_end);
    write_end = -1;
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = ::read(read_end, buf, sizeof buf)) > 0;) out.append(buf, n);
    return out;
  }
};

TEST(StdoutSink, WritesEveryByteEvenWhenThePipeTakesItInParts) {
  ScopedEnv env;
  env.unset("TERM");
  Pipe pipe;
  auto sink = make_fd_sink(pipe.write_end);
  // Larger than a pipe's buffer: the kernel accepts it in parts while the
  // reader drains it.
  const std::string big(1 << 20, 'x');
  std::string received;
  std::thread reader([&] {
    char buf[65536];
    for (ssize_t n;
         received.size() < big.size() && (n = ::read(pipe.read_end, buf, sizeof buf)) > 0;) {
      received.append(buf, n);
    }
  });
  EXPECT_TRUE(sink->write(big));
  reader.join();
  EXPECT_EQ(received.size(), big.size());
  EXPECT_FALSE(sink->is_color_terminal());
  EXPECT_EQ(sink->color_code(Color::Red), "");
  EXPECT_EQ(sink->reset_code(), "");
  EXPECT_EQ(pipe.drain(), "");
}

TEST(StdoutSink, FailedWritesReturnTheOperatingSystemError) {
  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  auto sink = make_fd_sink(full);
  const auto result = sink->write("lost");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, ENOSPC);
  EXPECT_EQ(result.error().debug(),
            "Os { code: 28, kind: StorageFull, message: \"No space left on device\" }");
  ::close(full);

  // A reader that went away: EPIPE, and the process lives on even though
  // SIGPIPE has its default action here.
  const auto old_handler = std::signal(SIGPIPE, SIG_DFL);
  Pipe pipe;
  ::close(pipe.read_end);
  pipe.read_end = -1;
  auto broken = make_fd_sink(pipe.write_end);
  EXPECT_EQ(broken->write("x"), std::unexpected(IoError{EPIPE}));
  EXPECT_EQ(broken->write("y"), std::unexpected(IoError{EPIPE}));
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  std::signal(SIGPIPE, old_handler);
}

// A private terminfo directory holding descriptions compiled by `tic`.
class TerminfoDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zel-terminfo-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    env_.set("TERMINFO", dir_.string());
    env_.unset("TERMINFO_DIRS");
    env_.set("HOME", dir_.string());  // no ~/.terminfo of the developer's
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void compile(const std::string& source) {
    const auto path = dir_ / "source.ti";
    std::ofstream(path) << source;
    const std::string cmd = "tic -x -o '" + dir_.string() + "' '" + path.string() + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }

  // What a coloured "w" is for red, green, yellow and cyan: the colour's code,
  // the word, the reset code, written through the sink.
  std::string colour_bytes(const std::string& term) {
    env_.set("TERM", term);
    Pipe pipe;
    auto sink = make_fd_sink(pipe.write_end);
    for (const Color c : {Color::Red, Color::Green, Color::Yellow, Color::Cyan}) {
      std::string coloured(sink->color_code(c));
      coloured.append("w").append(sink->reset_code());
      EXPECT_TRUE(sink->write(coloured));
    }
    is_terminal_ = sink->is_color_terminal();
    return pipe.drain();
  }

  std::filesystem::path dir_;
  ScopedEnv env_;
  bool is_terminal_ = false;
};

TEST_F(TerminfoDir, ColourCodesFollowTheDescription) {
  compile(
      "zel-full|eight colours,\n\tcolors#8, setaf=\\E[3%p1%dm, setab=\\E[4%p1%dm,\n"
      "\tsgr0=\\E[0m, op=\\E[39m,\n"
      "zel-two|two colours,\n\tcolors#2, setaf=\\E[3%p1%dm, setab=\\E[4%p1%dm, sgr0=\\E[0m,\n"
      "zel-nosetab|foreground only,\n\tcolors#8, setaf=\\E[3%p1%dm, sgr0=\\E[0m,\n"
      "zel-op|no sgr0,\n\tcolors#8, setaf=\\E[3%p1%dm, setab=\\E[4%p1%dm, op=\\E[39;49m,\n"
      "zel-sgr|sgr only,\n\tcolors#8, setaf=\\E[3%p1%dm, setab=\\E[4%p1%dm,\n"
      "\tsgr=\\E[0%?%p1%t;7%;m, op=\\E[39;49m,\n"
      "zel-plain|no colour,\n\tcols#80,\n");
  struct Case {
    const char* term;
    const char* expected;
  };
  const Case cases[] = {
      {"zel-full", "\x1b[31mw\x1b[0m\x1b[32mw\x1b[0m\x1b[33mw\x1b[0m\x1b[36mw\x1b[0m"},
      // Only colour 1 is below the count; the others are not set, resets still go out.
      {"zel-two", "\x1b[31mw\x1b[0mw\x1b[0mw\x1b[0mw\x1b[0m"},
      {"zel-nosetab", "w\x1b[0mw\x1b[0mw\x1b[0mw\x1b[0m"},
      {"zel-op",
       "\x1b[31mw\x1b[39;49m\x1b[32mw\x1b[39;49m\x1b[33mw\x1b[39;49m\x1b[36mw\x1b[39;49m"},
      {"zel-sgr", "\x1b[31mw\x1b[0m\x1b[32mw\x1b[0m\x1b[33mw\x1b[0m\x1b[36mw\x1b[0m"},
      {"zel-plain", "wwww"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(colour_bytes(c.term), c.expected) << c.term;
    EXPECT_TRUE(is_terminal_) << c.term;
  }
}

TEST_F(TerminfoDir, UnknownOrUnsetTerminalIsRawOutputWithoutAWord) {
  compile(
      "zel-full|eight colours,\n\tcolors#8, setaf=\\E[3%p1%dm, setab=\\E[4%p1%dm, sgr0=\\E[0m,\n");
  EXPECT_EQ(colour_bytes("zel-missing"), "wwww");
  EXPECT_FALSE(is_terminal_);
  EXPECT_EQ(colour_bytes(""), "wwww");
  EXPECT_FALSE(is_terminal_);
  env_.unset("TERM");
  Pipe pipe;
  auto sink = make_fd_sink(pipe.write_end);
  EXPECT_FALSE(sink->is_color_terminal());
}

TEST_F(TerminfoDir, DescriptionsAreFoundThroughTerminfoDirs) {
  compile("zel-dirs|via dirs,\n\tcolors#8, setaf=\\E[3%p1%dm, setab=\\E[4%p1%dm, sgr0=\\E[0m,\n");
  env_.unset("TERMINFO");
  env_.set("TERMINFO_DIRS", "/nonexistent:" + dir_.string());
  EXPECT_EQ(colour_bytes("zel-dirs").substr(0, 10), "\x1b[31mw\x1b[0m");
}

}  // namespace
}  // namespace harness
