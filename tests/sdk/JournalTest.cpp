// The journal of held records: what comes back after a stop or a crash, what
// a damaged file still gives, and how large the file grows.
#include "Journal.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>

namespace {

using Entry = kiv::RecordQueue::Entry;
namespace fs = std::filesystem;

Entry Record(int i, size_t textBytes = 0) {
  std::string n = std::to_string(i);
  std::string text =
      textBytes > 0 ? std::string(textBytes, 'x') : "text " + n + std::string("\n\0\xff", 3);
  return Entry{"id-" + n, "rec-" + n, text};
}

std::string Names(const std::vector<Entry>& records) {
  std::string names;
  for (const Entry& record : records) names += (names.empty() ? "" : " ") + record.name;
  return names;
}

// The file a journal of device gw1 holding these records is.
std::string JournalOf(const std::vector<Entry>& records) {
  kivtest::TempDir folder;
  kiv::Journal journal(folder.path(), "gw1", kiv::RecordQueueLimits());
  journal.Open();
  for (const Entry& record : records) EXPECT_EQ(journal.Hold(record), "");
  return kivtest::ReadFile(journal.path());
}

// What the previous release kept at its stop: records.queue.
std::string OldFileOf(const std::string& device, const std::vector<std::string>& records) {
  std::string file = "kiv-records 1 " + device + "\n";
  for (const std::string& record : records) file += record;
  return file;
}

std::string OldRecord(int i) {
  const Entry r = Record(i);
  return std::to_string(r.id.size()) + " " + std::to_string(r.name.size()) + " " +
         std::to_string(r.text.size()) + "\n" + r.id + r.name + r.text + "\n";
}

// bytes with the character at the first place after marker replaced.
std::string Damaged(std::string bytes, const std::string& marker, size_t after, char by) {
  bytes.at(bytes.find(marker) + after) = by;
  return bytes;
}

// The start of the line before the first occurrence of marker.
size_t LineBefore(const std::string& bytes, const std::string& marker) {
  return bytes.rfind('\n', bytes.find(marker) - 2) + 1;
}

TEST(JournalTest, HeldRecordsComeBackAfterAStopUntilTheyAreForgotten) {
  kivtest::TempDir state;
  const std::string path = state.File(kiv::Journal::kFileName);
  {
    kiv::Journal journal(state.path(), "gw1", kiv::RecordQueueLimits());
    EXPECT_TRUE(journal.Open().records.empty());
    EXPECT_FALSE(fs::exists(path)) << "nothing held, nothing written";
    for (int i = 1; i <= 3; ++i) ASSERT_EQ(journal.Hold(Record(i)), "");
    const auto size = fs::file_size(path);
    ASSERT_EQ(journal.Hold(Record(2)), "");
    EXPECT_EQ(fs::file_size(path), size) << "a record held already is not written again";
    ASSERT_EQ(journal.Forget("rec-2"), "");
    ASSERT_EQ(journal.Forget("rec-never-held"), "");
  }  // a stop or a crash: nothing is written at the end

  kiv::Journal again(state.path(), "gw1", kiv::RecordQueueLimits());
  kiv::Journal::Loaded loaded = again.Open();
  EXPECT_EQ(loaded.problem, "");
  ASSERT_EQ(Names(loaded.records), "rec-1 rec-3");
  EXPECT_EQ(loaded.records[0].id, Record(1).id);
  EXPECT_EQ(loaded.records[1].text, Record(3).text);
  EXPECT_TRUE(fs::exists(path)) << "kept until its records are stored";
  ASSERT_EQ(again.Forget("rec-1"), "");
  ASSERT_EQ(again.Forget("rec-3"), "");
  EXPECT_FALSE(fs::exists(path)) << "all stored: nothing left";

  fs::remove_all(state.path());
  EXPECT_NE(again.Hold(Record(4)), "") << "a write that fails is reported";
  fs::create_directory(state.path());
}

TEST(JournalTest, DamagedFilesStartWithTheirGoodRecords) {
  const std::string good = JournalOf({Record(1), Record(2), Record(3)});
  const std::string oldGood = OldFileOf("gw1", {OldRecord(1), OldRecord(2)});
  const kiv::RecordQueueLimits defaults, twoRecords{2, 1 << 20}, smallBytes{1000, 1000};
  struct Case {
    const char* name;
    const char* file;  // the journal or the old file
    std::string contents;
    const char* want;     // the names loaded
    const char* problem;  // part of the problem told, "" for none
    kiv::RecordQueueLimits limits;
    const char* device;
  } cases[] = {
      {"cut short in its last record", kiv::Journal::kFileName, good.substr(0, good.size() - 3),
       "rec-1 rec-2", "its end is cut short", defaults, "gw1"},
      {"zeros where a power cut left the file longer", kiv::Journal::kFileName,
       good + std::string(600, '\0'), "rec-1 rec-2 rec-3", "its end is cut short", defaults, "gw1"},
      {"a record's bytes damaged", kiv::Journal::kFileName, Damaged(good, "text 2", 2, 'X'),
       "rec-1 rec-3", "1 damaged entry skipped", defaults, "gw1"},
      {"a size damaged", kiv::Journal::kFileName,
       Damaged(good, "", LineBefore(good, "id-2") + 2, '9'), "rec-1 rec-3",
       "1 damaged entry skipped", defaults, "gw1"},
      {"garbage between records", kiv::Journal::kFileName,
       good.substr(0, LineBefore(good, "id-3")) + std::string("\x01\xfe junk\n\n+ 1 2\n", 15) +
           good.substr(LineBefore(good, "id-3")),
       "rec-1 rec-2 rec-3", "1 damaged entry skipped", defaults, "gw1"},
      {"more records than the bound", kiv::Journal::kFileName, good, "rec-2 rec-3", "", twoRecords,
       "gw1"},
      {"a record larger than the byte bound", kiv::Journal::kFileName,
       JournalOf({Record(1), Record(2, 5000), Record(3)}), "rec-1 rec-3",
       "1 record larger than the queue's byte bound skipped", smallBytes, "gw1"},
      {"another device's", kiv::Journal::kFileName, good, "", "records of device \"gw1\"", defaults,
       "gw2"},
      {"empty", kiv::Journal::kFileName, "", "", "is empty", defaults, "gw1"},
      {"garbage", kiv::Journal::kFileName, std::string("\x7fGARBAGE\x01\x01\0\0", 12), "",
       "is not a file of records", defaults, "gw1"},
      {"the old file", kiv::Journal::kOldFileName, oldGood, "rec-1 rec-2", "", defaults, "gw1"},
      {"the old file with a size that wraps", kiv::Journal::kOldFileName,
       OldFileOf("gw1", {OldRecord(1), "18446744073709551615 2 0\nab\n", OldRecord(3)}), "rec-1",
       "record 2 is damaged", defaults, "gw1"},
      {"the old file with a negative size", kiv::Journal::kOldFileName,
       OldFileOf("gw1", {OldRecord(1), "-1 3 0\nabc\n"}), "rec-1", "record 2 is damaged", defaults,
       "gw1"},
      {"the old file claiming 64 MiB", kiv::Journal::kOldFileName,
       OldFileOf("gw1", {OldRecord(1), "10 10 67108800\n" + std::string(100, 'y')}), "rec-1",
       "record 2 is damaged", defaults, "gw1"},
      {"the old file cut short", kiv::Journal::kOldFileName, oldGood.substr(0, oldGood.size() - 2),
       "rec-1", "record 2 is cut short", defaults, "gw1"},
      {"the old file of another device", kiv::Journal::kOldFileName,
       OldFileOf("gw9", {OldRecord(1)}), "", "records of device \"gw9\"", defaults, "gw1"},
      {"the old file empty", kiv::Journal::kOldFileName, "", "", "is empty", defaults, "gw1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kivtest::TempDir state;
    const std::string path = state.File(c.file);
    kivtest::WriteFile(path, c.contents);
    kiv::Journal journal(state.path(), c.device, c.limits);
    kiv::Journal::Loaded loaded = journal.Open();
    EXPECT_EQ(Names(loaded.records), c.want);
    if (*c.problem == '\0') {
      EXPECT_EQ(loaded.problem, "");
    } else {
      EXPECT_NE(loaded.problem.find(c.problem), std::string::npos) << loaded.problem;
    }
    EXPECT_EQ(fs::exists(path + ".bad"), *c.problem != '\0') << loaded.problem;
    if (fs::exists(path + ".bad")) {
      EXPECT_EQ(kivtest::ReadFile(path + ".bad"), c.contents);
    }
    EXPECT_FALSE(fs::exists(state.File(kiv::Journal::kOldFileName))) << "read once";

    // What is left is a whole journal of the good records.
    loaded = kiv::Journal(state.path(), c.device, c.limits).Open();
    EXPECT_EQ(Names(loaded.records), c.want);
    EXPECT_EQ(loaded.problem, "");
  }
}

// A crash after the old file's records were written to the journal and
// before the old file went: each record once.
TEST(JournalTest, AnUpgradeInterruptedKeepsEachRecordOnce) {
  kivtest::TempDir state;
  kivtest::WriteFile(state.File(kiv::Journal::kFileName),
                     JournalOf({Record(1), Record(2), Record(3)}));
  kivtest::WriteFile(state.File(kiv::Journal::kOldFileName),
                     OldFileOf("gw1", {OldRecord(1), OldRecord(2)}));
  kiv::Journal::Loaded loaded = kiv::Journal(state.path(), "gw1", kiv::RecordQueueLimits()).Open();
  EXPECT_EQ(loaded.problem, "");
  EXPECT_EQ(Names(loaded.records), "rec-1 rec-2 rec-3");
}

// A long outage: records come and go one by one, and the file never grows
// far beyond the records it holds.
TEST(JournalTest, TheFileStaysNearTheSizeOfItsRecords) {
  kivtest::TempDir state;
  kiv::Journal journal(state.path(), "gw1", kiv::RecordQueueLimits());
  journal.Open();
  uintmax_t largest = 0;
  for (int i = 1; i <= 1000; ++i) {
    ASSERT_EQ(journal.Hold(Record(i, 400)), "");
    if (i > 10) {
      ASSERT_EQ(journal.Forget("rec-" + std::to_string(i - 10)), "");
    }
    largest = std::max(largest, fs::file_size(journal.path()));
  }
  EXPECT_LT(largest, 80u * 1024) << "10 records of 400 bytes, rewritten beyond 64 KiB of slack";
  kiv::Journal::Loaded loaded = kiv::Journal(state.path(), "gw1", kiv::RecordQueueLimits()).Open();
  EXPECT_EQ(loaded.records.size(), 10u);
  EXPECT_EQ(loaded.records.front().name, "rec-991");
  EXPECT_EQ(loaded.records.back().name, "rec-1000");
}

}  // namespace
