// Test shuffling: the hash against reference values, and the orders that
// seeds give for small lists and for the hardware program's test names.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "harness/shuffle.h"

namespace harness {
namespace {

// SipHash-1-3 under the key 00 01 .. 0f of the inputs 00 01 .. (n-1), n = 0..63:
// the layout of the published reference vectors, computed once with a
// separate straightforward implementation (itself checked against the
// published 2-4 vectors).
constexpr std::uint64_t kReference13[64] = {
    0xabac0158050fc4dcull, 0xc9f49bf37d57ca93ull, 0x82cb9b024dc7d44dull, 0x8bf80ab8e7ddf7fbull,
    0xcf75576088d38328ull, 0xdef9d52f49533b67ull, 0xc50d2b50c59f22a7ull, 0xd3927d989bb11140ull,
    0x369095118d299a8eull, 0x25a48eb36c063de4ull, 0x79de85ee92ff097full, 0x70c118c1f94dc352ull,
    0x78a384b157b4d9a2ull, 0x306f760c1229ffa7ull, 0x605aa111c0f95d34ull, 0xd320d86d2a519956ull,
    0xcc4fdd1a7d908b66ull, 0x9cf2689063dbd80cull, 0x8ffc389cb473e63eull, 0xf21f9de58d297d1cull,
    0xc0dc2f46a6cce040ull, 0xb992abfe2b45f844ull, 0x7ffe7b9ba320872eull, 0x525a0e7fdae6c123ull,
    0xf464aeb267349c8cull, 0x45cd5928705b0979ull, 0x3a3e35e3ca9913a5ull, 0xa91dc74e4ade3b35ull,
    0xfb0bed02ef6cd00dull, 0x88d93cb44ab1e1f4ull, 0x540f11d643c5e663ull, 0x2370dd1f8c21d1bcull,
    0x81157b6c16a7b60dull, 0x4d54b9e57a8ff9bfull, 0x759f12781f2a753eull, 0xcea1a3bebf186b91ull,
    0x2cf508d3ada26206ull, 0xb6101c2da3c33057ull, 0xb3f47496ae3a36a1ull, 0x626b57547b108392ull,
    0xc1d2363299e41531ull, 0x667cc1923f1ad944ull, 0x65704ffec8138825ull, 0x24f280d1c28949a6ull,
    0xc2ca1cedfaf8876bull, 0xc2164bfc9f042196ull, 0xa16e9c9368b1d623ull, 0x49fb169c8b5114fdull,
    0x9f3143f8df074c46ull, 0xc6fdaf2412cc86b3ull, 0x7eaf49d10a52098full, 0x1cf313559d292f9aull,
    0xc44a30dda2f41f12ull, 0x36fae98943a71ed0ull, 0x318fb34c73f0bce6ull, 0xa27abf3670a7e980ull,
    0xb4bcc0db243c6d75ull, 0x23f8d852fdb71513ull, 0x8f035f4da67d8a08ull, 0xd89cd0e5b7e8f148ull,
    0xf6f4e6bcf7a644eeull, 0xaec59ad80f1837f2ull, 0xc3b2f6154b6694e0ull, 0x9d199062b7bbb3a8ull,
};

TEST(SipHash13, MatchesReferenceVectors) {
  std::vector<std::uint8_t> input(64);
  std::iota(input.begin(), input.end(), 0);
  const std::uint64_t k0 = 0x0706050403020100ull;
  const std::uint64_t k1 = 0x0f0e0d0c0b0a0908ull;
  for (std::size_t n = 0; n < 64; ++n) {
    EXPECT_EQ(siphash13_keyed(k0, k1, std::span(input.data(), n)), kReference13[n]) << n;
  }
}

TEST(SipHash13, UnkeyedIsTheAllZeroKey) {
  const std::vector<std::uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(siphash13(bytes), siphash13_keyed(0, 0, bytes));
  EXPECT_NE(siphash13(bytes), siphash13_keyed(1, 0, bytes));
}

using Entries = std::vector<std::pair<TestId, TestDescAndFn>>;

TestFailureResult pass() {
  return {};
}

// Entries as a run has them: names in the padded form, ids ascending.
Entries entries(const std::vector<std::string>& names) {
  Entries list;
  for (const auto& name : names) {
    TestDesc desc{.name = TestName::aligned(name, NamePadding::PadNone),
                  .ignore = false,
                  .ignore_message = std::nullopt,
                  .source_file = "",
                  .expect_failure = ExpectFailure::no()};
    TestDescAndFn test{std::move(desc), StaticTestFn{&pass}};
    list.emplace_back(list.size(), std::move(test));
  }
  return list;
}

std::vector<std::string> names_of(const Entries& list) {
  std::vector<std::string> names;
  for (const auto& [id, test] : list) names.emplace_back(test.desc.name.as_str());
  return names;
}

std::vector<std::string> shuffled(std::uint64_t seed, const std::vector<std::string>& names) {
  Entries list = entries(names);
  shuffle_tests(seed, list);
  // Entries move whole: every id still belongs to its name.
  for (const auto& [id, test] : list) EXPECT_EQ(test.desc.name.as_str(), names.at(id));
  return names_of(list);
}

TEST(ShuffleTests, SmallLists) {
  EXPECT_EQ(shuffled(0, {"a", "b", "c"}), (std::vector<std::string>{"c", "b", "a"}));
  EXPECT_EQ(shuffled(1, {"a", "b", "c"}), (std::vector<std::string>{"b", "c", "a"}));
  EXPECT_EQ(shuffled(7, {}), std::vector<std::string>{});
  for (std::uint64_t seed : {0ull, 1ull, 42ull, ~0ull}) {
    EXPECT_EQ(shuffled(seed, {"only"}), std::vector<std::string>{"only"});
  }
}

// The golden orders of the hardware program's test names (shuffle_orders.txt
// says how they were computed): seed -> order.
std::map<std::uint64_t, std::vector<std::string>> golden_orders() {
  std::ifstream in(ZEL_SHUFFLE_ORDERS);
  EXPECT_TRUE(in) << "cannot read " << ZEL_SHUFFLE_ORDERS;
  std::map<std::uint64_t, std::vector<std::string>> orders;
  std::vector<std::string>* current = nullptr;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line.starts_with('#')) continue;
    if (line.starts_with("seed ")) {
      current = &orders[std::stoull(line.substr(5))];
    } else if (current != nullptr) {
      current->push_back(line);
    }
  }
  return orders;
}

