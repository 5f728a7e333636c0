#include "PendingRequests.h"

namespace kiv {

void PendingRequests::Remember(const Key& key, const std::string& from) {
  if (pending_.count(key) == 0) order_.push_back(key);
  pending_[key] = Entry{from, ++arrivals_};
  while (order_.size() > kMax) {
    pending_.erase(order_.front());
    order_.pop_front();
  }
}

std::optional<PendingRequests::Key> PendingRequests::KeyOfAnswer(const std::string& rqi) const {
  if (answering_ != nullptr && answering_->rqi == rqi) return *answering_;
  std::optional<Key> oldest;
  uint64_t oldestArrival = 0;
  for (auto entry = pending_.lower_bound(Key{rqi, ""});
       entry != pending_.end() && entry->first.rqi == rqi; ++entry) {
    if (!oldest || entry->second.arrival < oldestArrival) {
      oldest = entry->first;
      oldestArrival = entry->second.arrival;
    }
  }
  return oldest;
}

// The key leaves the order list too: left there, it would evict the entry of
// a later request that reuses the id. Searched from the back, where a
// request answered from inside RequestArrived stands.
std::optional<PendingRequests::Origin> PendingRequests::Take(const Key& key, bool leaveWaiting) {
  auto found = pending_.find(key);
  if (found == pending_.end()) return std::nullopt;
  Origin origin{key.originator, found->second.from};
  if (leaveWaiting) return origin;
  pending_.erase(found);
  for (auto queued = order_.end(); queued != order_.begin();) {
    if (*--queued == key) {
      order_.erase(queued);
      break;
    }
  }
  return origin;
}

}  // namespace kiv
