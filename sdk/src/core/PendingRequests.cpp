#include "PendingRequests.h"

namespace kiv {

std::list<PendingRequests::Entry>::iterator PendingRequests::Find(const Key& key) {
  for (auto entry = pending_.end(); entry != pending_.begin();) {
    if ((--entry)->key == key) return entry;
  }
  return pending_.end();
}

void PendingRequests::Remember(const Key& key, const std::string& from) {
  auto found = Find(key);
  if (found != pending_.end()) {
    found->from = from;
    found->arrival = ++arrivals_;
    return;
  }
  pending_.push_back(Entry{key, from, ++arrivals_});
  if (pending_.size() > kMax) pending_.pop_front();
}

std::optional<PendingRequests::Key> PendingRequests::KeyOfAnswer(const std::string& rqi) const {
  if (answering_ != nullptr && answering_->rqi == rqi) return *answering_;
  const Entry* oldest = nullptr;
  for (const Entry& entry : pending_) {
    if (entry.key.rqi == rqi && (oldest == nullptr || entry.arrival < oldest->arrival)) {
      oldest = &entry;
    }
  }
  if (oldest == nullptr) return std::nullopt;
  return oldest->key;
}

std::optional<PendingRequests::Origin> PendingRequests::Take(const Key& key, bool leaveWaiting) {
  auto found = Find(key);
  if (found == pending_.end()) return std::nullopt;
  Origin origin{key.originator, found->from};
  if (!leaveWaiting) pending_.erase(found);
  return origin;
}

}  // namespace kiv
