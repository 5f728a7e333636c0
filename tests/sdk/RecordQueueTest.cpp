// The record queue's bounds.
#include "RecordQueue.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using kiv::RecordQueue;

TEST(RecordQueueTest, TheOldestGiveWayAtEitherBound) {
  RecordQueue byCount({2, 1 << 20});
  EXPECT_EQ(byCount.Push({"1", "n1", "a"}), 0u);
  EXPECT_EQ(byCount.Push({"2", "n2", "b"}), 0u);
  EXPECT_EQ(byCount.Push({"3", "n3", "c"}), 1u);
  EXPECT_EQ(byCount.Front().id, "2");

  RecordQueue byBytes({100, 1000});
  for (int i = 0; i < 10; ++i) byBytes.Push({std::to_string(i), "n", std::string(200, 'x')});
  EXPECT_LE(byBytes.Bytes(), 1000u);
  EXPECT_EQ(byBytes.Size(), 3u);  // 200 bytes and the fixed cost each
  EXPECT_EQ(byBytes.Push({"big", "n", std::string(5000, 'x')}), 3u) << "kept, alone";
  EXPECT_EQ(byBytes.Size(), 1u);
  byBytes.PopFront();
  EXPECT_EQ(byBytes.Bytes(), 0u);
}

TEST(RecordQueueTest, LimitsFromTheEnvironment) {
  struct Case {
    const char* records;
    const char* bytes;
    size_t wantRecords, wantBytes;
    bool warned;
  } cases[] = {
      {"", "", 1000, 1 << 20, false},
      {"50", "4096", 50, 4096, false},
      {"0", "-1", 1000, 1 << 20, true},
      {"12x", "", 1000, 1 << 20, true},
  };
  for (const Case& c : cases) {
    setenv("KIV_RECORD_QUEUE_RECORDS", c.records, 1);
    setenv("KIV_RECORD_QUEUE_BYTES", c.bytes, 1);
    std::string warning;
    RecordQueue::Limits limits = kiv::RecordQueueLimitsFromEnvironment(&warning);
    EXPECT_EQ(limits.records, c.wantRecords) << c.records;
    EXPECT_EQ(limits.bytes, c.wantBytes) << c.bytes;
    EXPECT_EQ(!warning.empty(), c.warned) << warning;
  }
  unsetenv("KIV_RECORD_QUEUE_RECORDS");
  unsetenv("KIV_RECORD_QUEUE_BYTES");
}

}  // namespace
