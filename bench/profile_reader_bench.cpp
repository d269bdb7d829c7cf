// How fast ProfileReport::read turns a whole-card profile file into records,
// next to two references: reading the file into memory, and a bare traversal:
// the file read with the library's stream reader, then every field of the
// message visited with the generated accessors (no checks, no copies), as a
// program that never maps the file would. The reader maps the file and decodes
// its words itself, so warm it can outrun the bare traversal; fresh, it also
// pays for faulting in its records, twice the file's size.
//
// The profile: 1,472 tiles x 1,000 samples, each step with an operation and a
// kernel name and two metadata entries, written to $TMPDIR (else /tmp) once.
// Throughput is bytes of the file per second, so the three compare directly.
//
// Two settings, one summary with the ratios at the end, all of processor
// time (user + system), which the other work on a shared machine disturbs
// less than wall time:
//  - warm: Google Benchmark repeats each one in this process, repetitions
//    interleaved at random; the heap and the page cache are warm, and the
//    records of one read reuse the memory the previous read released (this
//    process keeps freed memory instead of handing it back to the system, so
//    that no repetition pays for faulting it in again by chance).
//  - fresh: a new process (this program started again with --fresh) does
//    each one once, as a test program reads its profile; the records' memory
//    is new to it, so faulting it in counts. Its peak resident memory is
//    printed beside it, and set against the floor: the file's bytes plus
//    the records' share of the heap, which the child measures.
//
//   target/<build>/profile_reader_bench [--fresh-runs=N] [--fresh-only] [benchmark flags]
//   target/<build>/profile_reader_bench --write-profile=PATH; ... --fresh=read|bare|file PATH
#include <benchmark/benchmark.h>
#include <capnp/message.h>
#include <capnp/serialize.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "profile.capnp.h"
#include "zel_package.h"

namespace {

constexpr unsigned kTiles = 1472;
unsigned g_samples = 1000;  // a tile; --samples=N
constexpr double kGoal =
    0.75;  // a fresh process's reader's throughput as a share of the bare traversal's
// zel-profile's check and summary, as a multiple of the bare traversal's
// throughput, and every command's peak resident memory.
constexpr double kToolGoal = 1.5;
constexpr double kToolPeakMiB = 128;

std::string profile_path() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/profile_reader_bench." +
         std::to_string(::getpid()) + ".bin";
}

// Names like a GEMM run's: operations longer than a short-string buffer,
// short metadata values.
void write_profile(const std::string& path) {
  capnp::MallocMessageBuilder message;
  auto profile = message.initRoot<profile_capnp::Profile>();
  profile.setSchemaVersion(3);
  profile.setClockHz(1'850'000'000);
  auto tiles = profile.initTiles(kTiles);
  const profile_capnp::StepKind kinds[] = {
      profile_capnp::StepKind::EXCHANGE, profile_capnp::StepKind::COMPUTE,
      profile_capnp::StepKind::SYNCHRONIZATION, profile_capnp::StepKind::IDLE};
  for (unsigned t = 0; t < kTiles; ++t) {
    tiles[t].setPhysicalTile(t);
    auto samples = tiles[t].initSamples(g_samples);
    for (unsigned s = 0; s < g_samples; ++s) {
      auto step = samples[s].initStep();
      step.setLocalIndex(s);
      step.setPhase(s / 4);
      step.setEpoch(s / 100);
      step.setOperation("gemm.block(" + std::to_string(s % 23) + "," + std::to_string(t % 64) +
                        ").accumulate");
      step.setKind(kinds[s % 4]);
      step.setKernel(s % 4 == 1 ? "gemm_f16_32x32_acc" : "exchange_and_sync_v2");
      auto metadata = step.initMetadata(2);
      metadata[0].setName("rows");
      metadata[0].setValue(std::to_string(32 * (s % 8)));
      metadata[1].setName("block");
      metadata[1].setValue(std::to_string(s % 23) + "," + std::to_string(t % 64));
      samples[s].setStartCycle(s * 1000);
      samples[s].setEndCycle(s * 1000 + 900);
    }
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  capnp::writeMessageToFd(fd, message);
  ::close(fd);
}

std::int64_t file_bytes(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  return st.st_size;
}

kj::Array<capnp::word> read_whole_file(const std::string& path, std::int64_t bytes) {
  auto words = kj::heapArray<capnp::word>(static_cast<std::size_t>(bytes) / sizeof(capnp::word));
  kj::FdInputStream input(kj::AutoCloseFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)));
  input.read(words.begin(), static_cast<std::size_t>(bytes));
  return words;
}

