// Reproducible reordering of the selected tests: the seed and a hash of the
// selected names drive a front-to-back Fisher-Yates draw, so the same seed
// and the same selection give the same order on every machine.
#include <cstddef>
#include <utility>
#include <vector>

#include "harness/shuffle.h"

namespace harness {

namespace {

void append_u64(std::vector<std::uint8_t>& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The form, the text closed by 0xFF, and the padding of the padded form.
void append_name(std::vector<std::uint8_t>& out, const TestName& name) {
  append_u64(out, static_cast<std::uint64_t>(name.form()));
  const std::string_view text = name.as_str();
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0xff);
  if (name.form() == TestName::Form::Aligned) {
    append_u64(out, static_cast<std::uint64_t>(name.padding()));
  }
}

}  // namespace

std::uint64_t shuffle_names_hash(const std::vector<std::pair<TestId, TestDescAndFn>>& tests) {
  std::vector<std::uint8_t> names;
  append_u64(names, tests.size());
  for (const auto& entry : tests) append_name(names, entry.second.desc.name);
  return siphash13(names);
}

void shuffle_tests(std::uint64_t seed, std::vector<std::pair<TestId, TestDescAndFn>>& tests) {
  const std::size_t n = tests.size();
  const std::uint64_t extra = shuffle_names_hash(tests);

  std::uint64_t state = seed;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<std::uint8_t> block;
    append_u64(block, state);
    append_u64(block, extra);
    state = siphash13(block);
    const std::size_t j = i + static_cast<std::size_t>(state % (n - i));
    if (j != i) std::swap(tests[i], tests[j]);
  }
}

}  // namespace harness