// The names the golden orders shuffle, in byte order.
std::vector<std::string> hardware_names() {
  std::vector<std::string> names = golden_orders().at(0);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ShuffleTests, HardwareRegistryOrders) {
  const auto names = hardware_names();
  EXPECT_EQ(shuffle_names_hash(entries(names)), 0x9491b5cb37e63e7bull);
  const auto orders = golden_orders();
  ASSERT_EQ(orders.size(), 2u);
  for (const auto& [seed, order] : orders) EXPECT_EQ(shuffled(seed, names), order) << seed;
  // The same seed and selection always give the same order.
  EXPECT_EQ(shuffled(12345, names), shuffled(12345, names));
}

TEST(ShuffleTests, OrderDependsOnTheSelection) {
  auto names = hardware_names();
  const auto all = shuffled(3, names);
  names.erase(names.begin());  // as if a filter dropped the first test
  const auto subset = shuffled(3, names);
  std::vector<std::string> kept = all;
  std::erase(kept, hardware_names().front());
  EXPECT_NE(subset, kept);
  EXPECT_NE(shuffle_names_hash(entries(names)), shuffle_names_hash(entries(hardware_names())));
}

// The hash covers the name's form and padding, not only its text.
TEST(ShuffleTests, NameFormEntersTheHash) {
  Entries padded = entries({"a", "b"});
  Entries right = entries({"a", "b"});
  right[0].second.desc.name = TestName::aligned("a", NamePadding::PadOnRight);
  Entries owned = entries({"a", "b"});
  owned[0].second.desc.name = TestName::dyn_name("a");
  Entries fixed = entries({"a", "b"});
  fixed[0].second.desc.name = TestName::static_name("a");
  const std::uint64_t hashes[] = {shuffle_names_hash(padded), shuffle_names_hash(right),
                                  shuffle_names_hash(owned), shuffle_names_hash(fixed)};
  for (int i = 0; i < 4; ++i) {
    for (int j = i + 1; j < 4; ++j) EXPECT_NE(hashes[i], hashes[j]) << i << " " << j;
  }
}

}  // namespace
}  // namespace harness