// Every field of the message through the generated accessors: no checks, no copies.
std::uint64_t traverse(capnp::MessageReader& message) {
  const auto root = message.getRoot<profile_capnp::Profile>();
  std::uint64_t sum = root.getSchemaVersion() + root.getClockHz();
  for (const auto tile : root.getTiles()) {
    sum += tile.getPhysicalTile();
    for (const auto sample : tile.getSamples()) {
      const auto step = sample.getStep();
      sum += step.getLocalIndex() + step.getPhase() + step.getEpoch();
      sum += step.getOperation().size() + static_cast<std::uint16_t>(step.getKind());
      sum += step.getKernel().size();
      for (const auto entry : step.getMetadata()) {
        sum += entry.getName().size() + entry.getValue().size();
      }
      sum += sample.getStartCycle() + sample.getEndCycle();
    }
  }
  return sum;
}

// The file read with the library's own stream reader, as a program that never
// maps it would, then traversed bare.
std::uint64_t bare_traversal_of_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::abort();
  capnp::StreamFdMessageReader message(fd, zel_package::capnp_reader_options());
  const std::uint64_t sum = traverse(message);
  ::close(fd);
  return sum;
}

std::expected<zel_package::ProfileReport, zel_package::PackageError> read_report(
    const std::string& path) {
  return zel_package::ProfileReport::read(
      kj::AutoCloseFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)));
}

// --- warm: Google Benchmark in this process ---

struct Profile {
  std::string path;
  std::int64_t bytes = 0;
};

Profile* profile = nullptr;

void BM_ReadFileIntoMemory(benchmark::State& state) {
  for (auto _ : state) {
    auto words = read_whole_file(profile->path, profile->bytes);
    benchmark::DoNotOptimize(words.begin());
  }
  state.SetBytesProcessed(state.iterations() * profile->bytes);
}

void BM_BareTraversal(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(bare_traversal_of_file(profile->path));
  }
  state.SetBytesProcessed(state.iterations() * profile->bytes);
}

void BM_ProfileReportRead(benchmark::State& state) {
  for (auto _ : state) {
    auto report = read_report(profile->path);
    if (!report) {
      state.SkipWithError(zel_package::debug_text(report.error()).c_str());
      break;
    }
    benchmark::DoNotOptimize(report->tiles.data());
    // Releasing the records is the caller's business, not the read's.
    state.PauseTiming();
    report = std::unexpected(zel_package::PackageError(zel_package::NotInSchema{0}));
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * profile->bytes);
}

// Prints what Google Benchmark prints, and keeps the median processor time
// of each benchmark for the summary.
class MedianKeeper : public benchmark::ConsoleReporter {
 public:
  MedianKeeper() : ConsoleReporter(::isatty(1) ? OO_ColorTabular : OO_Tabular) {}

  std::map<std::string, double> median_ms;

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred) continue;
      // Without repetitions there is no median: the one run stands for it.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      const double ms = run.cpu_accumulated_time * 1e3 / static_cast<double>(run.iterations);
      median_ms[run.run_name.function_name] = ms;
    }
  }
};

// --- fresh: one new process per measurement ---

