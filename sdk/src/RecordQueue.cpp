#include "RecordQueue.h"

#include "Settings.h"

#include <cstdint>

namespace kiv {
namespace {

// What one record costs besides its bytes: the deque's node and three strings.
constexpr size_t kQueuedRecordOverhead = 128;

}  // namespace

RecordQueue::RecordQueue(Limits limits) : limits_(limits) {}

size_t RecordQueue::Cost(const Entry& entry) {
  return entry.id.size() + entry.name.size() + entry.text.size() + kQueuedRecordOverhead;
}

size_t RecordQueue::Push(Entry entry) {
  size_t cost = Cost(entry);
  size_t dropped = 0;
  while (!entries_.empty() &&
         (entries_.size() >= limits_.records || bytes_ + cost > limits_.bytes)) {
    PopFront();
    ++dropped;
  }
  bytes_ += cost;
  entries_.push_back(std::move(entry));
  return dropped;
}

void RecordQueue::PopFront() {
  bytes_ -= Cost(entries_.front());
  entries_.pop_front();
}

bool RecordQueue::Contains(const std::string& id) const {
  for (const Entry& entry : entries_) {
    if (entry.id == id) return true;
  }
  return false;
}

RecordQueue::Limits RecordQueueLimitsFromEnvironment(std::string* warning) {
  RecordQueue::Limits limits;
  limits.records =
      WholeNumberSetting("KIV_RECORD_QUEUE_RECORDS", 1, SIZE_MAX, limits.records, warning);
  limits.bytes = WholeNumberSetting("KIV_RECORD_QUEUE_BYTES", 1, SIZE_MAX, limits.bytes, warning);
  return limits;
}

}  // namespace kiv
