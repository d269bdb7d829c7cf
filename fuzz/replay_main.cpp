// Runs a fuzz target over the inputs given on the command line (files, and
// every file of the directories among them), each input in a child process of
// its own, so that an input which makes the code under test end the process (a
// fatal harness error, by design) is told apart from one that crashes it.
// Built with AddressSanitizer, each child also looks for memory the input
// leaked before it ends. Exit status 0 when no input crashed, hung, leaked or
// failed a property; 1 otherwise.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_target.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

void fuzz_check_failed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property failed: %s\n", file, line, what);
  std::abort();
}

namespace {

// The status a child ends with when the leak checker found memory its input
// leaked (the checker's report is on standard error). Code under test that
// ends the process itself uses 0, 1, 2 or 101.
constexpr int kLeakedStatus = 86;

bool run_one(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return false;
  }
  if (child == 0) {
    alarm(10);  // a hang is a finding too
    // The code under test may print (help text, warnings): keep the log readable.
    std::freopen("/dev/null", "w", stdout);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    // _Exit skips the checker's own exit-time run, so it runs here.
#if defined(__SANITIZE_ADDRESS__)
    if (__lsan_do_recoverable_leak_check() != 0) std::_Exit(kLeakedStatus);
#endif
    std::_Exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  if (WIFSIGNALED(status)) {
    std::fprintf(stderr, "%s: ended by signal %d\n", path.c_str(), WTERMSIG(status));
    return false;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == kLeakedStatus) {
    std::fprintf(stderr, "%s: leaked memory\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s INPUT_FILE_OR_CORPUS_DIR...\n", argv[0]);
    return 2;
  }
  std::size_t inputs = 0, failures = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    if (std::filesystem::is_directory(argv[i], error)) {
      for (const auto& entry : std::filesystem::directory_iterator(argv[i], error)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else if (std::filesystem::is_regular_file(argv[i], error)) {
      files.push_back(argv[i]);
    } else if (!error) {
      error = std::make_error_code(std::errc::no_such_file_or_directory);
    }
    if (error) {
      std::fprintf(stderr, "%s: %s\n", argv[i], error.message().c_str());
      return 2;
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      ++inputs;
      if (!run_one(file)) ++failures;
    }
  }
  std::printf("%zu inputs, %zu failures\n", inputs, failures);
  return failures == 0 ? 0 : 1;
}
