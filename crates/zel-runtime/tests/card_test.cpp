#include "card.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

namespace zel_runtime {
namespace {

namespace fs = std::filesystem;
using Vars = std::map<std::string, std::string>;

std::expected<std::optional<CardChoice>, std::string> choose(const Vars& vars) {
  return choose_card([&](const std::string& name) -> std::optional<std::string> {
    const auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  });
}

TEST(ChooseCard, CtestAllocationThenZelCardThenDefaultThenNothing) {
  const struct {
    Vars vars;
    const char* id;  // nullptr: no card
    bool allocated = false;
  } cases[] = {
      {{}, nullptr},
      // The registration's default gives way to the card a user or ctest names.
      {{{"ZEL_DEFAULT_CARD", "0"}}, "0"},
      {{{"ZEL_DEFAULT_CARD", "0"}, {"ZEL_CARD", "5"}}, "5"},
      {{{"ZEL_DEFAULT_CARD", "0"},
        {"CTEST_RESOURCE_GROUP_COUNT", "1"},
        {"CTEST_RESOURCE_GROUP_0", "cards"},
        {"CTEST_RESOURCE_GROUP_0_CARDS", "id:2,slots:1"}},
       "2",
       true},
      {{{"ZEL_CARD", "0"}}, "0"},
      {{{"ZEL_CARD", std::string(64, 'a')}},
       "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
      {{{"ZEL_CARD", "lab_3"}}, "lab_3"},
      // ctest's allocation wins over ZEL_CARD.
      {{{"CTEST_RESOURCE_GROUP_COUNT", "1"},
        {"CTEST_RESOURCE_GROUP_0", "cards"},
        {"CTEST_RESOURCE_GROUP_0_CARDS", "id:1,slots:1"},
        {"ZEL_CARD", "0"}},
       "1",
       true},
      // The first group of cards, whatever comes before it; its first id.
      {{{"CTEST_RESOURCE_GROUP_COUNT", "2"},
        {"CTEST_RESOURCE_GROUP_0", "fpgas"},
        {"CTEST_RESOURCE_GROUP_1", "cards"},
        {"CTEST_RESOURCE_GROUP_1_CARDS", "id:b7,slots:2;id:c,slots:1"}},
       "b7",
       true},
      // No group of cards (a spec file and a test that asks for none): ZEL_CARD.
      {{{"CTEST_RESOURCE_GROUP_COUNT", "0"}, {"ZEL_CARD", "3"}}, "3"},
      {{{"CTEST_RESOURCE_GROUP_COUNT", "1"}, {"CTEST_RESOURCE_GROUP_0", "fpgas"}}, nullptr},
  };
  for (const auto& c : cases) {
    const auto chosen = choose(c.vars);
    ASSERT_TRUE(chosen.has_value()) << chosen.error();
    if (c.id == nullptr) {
      EXPECT_FALSE(chosen->has_value());
    } else {
      ASSERT_TRUE(chosen->has_value()) << c.id;
      EXPECT_EQ((*chosen)->id, c.id);
      EXPECT_EQ((*chosen)->allocated_by_ctest, c.allocated) << c.id;
      EXPECT_EQ(card_lock_path(**chosen), std::string("/run/lock/zel-t742-card-") + c.id + ".lock");
    }
  }
  const auto in_dir = choose({{"ZEL_CARD", "2"}, {"ZEL_CARD_LOCK_DIR", "/srv/locks/"}});
  EXPECT_EQ(card_lock_path(**in_dir), "/srv/locks/zel-t742-card-2.lock");
}

TEST(ChooseCard, MalformedValuesNameTheVariableAndValue) {
  const std::string id_rule = "a card id of 1 to 64 characters from a-z, 0-9 and _";
  const struct {
    Vars vars;
    std::string error;
  } cases[] = {
      {{{"ZEL_CARD", ""}}, "ZEL_CARD is \"\", expected " + id_rule},
      {{{"ZEL_CARD", "card-0"}}, "ZEL_CARD is \"card-0\", expected " + id_rule},
      {{{"ZEL_CARD", "Card0"}}, "ZEL_CARD is \"Card0\", expected " + id_rule},
      {{{"ZEL_DEFAULT_CARD", "card 0"}}, "ZEL_DEFAULT_CARD is \"card 0\", expected " + id_rule},
      {{{"ZEL_CARD", std::string(65, '1')}},
       "ZEL_CARD is \"" + std::string(65, '1') + "\", expected " + id_rule},
      {{{"ZEL_CARD", "0"}, {"ZEL_CARD_LOCK_DIR", "locks"}},
       "ZEL_CARD_LOCK_DIR is \"locks\", expected an absolute folder path"},
      {{{"CTEST_RESOURCE_GROUP_COUNT", "one"}},
       "CTEST_RESOURCE_GROUP_COUNT is \"one\", expected a decimal number of groups"},
      {{{"CTEST_RESOURCE_GROUP_COUNT", "1"}},
       "CTEST_RESOURCE_GROUP_0 is not set, expected a resource type "
       "(CTEST_RESOURCE_GROUP_COUNT is \"1\")"},
      {{{"CTEST_RESOURCE_GROUP_COUNT", "1"}, {"CTEST_RESOURCE_GROUP_0", "cards"}},
       "CTEST_RESOURCE_GROUP_0_CARDS is not set, expected \"id:<card id>,slots:<count>\""},
  };
  for (const auto& c : cases) {
    const auto chosen = choose(c.vars);
    ASSERT_FALSE(chosen.has_value()) << c.error;
    EXPECT_EQ(chosen.error(), c.error);
  }
  for (const char* allocation : {"id:card-0,slots:1", "0", "id:0", "id:0,slots:", "id:0,slots:1;",
                                 "slots:1,id:0", "id:0,slots:1;id:X,slots:1"}) {
    const auto chosen = choose({{"CTEST_RESOURCE_GROUP_COUNT", "1"},
                                {"CTEST_RESOURCE_GROUP_0", "cards"},
                                {"CTEST_RESOURCE_GROUP_0_CARDS", allocation}});
    ASSERT_FALSE(chosen.has_value()) << allocation;
    EXPECT_TRUE(chosen.error().starts_with(std::string("CTEST_RESOURCE_GROUP_0_CARDS is \"") +
                                           allocation + "\", expected"))
        << chosen.error();
  }
}

class CardLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zel-card-lock-test-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  CardChoice card(const char* id) const { return {id, dir_.string()}; }
  fs::path dir_;
};

TEST_F(CardLockTest, HoldsAnExclusiveLockThatNoChildInherits) {
  const CardChoice zero = card("0");
  ::umask(077);
  auto taken = CardLock::take(zero);
  ::umask(022);
  ASSERT_TRUE(taken.has_value()) << taken.error();
  std::optional<CardLock> lock(std::move(*taken));
  const std::string path = card_lock_path(zero);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);

