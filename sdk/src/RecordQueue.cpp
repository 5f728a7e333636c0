#include "RecordQueue.h"

#include <cerrno>
#include <cstdlib>

namespace kiv {
namespace {

// What one record costs besides its bytes: the deque's node and three strings.
constexpr size_t kQueuedRecordOverhead = 128;

std::optional<size_t> WholeNumber(const char* text) {
  if (text == nullptr || *text < '0' || *text > '9') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < 1) return std::nullopt;
  return static_cast<size_t>(value);
}

void LimitFromEnvironment(const char* name, size_t* limit, std::string* warning) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return;
  if (std::optional<size_t> value = WholeNumber(text)) {
    *limit = *value;
  } else if (warning) {
    *warning += std::string(warning->empty() ? "" : "; ") + name + "=\"" + text +
                "\" is not a whole number of at least 1, " + std::to_string(*limit) + " is used";
  }
}

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
  LimitFromEnvironment("KIV_RECORD_QUEUE_RECORDS", &limits.records, warning);
  LimitFromEnvironment("KIV_RECORD_QUEUE_BYTES", &limits.bytes, warning);
  return limits;
}

}  // namespace kiv
