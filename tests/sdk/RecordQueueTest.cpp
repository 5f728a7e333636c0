// The record queue's bounds, and the file that keeps it across a restart.
#include "RecordQueue.h"

#include "TestSupport.h"

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

TEST(RecordQueueTest, SavedRecordsComeBackByteForByteForTheSameDeviceOnly) {
  kivtest::TempDir dir;
  std::string path = dir.File("records.queue");
  std::vector<RecordQueue::Entry> entries = {
      {"p-1", "rec-p-1", std::string("line\nnext\0nul \xff", 15)},
      {"p-2", "rec-p-2", ""},
      {"p-3", "rec-p-3", "3 4 5\n"},
  };
  ASSERT_EQ(kiv::SaveRecords(path, "gw1", entries), "");
  kiv::LoadedRecords loaded = kiv::LoadRecords(path, "gw1");
  EXPECT_EQ(loaded.error, "");
  ASSERT_EQ(loaded.entries.size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(loaded.entries[i].id, entries[i].id);
    EXPECT_EQ(loaded.entries[i].name, entries[i].name);
    EXPECT_EQ(loaded.entries[i].text, entries[i].text);
  }
  EXPECT_TRUE(kiv::LoadRecords(path, "gw2").entries.empty());
  EXPECT_NE(kiv::LoadRecords(path, "gw2").error, "");

  // A damaged end keeps what stood before it and says so.
  std::string text = kivtest::ReadFile(path);
  kivtest::WriteFile(path, text.substr(0, text.size() - 4));
  loaded = kiv::LoadRecords(path, "gw1");
  EXPECT_EQ(loaded.entries.size(), 2u);
  EXPECT_NE(loaded.error.find("record 3"), std::string::npos) << loaded.error;

  // Sizes that are no sizes, or past the bound, or whose sum wraps round
  // (which once cut a record at bytes it did not have) stop the reading.
  std::string header = text.substr(0, text.find('\n') + 1);
  for (const char* sizes : {"4294967295 1 0\n", "18446744073709551615 1 0\n", "-1 1 1\n", "1 2\n",
                            "67108864 1 0\n", "1  2 3\n"}) {
    kivtest::WriteFile(path, header + sizes + "\n");
    loaded = kiv::LoadRecords(path, "gw1");
    EXPECT_TRUE(loaded.entries.empty()) << sizes;
    EXPECT_NE(loaded.error.find("record 1 is damaged"), std::string::npos) << sizes << loaded.error;
  }

  // Nothing left: the file goes.
  ASSERT_EQ(kiv::SaveRecords(path, "gw1", {}), "");
  EXPECT_TRUE(kiv::LoadRecords(path, "gw1").entries.empty());
  EXPECT_EQ(kiv::LoadRecords(path, "gw1").error, "");
}

}  // namespace
