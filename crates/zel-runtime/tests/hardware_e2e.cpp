// The 23 hardware tests of the zel-runtime stack and the registry handed to the
// harness. Each test takes the device lock, starts a runner and judges its end.
// Every test is declared on the line its registry entry names; keep them there.
// clang-format off
#include <unistd.h>
#include <algorithm>

#include "frame.h"
#include "host_routes.h"
#include "launcher.h"
#include "rng.h"
#include "zel_package.h"
namespace zel_runtime {
HW(initialized_local_tile_d2h_works) {
  const auto lock = device();
  const ExitStatus status = host_test({
      {"ZEL_HOST_TEST_D2H_ONLY", "1"},
  });
  require_success("initialized tile D2H", status);
}

// No variable of its own: the runner's default transfer.
HW(local_h2d_and_d2h_round_trip_works) {
  const auto lock = device();
  const ExitStatus status = host_test({});
  require_success("local H2D and D2H", status);
}

HW(resident_h2d_then_d2h_works) {
  const auto lock = device();
  const ExitStatus status = host_test({
      {"ZEL_HOST_TEST_RESIDENT_INPUT", "1"},
  });
  require_success("resident H2D initialization followed by D2H", status);
}

// Three invocations of one statically loaded program.
HW(repeated_h2d_and_d2h_works) {
  const auto lock = device();
  const ExitStatus status = host_test({
      {"ZEL_HOST_TEST_INVOCATIONS", "3"},
  });
  require_success("three statically repeated H2D and D2H invocations", status);
}

// Resident input, then three static invocations.
HW(resident_h2d_and_repeated_d2h_work) {
  const auto lock = device();
  const ExitStatus status = host_test({
      {"ZEL_HOST_TEST_RESIDENT_INPUT", "1"},
      {"ZEL_HOST_TEST_INVOCATIONS", "3"},
  });
  require_success("resident H2D initialization followed by three static invocations", status);
}



// An initialised D2D relay, then a D2H.
HW(initialized_d2d_relay_and_d2h_work) {
  const auto lock = device();
  const ExitStatus status = host_test({
      {"ZEL_HOST_TEST_EXCHANGE", "1"},
      {"ZEL_HOST_TEST_INITIALIZED_EXCHANGE", "1"},
  });
  require_success("initialized D2D relay and D2H", status);
}



// 2 KiB through H2D, a timed D2D relay and a D2H, in one program.
HW(large_h2d_timed_relay_and_d2h_composition_works) {
  const auto lock = device();
  const ExitStatus status = host_test({
      {"ZEL_HOST_TEST_EXCHANGE", "1"},
      {"ZEL_HOST_TEST_BYTES", "2048"},
  });
  require_success("large H2D, timed D2D relay, and D2H composition", status);
}



// Compute on both sides of a D2D relay, between the host transfers.
HW(h2d_compute_d2d_compute_d2h_works) {
  const auto lock = device();
  const ExitStatus status = host_test({
      {"ZEL_HOST_TEST_COMPUTE_RELAY", "1"},
      {"ZEL_HOST_TEST_BYTES", "4"},
  });
  require_success("H2D, compute, D2D, compute, and D2H composition", status);
}



// An add whose buffers the compiler spread over segmented SRAM arenas.
HW(compiler_segmented_allocation_executes_on_hardware) {
  const auto lock = device();
  Command command(runner_path("zel-hardware-e2e"));
  command.env("ZEL_GRAPH_TEST", "compiler-segmented-add");
  const ExitStatus status = command.status("launch compiler allocation hardware test runner");
  require_success("compiler-generated add spanning segmented SRAM arenas", status);
}




// Tile 1471 is the card's highest.
HW(remote_tile_h2d_and_d2h_work) {
  const auto lock = device();
  const ExitStatus status = host_test({
      {"ZEL_HOST_TEST_TILE", "1471"},
      {"ZEL_HOST_TEST_BYTES", "8192"},
  });
  require_success("remote-tile H2D and D2H", status);
}



// 64 KiB at address 0x60000 of tile 100.
HW(high_address_large_h2d_and_d2h_work) {
  const auto lock = device();
  const ExitStatus status = host_test({
      {"ZEL_HOST_TEST_TILE", "100"},
      {"ZEL_HOST_TEST_BYTES", "65536"},
      {"ZEL_HOST_TEST_ADDRESS", "0x60000"},
  });
  require_success("64-KiB high-address H2D and D2H", status);
}



// D2H from the card's highest tile, initialised by the runner.
HW(initialized_remote_tile_d2h_works) {
  const auto lock = device();
  const ExitStatus status = host_test({
      {"ZEL_HOST_TEST_REMOTE_D2H", "1"},
      {"ZEL_HOST_TEST_TILE", "1471"},
      {"ZEL_HOST_TEST_BYTES", "8192"},
  });
  require_success("remote-tile initialized D2H", status);
}



// Two source tiles writing disjoint ranges of host memory.
HW(distinct_sources_can_write_disjoint_host_ranges) {
  const auto lock = device();
  const ExitStatus status = host_test({
      {"ZEL_HOST_TEST_TILES", "1471,274"},
      {"ZEL_HOST_TEST_BYTES", "64"},
  });
  require_success("distinct multi-source D2H", status);
}


// The tiles' physical numbers together give every field of a physical tile
// number every value it takes on the T742.
HW(host_routes_cover_every_endpoint_field) {
  const auto lock = device();
  const auto topology = zel_exchange::Topology::t742();
  const auto physical = host_route_physical_tiles();
  const std::string tiles = tile_list(logical_tiles(topology, physical));
  const ExitStatus status = host_test({
      {"ZEL_HOST_TEST_TILES", tiles},
      {"ZEL_HOST_TEST_BYTES", "64"},
  });
  require_success("host routes spanning every endpoint field", status);
}













// Eight distinct tiles drawn from a fixed seed per case, so every run of the
// program exercises the same three cases.
HW(randomized_multi_tile_host_round_trips_work) {
  const auto lock = device();
  struct Case {
    std::uint64_t seed;
    std::uint32_t bytes;
  };
  constexpr Case kCases[] = {
      {0x243f6a8885a308d3, 4},
      {0x13198a2e03707344, 1024},
      {0xa4093822299f31d0, 8192},
  };
  for (const auto& [seed, bytes] : kCases) {
    Rng rng = Rng::with_seed(seed);
    const std::string tiles = tile_list(draw_tiles(rng, 8, 1472));
    const std::string description = "randomized host round trip seed=" + hex(seed) +
                                    " bytes=" + std::to_string(bytes) + " tiles=" + tiles;
    const ExitStatus status = host_test({
        {"ZEL_HOST_TEST_TILES", tiles},
        {"ZEL_HOST_TEST_BYTES", std::to_string(bytes)},
    });
    require_success(description, status);
  }
}





HW(all_tile_reduction_works) {
  const auto lock = device();
  Command command(runner_path("zel-hardware-e2e"));
  command.env("ZEL_GRAPH_TEST", "reduction");
  const ExitStatus status = command.status("launch reduction hardware test runner");
  require_success("all-tile reduction graph", status);
}




// The runner's reduction-permutation scenario is this composition.
HW(sparse_compute_to_dense_exchange_works) {
  const auto lock = device();
  Command command(runner_path("zel-hardware-e2e"));
  command.env("ZEL_GRAPH_TEST", "reduction-permutation");
  const ExitStatus status = command.status("launch compute-to-exchange hardware test runner");
  require_success("sparse compute followed by an all-tile exchange", status);
}





HW(all_tile_permutation_works) {
  const auto lock = device();
  Command command(runner_path("zel-hardware-e2e"));
  command.env("ZEL_GRAPH_TEST", "permutation");
  const ExitStatus status = command.status("launch permutation hardware test runner");
  require_success("all-tile permutation graph", status);
}




// One source, many receivers.
HW(direct_multicast_works) {
  const auto lock = device();
  Command command(runner_path("zel-hardware-e2e"));
  command.env("ZEL_GRAPH_TEST", "fanout");
  const ExitStatus status = command.status("launch direct multicast hardware test runner");
  require_success("single-source multicast graph", status);
}




// A multicast receiver that sends in the phase in which it receives.
HW(multicast_receiver_can_send_in_same_phase) {
  const auto lock = device();
  Command command(runner_path("zel-hardware-e2e"));
  command.env("ZEL_GRAPH_TEST", "multicast");
  const ExitStatus status = command.status("launch multicast hardware test runner");
  require_success("multicast graph with a receiver that sends in the same phase", status);
}





HW(randomized_static_d2d_graphs_work) {
  const auto lock = device();
  constexpr std::uint64_t kSeeds[] = {0x5A454C2D53544143, 0x6a09e667f3bcc909, 0xbb67ae8584caa73b};
  for (const std::uint64_t seed : kSeeds) {
    const std::string description = "randomized exchange graph seed " + hex(seed);
    Command command(runner_path("zel-randomized-e2e"));
    command.env("ZEL_RANDOM_SEED", std::to_string(seed));
    const ExitStatus status = command.status("launch randomized hardware test runner");
    require_success(description, status);
  }
}



HW(blocked_gemm_with_cycle_profile_works) {
  using zel_package::ProfileStepKind;
  const auto lock = device();
  // A file left by an earlier process with this id must not pass for this run's profile.
  const std::string path =
      cleared_temp_path("zel-stack-gemm-profile-" + std::to_string(::getpid()) + ".capnp");
  const auto kept = keep_on_failure(path, "cycle profile");
  Command command(runner_path("zel-gemm-e2e"));
  command.env("ZEL_GEMM_DIMENSION", "128")
      .env("ZEL_PROFILE_OUTPUT", path)
      .env("ZEL_GEMM_SRAM_CHECK_BLOCK", "1,1");
  configure_host_write_jitter(command);
  const ExitStatus status = command.status("launch profiled blocked GEMM hardware test runner");
  require_success("blocked GEMM with per-tile cycle profile", status);
  const harness::Activity checking("while checking its cycle profile", harness::Course::Finishing); kj::AutoCloseFd file(harness::unwrap(open_file(path)));
  const auto profile = harness::unwrap(zel_package::ProfileReport::read(kj::mv(file)));
  if (profile.tiles.size() != 1472) {
    harness::panic("assertion `left == right` failed\n  left: " +
                   std::to_string(profile.tiles.size()) + "\n right: 1472");
  }
  if (!(profile.clock_hz > 0)) harness::panic("assertion failed: profile.clock_hz > 0");
  if (!std::ranges::all_of(profile.tiles, [](const auto& tile) { return !tile.samples.empty(); })) {
    harness::panic("assertion failed: profile.tiles.iter().all(|tile| !tile.samples.is_empty())");
  }
  constexpr std::pair<ProfileStepKind, std::string_view> kKinds[] = {
      {ProfileStepKind::Exchange, " zel_package::ProfileStepKind::Exchange"},
      {ProfileStepKind::Compute, " zel_package::ProfileStepKind::Compute"},
      {ProfileStepKind::Synchronization,
       "\n                        zel_package::ProfileStepKind::Synchronization"},
      {ProfileStepKind::Idle, " zel_package::ProfileStepKind::Idle"},
  };
  for (const auto& [kind, kind_name] : kKinds) {
    const auto of_kind = [kind](const auto& sample) { return sample.step.kind == kind; };
    if (!std::ranges::any_of(profile.tiles, [&](const auto& tile) {
          return std::ranges::any_of(tile.samples, of_kind);
        })) {
      harness::panic("assertion failed: profile.tiles.iter().any(|tile|\n        {\n"
                     "            tile.samples.iter().any(|sample|\n"
                     "                    sample.step.kind ==" +
                     std::string(kind_name) + ")\n        })");
    }
  }
  // Reached only when every check passed: a failed run keeps the file for a look.
  harness::unwrap(remove_file(path));
}
HW(flash_attention_matches_host_softmax_across_encoder_shapes) {
  const auto lock = device();
  Command command(runner_path("zel-attention-f16-e2e"));
  const ExitStatus status = command.status("launch FlashAttention hardware test runner");
  require_success("FP16 FlashAttention for encoder head dimensions and batch sizes", status);
}
// clang-format on

// The registry, in byte order of the names: the order in which the harness
// starts the tests. Each entry carries the line the test is declared on, and
// the build fails if a declaration moves away from it.
struct Entry {
  std::string_view name;
  std::size_t line;
  std::size_t declared_line;
  harness::TestFnPtr fn;
};

#define ENTRY(name, line) Entry{#name, line, name##_line, &name}

constexpr Entry kEntries[] = {
    ENTRY(all_tile_permutation_works, 235),
    ENTRY(all_tile_reduction_works, 211),
    ENTRY(blocked_gemm_with_cycle_profile_works, 285),
    ENTRY(compiler_segmented_allocation_executes_on_hardware, 95),
    ENTRY(direct_multicast_works, 247),
    ENTRY(distinct_sources_can_write_disjoint_host_ranges, 145),
    ENTRY(flash_attention_matches_host_softmax_across_encoder_shapes, 330),
    ENTRY(h2d_compute_d2d_compute_d2h_works, 83),
    ENTRY(high_address_large_h2d_and_d2h_work, 119),
    ENTRY(host_routes_cover_every_endpoint_field, 157),
    ENTRY(initialized_d2d_relay_and_d2h_work, 59),
    ENTRY(initialized_local_tile_d2h_works, 14),
    ENTRY(initialized_remote_tile_d2h_works, 132),
    ENTRY(large_h2d_timed_relay_and_d2h_composition_works, 71),
    ENTRY(local_h2d_and_d2h_round_trip_works, 23),
    ENTRY(multicast_receiver_can_send_in_same_phase, 259),
    ENTRY(randomized_multi_tile_host_round_trips_work, 183),
    ENTRY(randomized_static_d2d_graphs_work, 271),
    ENTRY(remote_tile_h2d_and_d2h_work, 107),
    ENTRY(repeated_h2d_and_d2h_works, 38),
    ENTRY(resident_h2d_and_repeated_d2h_work, 47),
    ENTRY(resident_h2d_then_d2h_works, 29),
    ENTRY(sparse_compute_to_dense_exchange_works, 223),
};

#undef ENTRY

static_assert(std::size(kEntries) == 23);
static_assert(std::ranges::is_sorted(kEntries, {}, &Entry::name), "registry out of byte order");
static_assert(std::ranges::all_of(kEntries,
                                  [](const Entry& e) { return e.line == e.declared_line; }),
              "a test is no longer declared on its registry line");

constexpr std::string_view kSourceFile = "crates/zel-runtime/tests/hardware_e2e.cpp";
static_assert(std::string_view(__FILE__).ends_with(kSourceFile));

std::vector<harness::TestDescAndFn> registry() {
  std::vector<harness::TestDescAndFn> tests;
  for (const Entry& entry : kEntries) {
    harness::TestDesc desc{
        .name = harness::TestName::static_name(entry.name),
        .ignore = false,
        .ignore_message = std::nullopt,
        .source_file = kSourceFile,
        .start_line = entry.line,
        .start_col = 4,
        .end_line = entry.line,
        .end_col = 4 + entry.name.size(),
        .expect_failure = harness::ExpectFailure::no(),
        .compile_fail = false,
        .no_run = false,
        .kind = harness::TestKind::Integration,
    };
    tests.push_back({std::move(desc), harness::StaticTestFn{entry.fn}});
  }
  return tests;
}

}  // namespace zel_runtime

// The program's first initialiser: a stop that arrives before main waits for
// the signal thread main starts.
__attribute__((constructor(101))) static void catch_ending_signals_early() {
  zel_runtime::block_ending_signals();
}

int main() {
  zel_runtime::handle_ending_signals();
  static const std::vector<harness::TestDescAndFn> tests = zel_runtime::registry();
  harness::test_main_static(tests, [](const harness::TestOpts& opts) {
    if (auto problem = zel_runtime::choose_card_from_environment()) return problem;
    // What tells this run's engine report apart from those of other cards.
    if (const auto& card = zel_runtime::chosen_card())
      harness::add_report_property("card", card->id);
    harness::add_report_property("runner_dir", zel_runtime::kRunnerDir);
    return zel_runtime::configure_launches(opts);
  });
  return 0;
}