  // Another open file description cannot take it while it is held.
  const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(errno, EWOULDBLOCK);
  // The holder's descriptor is close-on-exec: find it among ours.
  bool found_cloexec = false;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error) == path) {
      const int fd = std::stoi(entry.path().filename().string());
      if (fd != other && (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0) found_cloexec = true;
    }
  }
  EXPECT_TRUE(found_cloexec);
  // A lock for another card is independent.
  EXPECT_TRUE(CardLock::take(card("1")).has_value());
  lock.reset();
  EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  ::close(other);
}

TEST_F(CardLockTest, RefusesLinksAndNamesThePathAndReason) {
  const CardChoice zero = card("0");
  const std::string path = card_lock_path(zero);
  fs::create_symlink(dir_ / "elsewhere", path);
  const auto linked = CardLock::take(zero);
  ASSERT_FALSE(linked.has_value());
  EXPECT_EQ(linked.error(),
            "cannot lock card 0: open " + path + ": Too many levels of symbolic links");
  EXPECT_FALSE(fs::exists(dir_ / "elsewhere"));

  const CardChoice missing{"0", (dir_ / "no-such-folder").string()};
  const auto no_folder = CardLock::take(missing);
  ASSERT_FALSE(no_folder.has_value());
  EXPECT_EQ(no_folder.error(), "cannot lock card 0: create " + card_lock_path(missing) +
                                   ": No such file or directory");
}

}  // namespace
}  // namespace zel_runtime
