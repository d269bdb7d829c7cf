// The variables test engines set for a test program: sharding
// (TEST_TOTAL_SHARDS, TEST_SHARD_INDEX), the status file that says the
// program understood them, a copy of the run's JUnit document
// (XML_OUTPUT_FILE), a folder where every run leaves its own copy
// (ZEL_REPORT_DIR), the marker that exists only while the program runs
// (TEST_PREMATURE_EXIT_FILE), and a build engine's test filter
// (TESTBRIDGE_TEST_ONLY). With none of them set nothing here changes a run.
//
//   auto requests = read_engine_requests();         // once, with the options
//   tests = keep_shard(opts.engine.shard, tests);   // after the filters
//   formatter = with_engine_documents(std::move(formatter), opts.engine);
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "harness/formatter.h"
#include "harness/options.h"
#include "harness/test.h"

namespace harness {

// Reads the engine variables of this process. A bad shard setting is a
// one-line message naming the variable. Empty file variables count as unset.
std::expected<EngineRequests, std::string> read_engine_requests();

// The tests of `shard`, in order; all of them when there is no shard.
std::vector<TestDescAndFn> keep_shard(const std::optional<Shard>& shard,
                                      std::vector<TestDescAndFn> tests);

// Creates the premature-exit marker, removed again whenever the process ends
// by itself (see process_exit.h). Returns the problem when it cannot be made.
std::optional<std::string> mark_running(const EngineRequests& engine);

// Creates or touches the shard status file. Returns the problem when it
// cannot.
std::optional<std::string> touch_shard_status_file(const EngineRequests& engine);

// Whether a temporary file can be made beside XML_OUTPUT_FILE, where the
// document goes at the end. Returns the problem when it cannot.
std::optional<std::string> check_xml_output_file(const EngineRequests& engine);

// Creates the report folder with its parents when missing, and checks that
// it takes a new file. Returns the problem when it cannot.
std::optional<std::string> prepare_report_dir(const EngineRequests& engine);

// `console` as it is when neither XML_OUTPUT_FILE nor ZEL_REPORT_DIR is set.
// Otherwise `console`, which also hands every event of the run to a JUnit
// formatter and at the run's end writes its document to XML_OUTPUT_FILE
// (replacing it) and as a new file into the report folder (never replacing
// one): each under a temporary name beside its final one first, then renamed,
// so no reader ever sees half a document. A document that cannot be written
// fails the run with a line naming the variable and the path. The document
// carries every test's measured time, the host name, the run's start, the
// shard and the properties the program added.
std::unique_ptr<OutputFormatter> with_engine_documents(std::unique_ptr<OutputFormatter> console,
                                                       const EngineRequests& engine);

}  // namespace harness
