// The state folder at start (its check and its lock) and the record names
// whose start number it keeps.
#include "kiv/StateFolder.h"

#include "RecordNames.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>

namespace {

TEST(StateFolderTest, OneProcessAtATimeUsesTheFolder) {
  kivtest::TempDir state;
  kivtest::ScopedEnvironment environment({{"STATE_DIRECTORY", state.path()}});
  std::string problem;
  std::optional<kiv::StateFolderLock> first(kiv::AcquireStateFolder(&problem));
  EXPECT_TRUE(first->Held());
  EXPECT_EQ(problem, "");
  // A child started while it is held (the node script, through popen)
  // inherits no hold on it.
  FILE* child = popen("exec cat", "w");
  ASSERT_NE(child, nullptr);

  kiv::StateFolderLock second = kiv::AcquireStateFolder(&problem);
  EXPECT_TRUE(second.TakenElsewhere());
  EXPECT_FALSE(second.Held());
  EXPECT_NE(problem.find("the state folder " + state.path() + " is in use by another process"),
            std::string::npos)
      << problem;

  first.reset();
  kiv::StateFolderLock third = kiv::AcquireStateFolder(&problem);
  // qemu-user's child of popen keeps the descriptor: checked natively only.
  if (!kivtest::UnderEmulator()) {
    EXPECT_TRUE(third.Held()) << problem;
  }
  EXPECT_EQ(pclose(child), 0);
}

TEST(StateFolderTest, AFolderThatCannotKeepRecordsIsNamedAtStart) {
  kivtest::TempDir root;
  kivtest::WriteFile(root.File("a-file"), "");
  struct Case {
    std::optional<std::string> folder;
    const char* problem;  // part of it; "" for none
  } cases[] = {
      {std::nullopt, ""},  // run by hand: nothing is kept, as documented
      {root.File("missing"), "will not survive a stop or a power cut"},
      {root.File("a-file"), "is not a folder: records not stored by the platform will not survive"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder.value_or("unset"));
    kivtest::ScopedEnvironment environment({{"STATE_DIRECTORY", c.folder}});
    std::string problem;
    kiv::StateFolderLock lock = kiv::AcquireStateFolder(&problem);
    EXPECT_FALSE(lock.Held());
    EXPECT_FALSE(lock.TakenElsewhere()) << "the start goes on";
    if (*c.problem == '\0') {
      EXPECT_EQ(problem, "");
    } else {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
  }
}

// Starts of one device, two records each: the clock may stand still (a crash
// loop) or go back (no time yet after a boot), and the state folder may be
// lost.
TEST(RecordNamesTest, NamesSortInTheOrderOfProductionAndNeverRepeat) {
  kivtest::TempDir kept, lost;
  struct Start {
    const kivtest::TempDir* folder;
    std::time_t now;
    const char* run;
  } starts[] = {
      {&kept, 1700000000, "aaaaaaaa"},
      {&kept, 1700000000, "bbbbbbbb"},
      {&kept, 1000, "cccccccc"},
      {&kept, 1700000900, "dddddddd"},
  };
  std::vector<std::string> names;
  for (const Start& s : starts) {
    std::string problem;
    kiv::RecordNames run(s.folder->path(), s.now, s.run, &problem);
    EXPECT_EQ(problem, "");
    names.push_back(run.Next());
    names.push_back(run.Next());
  }
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end())) << ::testing::PrintToString(names);
  EXPECT_EQ(names.front(), "rec-1700000000-0000000001-aaaaaaaa");
  EXPECT_EQ(names.back(), "rec-1700000900-0000000002-dddddddd");

  // The folder lost while the clock is behind: the start repeats, the names do not.
  std::string problem;
  kiv::RecordNames afterLoss(lost.path(), 1700000001, "eeeeeeee", &problem);
  names.push_back(afterLoss.Next());
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());

  kivtest::WriteFile(lost.File(kiv::RecordNames::kFileName), "99999999999\n");
  kiv::RecordNames damaged(lost.path(), 1700000002, "ffffffff", &problem);
  EXPECT_NE(problem.find("holds no start number"), std::string::npos) << problem;
  EXPECT_EQ(damaged.start(), 1700000002u);
}

}  // namespace
