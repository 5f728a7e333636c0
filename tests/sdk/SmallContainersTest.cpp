// The loop's small containers: RecentIds forgets the oldest first, IdMap
// keeps every other value when one goes.
#include "IdMap.h"
#include "RecentIds.h"

#include <gtest/gtest.h>

namespace {

TEST(SmallContainersTest, RecentIdsForgetTheOldestFirst) {
  kiv::RecentIds ids(3);
  for (const char* id : {"a", "b", "c", "d", "e"}) ids.Add(id);
  struct Case {
    const char* id;
    bool known;
  } cases[] = {{"a", false}, {"b", false}, {"c", true}, {"d", true}, {"e", true}, {"f", false}};
  for (const Case& c : cases) EXPECT_EQ(ids.Contains(c.id), c.known) << c.id;
}

TEST(SmallContainersTest, IdMapKeepsTheOthersWhenOneGoes) {
  kiv::IdMap<int> map;
  map["a"] = 1;
  map["b"] = 2;
  map["c"] = 3;
  map["a"] = 10;  // the same id again: replaced, not added
  EXPECT_EQ(map.size(), 3u);
  EXPECT_EQ(map.erase("a"), 1u);
  EXPECT_EQ(map.erase("a"), 0u);
  EXPECT_EQ(map.find("a"), map.end());
  ASSERT_NE(map.find("b"), map.end());
  EXPECT_EQ(map.find("b")->second, 2);
  ASSERT_NE(map.find("c"), map.end());
  EXPECT_EQ(map.find("c")->second, 3);
}

}  // namespace