double cpu_ms_so_far() {
  const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// The child's side: does `what` once and writes its wall and processor time
// in milliseconds to standard output.
int fresh_child(std::string_view what, const std::string& path) {
  const std::int64_t bytes = file_bytes(path);
  // Kept past the clock: releasing the records is not part of the read.
  std::optional<zel_package::ProfileReport> records;
  const std::size_t heap_before = ::mallinfo2().uordblks;
  const double cpu_start = cpu_ms_so_far();
  const auto start = std::chrono::steady_clock::now();
  if (what == "file") {
    auto words = read_whole_file(path, bytes);
    benchmark::DoNotOptimize(words.begin());
  } else if (what == "bare") {
    benchmark::DoNotOptimize(bare_traversal_of_file(path));
  } else if (what == "read") {
    auto report = read_report(path);
    if (!report) {
      std::fprintf(stderr, "%s\n", zel_package::debug_text(report.error()).c_str());
      return 1;
    }
    records = std::move(*report);
  } else {
    std::fprintf(stderr, "--fresh takes file, bare or read, not '%.*s'\n",
                 static_cast<int>(what.size()), what.data());
    return 2;
  }
  const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - start;
  const double cpu = cpu_ms_so_far() - cpu_start;
  // What the records hold of the heap, allocator overhead included.
  const std::size_t records_bytes = records ? ::mallinfo2().uordblks - heap_before : 0;
  std::printf("%.3f %.3f %zu\n", wall.count(), cpu, records_bytes);
  return 0;
}

// One run of a program in a process of its own: its processor time and peak
// resident memory from the kernel (its own, not shared with this process's),
// its exit status and what it wrote to `captured` (standard output or
// error; the other output is dropped).
struct CommandRun {
  double cpu_ms = 0;
  double wall_ms = 0;
  double max_rss_mib = 0;
  int status = 0;
  std::string output;
};

CommandRun run_command(const std::vector<std::string>& argv, int captured) {
  int err[2];
  if (::pipe2(err, O_CLOEXEC) != 0) std::abort();
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, captured == 1 ? 2 : 1);
    ::dup2(err[1], captured);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(err[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(err[0]);
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - start;
  const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  CommandRun run;
  run.cpu_ms = ms(usage.ru_utime) + ms(usage.ru_stime);
  run.wall_ms = wall.count();
  run.max_rss_mib = static_cast<double>(usage.ru_maxrss) / 1024;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.output = std::move(text);
  return run;
}

struct FreshRun {
  double wall_ms;
  double cpu_ms;
  double max_rss_mib;
  double records_mib;
};

// Starts this program again to do `what` once; its peak resident memory is
// its own, not shared with this process's.
FreshRun run_fresh(const char* what, const std::string& path) {
  const CommandRun run =
      run_command({"/proc/self/exe", std::string("--fresh=") + what, path}, STDOUT_FILENO);
  if (run.status != 0) {
    std::fprintf(stderr, "fresh %s: child failed (status %d)\n", what, run.status);
    std::exit(1);
  }
  char* rest = nullptr;
  const double wall = std::strtod(run.output.c_str(), &rest);
  const double cpu = std::strtod(rest, &rest);
  const double records = std::strtod(rest, nullptr) / (1 << 20);
  return {wall, cpu, run.max_rss_mib, records};
}

std::int64_t file_bytes_or_zero(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Benchmark flags this program sets unless the command line does.
std::vector<char*> with_default_flags(int argc, char** argv) {
  static const char* defaults[] = {"--benchmark_repetitions=5",
                                   "--benchmark_enable_random_interleaving=true",
                                   "--benchmark_report_aggregates_only=true"};
  std::vector<char*> args(argv, argv + argc);
  for (const char* flag : defaults) {
    const std::string_view name(flag, std::strchr(flag, '=') - flag);
    const bool given = std::any_of(argv + 1, argv + argc, [&](const char* arg) {
      return std::string_view(arg).starts_with(name);
    });
    if (!given) args.push_back(const_cast<char*>(flag));
  }
  return args;
}

// zel-profile's commands on the profile, each in `runs` fresh processes,
// beside the bare traversal measured in this run (median processor ms): the
// table of figures. Outputs go to `out_dir`, where scripts/bench looks at
// them. Run while this process is small: a child's peak memory counts what
// it inherited before it started the tool.
// printf into a string.
template <typename... Args>
std::string text_of(const char* format, Args... args) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

std::string measure_tool(const std::string& tool, const std::string& path,
                         const std::string& out_dir, int runs, double bare_ms) {
  // A window of the run's second tenth on the first 64 tiles.
  const std::string from = std::to_string(g_samples * 100), to = std::to_string(g_samples * 200);
  std::string table;
  const struct {
    const char* label;
    std::vector<std::string> args;
    const char* output;
  } commands[] = {
      {"check", {tool, "check", path}, nullptr},
      {"summary", {tool, "summary", path}, nullptr},
      {"svg -o", {tool, "svg", path, "-o", out_dir + "/profile.svg"}, "profile.svg"},
      {"trace -o", {tool, "trace", path, "-o", out_dir + "/profile.json"}, "profile.json"},
      {"trace window -o",
       {tool, "trace", path, "--tiles", "0-63", "--from", from, "--to", to, "-o",
        out_dir + "/window.json"},
       "window.json"},
  };
  table += text_of(
      "\nzel-profile on the same file: processor ms, medians of %d fresh processes; /bare is\n"
      "throughput as a share of the bare traversal's (%.1f ms in this run). The window is\n"
      "--tiles 0-63 --from %s --to %s.\n",
      runs, bare_ms, from.c_str(), to.c_str());
  table += text_of("%-17s %9s %6s %9s %9s  %s\n", "", "cpu ms", "/bare", "wall ms", "peak MiB",
                   "output");
  bool met = true;
  double worst_peak = 0;
  for (const auto& command : commands) {
    std::vector<double> cpu, wall, rss;
    CommandRun last;
    for (int i = 0; i < runs; ++i) {
      last = run_command(command.args, STDERR_FILENO);
      cpu.push_back(last.cpu_ms);
      wall.push_back(last.wall_ms);
      rss.push_back(last.max_rss_mib);
    }
    std::string outcome;
    if (last.status != 0) {
      outcome = "exit " + std::to_string(last.status) + ": " +
                last.output.substr(0, last.output.find('\n'));
    } else if (command.output != nullptr) {
      const double mib =
          static_cast<double>(file_bytes_or_zero(out_dir + "/" + command.output)) / (1 << 20);
      char text[64];
      std::snprintf(text, sizeof text, "%.1f MiB", mib);
      outcome = text;
    }
    const double ratio = bare_ms / median(cpu);
    const std::string_view label = command.label;
    if ((label == "check" || label == "summary") && ratio < kToolGoal) met = false;
    worst_peak = std::max(worst_peak, median(rss));
    table += text_of("%-17s %9.1f %6.2f %9.1f %9.1f  %s\n", command.label, median(cpu), ratio,
                     median(wall), median(rss), outcome.c_str());
  }
  table +=
      text_of("goal: check and summary at %.1f or more of the bare traversal's throughput: %s\n",
              kToolGoal, met ? "met" : "MISSED");
  table += text_of("goal: every command's peak at most %.0f MiB: %.1f MiB, %s\n", kToolPeakMiB,
                   worst_peak, worst_peak <= kToolPeakMiB ? "met" : "MISSED");
  return table;
}

// Keeps the profile in `dir` between runs (a 10,000-sample card takes a
// while to write and 2.5 GB): written once under a temporary name, then
// renamed, so a run cut short leaves no half profile behind.
std::string kept_profile(const std::string& dir) {
  const std::string path = dir + "/profile_reader_bench." + std::to_string(g_samples) + ".v1.bin";
  if (file_bytes_or_zero(path) > 0) return path;
  std::fprintf(stderr, "writing %s (once)\n", path.c_str());
  const std::string partial = path + ".partial";
  write_profile(partial);
  if (::rename(partial.c_str(), path.c_str()) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  return path;
}

}  // namespace

BENCHMARK(BM_ReadFileIntoMemory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareTraversal)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProfileReportRead)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]).starts_with("--fresh=")) {
    return fresh_child(std::string_view(argv[1]).substr(8), argv[2]);
  }
  // The profile alone, to look at one kind of run under a profiler:
  //   --write-profile=P, then --fresh=read P (or file, bare).
  if (argc == 2 && std::string_view(argv[1]).starts_with("--write-profile=")) {
    write_profile(argv[1] + 16);
    return 0;
  }
  int fresh_runs = 3;
  bool fresh_only = false, with_read = true;
  std::string profile_dir, tool, out_dir;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--fresh-only") {
      fresh_only = true;
    } else if (arg == "--without-read") {
      // The records of a large profile take gigabytes: the reader's figures
      // are made on the 1,000-sample one.
      with_read = false;
      fresh_only = true;
    } else if (arg.starts_with("--samples=")) {
      g_samples = static_cast<unsigned>(std::max(1, std::atoi(argv[i] + 10)));
    } else if (arg.starts_with("--profile-dir=")) {
      profile_dir = argv[i] + 14;
    } else if (arg.starts_with("--tool=")) {
      tool = argv[i] + 7;
    } else if (arg.starts_with("--out-dir=")) {
      out_dir = argv[i] + 10;
    } else if (std::string_view(argv[i]).starts_with("--fresh-runs=")) {
      fresh_runs = std::max(1, std::atoi(argv[i] + 13));
    } else {
      args.push_back(argv[i]);
    }
  }
  args = with_default_flags(static_cast<int>(args.size()), args.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

  Profile p;
  if (profile_dir.empty()) {
    p.path = profile_path();
    write_profile(p.path);
  } else {
    p.path = kept_profile(profile_dir);
  }
  p.bytes = file_bytes(p.path);
  profile = &p;
  const double mib = static_cast<double>(p.bytes) / (1 << 20);
  std::printf("profile: %u tiles x %u samples, file %.1f MiB\n", kTiles, g_samples, mib);
  std::fflush(stdout);

  // Fresh processes first, interleaved, while this one holds little memory.
  std::vector<const char*> kinds = {"file", "bare"};
  if (with_read) kinds.push_back("read");
  std::map<std::string, std::vector<double>> fresh_wall, fresh_cpu, fresh_rss, fresh_records;
  for (int i = 0; i < fresh_runs; ++i) {
    for (const char* what : kinds) {
      const FreshRun run = run_fresh(what, p.path);
      fresh_wall[what].push_back(run.wall_ms);
      fresh_cpu[what].push_back(run.cpu_ms);
      fresh_rss[what].push_back(run.max_rss_mib);
      fresh_records[what].push_back(run.records_mib);
    }
  }

  std::string tool_table;
  if (!tool.empty()) {
    if (out_dir.empty()) out_dir = profile_dir.empty() ? "." : profile_dir;
    tool_table = measure_tool(tool, p.path, out_dir, fresh_runs, median(fresh_cpu["bare"]));
  }

  mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
  MedianKeeper keeper;
  if (!fresh_only) benchmark::RunSpecifiedBenchmarks(&keeper);
  benchmark::Shutdown();
  // The tool's figures after the reader's; then the profile goes unless it is kept.
  const auto tool_figures = [&] {
    std::fputs(tool_table.c_str(), stdout);
    if (profile_dir.empty()) ::unlink(p.path.c_str());
  };
  if (!with_read) {
    tool_figures();
    return 0;
  }

  const struct {
    const char* label;
    const char* warm;
    const char* fresh;
  } rows[] = {{"read file into memory", "BM_ReadFileIntoMemory", "file"},
              {"bare traversal", "BM_BareTraversal", "bare"},
              {"ProfileReport::read", "BM_ProfileReportRead", "read"}};
  const auto warm = [&](const char* name) {
    const auto found = keeper.median_ms.find(name);
    return found == keeper.median_ms.end() ? 0.0 : found->second;
  };
  const auto per_bare = [](double bare, double ms) { return ms > 0 ? bare / ms : 0.0; };
  std::printf(
      "\nprofile reader, %.1f MiB file: processor ms, medians (warm: of the repetitions, fresh:\n"
      "of %d processes); /bare is throughput as a share of the bare traversal's, which reads\n"
      "the file with the library's stream reader. Peak memory is the process's resident peak.\n",
      mib, fresh_runs);
  std::printf("%-22s %8s %7s %6s %9s %6s %9s %9s\n", "", "warm ms", "MiB/s", "/bare", "fresh ms",
              "/bare", "wall ms", "peak MiB");
  const double warm_bare = warm("BM_BareTraversal");
  const double fresh_bare = median(fresh_cpu["bare"]);
  for (const auto& row : rows) {
    const double w = warm(row.warm);
    const double f = median(fresh_cpu[row.fresh]);
    std::printf("%-22s %8.1f %7.0f %6.2f %9.1f %6.2f %9.1f %9.1f\n", row.label, w,
                w > 0 ? mib / (w / 1e3) : 0.0, per_bare(warm_bare, w), f, per_bare(fresh_bare, f),
                median(fresh_wall[row.fresh]), median(fresh_rss[row.fresh]));
  }
  const double fresh_ratio = per_bare(fresh_bare, median(fresh_cpu["read"]));
  // The floor: what a process that holds the file's bytes holds (the "read
  // file" child), plus the records' heap. Anything above it is a second copy.
  const double records = median(fresh_records["read"]);
  const double floor = median(fresh_rss["file"]) + records;
  const double peak = median(fresh_rss["read"]);
  std::printf(
      "memory: reader peak %.1f MiB; floor %.1f MiB = file %.1f + records %.1f (%.0f bytes a "
      "sample) + process %.1f; %s\n",
      peak, floor, mib, records, records * (1 << 20) / (double{kTiles} * g_samples),
      median(fresh_rss["file"]) - mib, peak <= floor * 1.02 ? "at the floor" : "ABOVE the floor");
  std::printf("goal: a fresh read at %.2f or more of the bare traversal's throughput: %.3f %s",
              kGoal, fresh_ratio, fresh_ratio >= kGoal ? "met" : "MISSED");
  if (!fresh_only) {
    std::printf(" (warm: %.3f)", per_bare(warm_bare, warm("BM_ProfileReportRead")));
  }
  std::printf("\n");
  tool_figures();
  return 0;
}
