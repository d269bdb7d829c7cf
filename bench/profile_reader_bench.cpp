// How fast ProfileReport::read turns a whole-card profile file into records,
// next to the two things it cannot beat: reading the file into memory, and a
// bare traversal of every field of the decoded message with the generated
// accessors (no checks, no copies).
//
// The profile: 1,472 tiles x 1,000 samples, each step with an operation and a
// kernel name and two metadata entries, written to $TMPDIR (else /tmp) once.
// Throughput counters are bytes of the file per second, so the three compare
// directly. Before the benchmarks, a child process reads the profile alone;
// its processor time and peak resident memory are printed.
#include <benchmark/benchmark.h>
#include <capnp/message.h>
#include <capnp/serialize.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "profile.capnp.h"
#include "zel_package.h"

namespace {

constexpr unsigned kTiles = 1472;
constexpr unsigned kSamples = 1000;

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
    auto samples = tiles[t].initSamples(kSamples);
    for (unsigned s = 0; s < kSamples; ++s) {
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

struct Profile {
  std::string path;
  std::int64_t bytes = 0;
  kj::Array<capnp::word> words;  // the whole file, for the bare traversal
};

Profile* profile = nullptr;

kj::Array<capnp::word> read_whole_file(const std::string& path, std::int64_t bytes) {
  auto words = kj::heapArray<capnp::word>(static_cast<std::size_t>(bytes) / sizeof(capnp::word));
  kj::FdInputStream input(kj::AutoCloseFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)));
  input.read(words.begin(), static_cast<std::size_t>(bytes));
  return words;
}

void BM_ReadFileIntoMemory(benchmark::State& state) {
  for (auto _ : state) {
    auto words = read_whole_file(profile->path, profile->bytes);
    benchmark::DoNotOptimize(words.begin());
  }
  state.SetBytesProcessed(state.iterations() * profile->bytes);
}

void BM_BareTraversal(benchmark::State& state) {
  for (auto _ : state) {
    capnp::FlatArrayMessageReader message(profile->words, zel_package::capnp_reader_options());
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
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * profile->bytes);
}

void BM_ProfileReportRead(benchmark::State& state) {
  for (auto _ : state) {
    auto report = zel_package::ProfileReport::read(
        kj::AutoCloseFd(::open(profile->path.c_str(), O_RDONLY | O_CLOEXEC)));
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

// A fresh process that only reads the profile, once: its processor time
// (the records' memory is new to it, so this includes faulting it in) and
// its peak resident memory (which counts the mapped file).
void report_fresh_read() {
  const pid_t child = ::fork();
  if (child == 0) {
    auto report = zel_package::ProfileReport::read(
        kj::AutoCloseFd(::open(profile->path.c_str(), O_RDONLY | O_CLOEXEC)));
    ::_exit(report ? 0 : 1);
  }
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  std::printf(
      "profile: %u tiles x %u samples, file %.1f MiB\n"
      "fresh process reading it once: %.0f ms user + %.0f ms system, peak RSS %.1f MiB, "
      "exit %d\n",
      kTiles, kSamples, static_cast<double>(profile->bytes) / (1 << 20), ms(usage.ru_utime),
      ms(usage.ru_stime), static_cast<double>(usage.ru_maxrss) / 1024, WEXITSTATUS(status));
}

}  // namespace

// Iterations and rates follow processor time, which a busy machine disturbs
// less than wall-clock time; on an idle machine the two agree.
BENCHMARK(BM_ReadFileIntoMemory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareTraversal)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProfileReportRead)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Profile p;
  p.path = profile_path();
  write_profile(p.path);
  struct stat st {};
  ::stat(p.path.c_str(), &st);
  p.bytes = st.st_size;
  profile = &p;
  report_fresh_read();
  p.words = read_whole_file(p.path, p.bytes);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ::unlink(p.path.c_str());
  return 0;
}
