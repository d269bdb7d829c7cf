#include "launcher.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace zel_runtime {
namespace {

TEST(OutputTail, KeepsTheEndAfterALineCountingWhatWasLeftOut) {
  const struct {
    std::vector<std::string_view> pieces;
    std::string text;
  } cases[] = {
      {{}, ""},
      {{"ab", "cd"}, "abcd"},
      {{"abc", "de"}, "[1 bytes of runner output left out; the last 4 follow]\nbcde"},
      {{"abcdef"}, "[2 bytes of runner output left out; the last 4 follow]\ncdef"},
      {{"a", "b", "c", "d", "e", "f", "g"},
       "[3 bytes of runner output left out; the last 4 follow]\ndefg"},
      {{"abc", "defghij", "k"}, "[7 bytes of runner output left out; the last 4 follow]\nhijk"},
      {{"abcd", "efg", "hi"}, "[5 bytes of runner output left out; the last 4 follow]\nfghi"},
  };
  for (const auto& c : cases) {
    OutputTail tail(4);
    for (const auto piece : c.pieces) tail.append(piece);
    std::ostringstream text;
    tail.write_to(text);
    EXPECT_EQ(text.str(), c.text);
  }
}

}  // namespace
}  // namespace zel_runtime
