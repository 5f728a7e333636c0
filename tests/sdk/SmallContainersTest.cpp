// The loop's small containers: RecentIds forgets the oldest first, IdMap
// keeps every other value when one goes, Timers fire in the order they fall
// due.
#include "IdMap.h"
#include "RecentIds.h"
#include "Timers.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

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

TEST(SmallContainersTest, TimersFireInDueOrderThenInArmingOrder) {
  using namespace std::chrono_literals;
  kiv::Timers::TimePoint now{};
  kiv::Timers timers([&] { return now; });
  std::string fired;
  std::vector<std::unique_ptr<kiv::Timer>> made;
  auto timer = [&](char name) {
    made.push_back(std::make_unique<kiv::Timer>([&fired, name] { fired += name; }));
    return made.back().get();
  };
  kiv::Timer *a = timer('a'), *b = timer('b'), *c = timer('c'), *d = timer('d'), *e = timer('e');
  timers.Arm(*a, 5s);
  timers.Arm(*b, 3s);
  timers.Arm(*c, 5s);  // due with a, armed after it
  timers.Arm(*d, 1s);
  timers.Arm(*e, 4s);
  timers.Arm(*d, 6s);  // armed again: only the later one counts
  timers.Cancel(*e);
  made.push_back(std::make_unique<kiv::Timer>([&] {  // arms another that is due at once
    fired += 'f';
    timers.Arm(*e, 0s);
  }));
  timers.Arm(*made.back(), 5s);
  struct Moment {
    std::chrono::seconds at;
    const char* fired;
  } steps[] = {{2s, ""}, {3s, "b"}, {5s, "bacfe"}, {7s, "bacfed"}};
  for (const Moment& step : steps) {
    now = kiv::Timers::TimePoint() + step.at;
    timers.RunDue();
    EXPECT_EQ(fired, step.fired) << step.at.count();
  }
  EXPECT_FALSE(timers.NextDue());
}

}  // namespace
