// GoogleTest running the same registry as the harness benchmark: N trivial
// passing tests (default 10,000) registered at run time, run by
// RUN_ALL_TESTS on one thread with its default console output. The harness
// benchmark spawns it with its output sent to /dev/null and times the whole
// process.
//
//   target/<build>/gtest_10k [tests] [gtest flags]
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

class Trivial : public testing::Test {
 public:
  void TestBody() override {}
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000;
  for (std::size_t i = 0; i < count; ++i) {
    testing::RegisterTest("Trivial", ("test_" + std::to_string(i)).c_str(), nullptr, nullptr,
                          __FILE__, __LINE__, []() -> testing::Test* { return new Trivial; });
  }
  return RUN_ALL_TESTS();
}
