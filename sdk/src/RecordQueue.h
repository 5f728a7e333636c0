// The records the gateway handed to the SDK and the registrar has not yet
// stored, oldest first, within bounds a router's memory can afford: beyond
// them the oldest records give way to new ones.
//
// Each record carries the id Create returned (the gateway hears its answer
// under it) and a resource name of its own, so that sending it again after a
// lost answer cannot store it twice: the registrar refuses a second content
// instance of that name (4105).
//
// Not thread-safe: the registrar's state machine owns it.
#ifndef KIV_SDK_RECORD_QUEUE_H
#define KIV_SDK_RECORD_QUEUE_H

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace kiv {

struct RecordQueueLimits {
  size_t records = 1000;
  size_t bytes = 1024 * 1024;  // the records' texts and names, with a fixed cost each
};

class RecordQueue {
public:
  using Limits = RecordQueueLimits;
  struct Entry {
    std::string id;    // as Create returned it
    std::string name;  // the content instance's resource name (rn)
    std::string text;
  };

  explicit RecordQueue(Limits limits = Limits());

  // Appends the record; returns how many of the oldest were dropped to make
  // room for it. A record larger than the byte limit on its own is kept, alone.
  size_t Push(Entry entry);
  const Entry& Front() const { return entries_.front(); }
  void PopFront();
  bool Contains(const std::string& id) const;

  bool Empty() const { return entries_.empty(); }
  size_t Size() const { return entries_.size(); }
  size_t Bytes() const { return bytes_; }
  const Limits& limits() const { return limits_; }
  const std::deque<Entry>& Entries() const { return entries_; }

private:
  static size_t Cost(const Entry& entry);

  Limits limits_;
  std::deque<Entry> entries_;
  size_t bytes_ = 0;
};

// Limits from the environment: KIV_RECORD_QUEUE_RECORDS and
// KIV_RECORD_QUEUE_BYTES (whole numbers of at least 1); a value that is not
// one keeps the default and is named in *warning.
RecordQueue::Limits RecordQueueLimitsFromEnvironment(std::string* warning);

// The queue kept across a restart of the gateway: a file in the service's
// state folder, written once when the proxy stops (never per record: a
// router's flash wears, and OpenWrt's /var is RAM anyway) and read once when
// the next proxy starts. Records are kept only for the same device.
//
// The file: a header line "kiv-records 1 <device>", then per record a line
// "<id bytes> <name bytes> <text bytes>" followed by those bytes and a newline.
std::string SaveRecords(const std::string& path, const std::string& device,
                        const std::vector<RecordQueue::Entry>& entries);  // "" or the error
struct LoadedRecords {
  std::vector<RecordQueue::Entry> entries;
  std::string error;  // why the file (or its end) could not be read; "" when all was
};
LoadedRecords LoadRecords(const std::string& path, const std::string& device);

}  // namespace kiv

#endif
