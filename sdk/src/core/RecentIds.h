// The last few request ids of a kind (sent to the registrar, of records
// that left), so that a late answer to one is known as ours: the oldest is
// forgotten first once there are `capacity`.
//
// A ring searched from end to end: a few hundred short ids, looked up only
// for an answer nothing else claims; a hash set and a queue beside it cost
// far more code on the router than the walk costs time.
#ifndef KIV_SDK_CORE_RECENT_IDS_H
#define KIV_SDK_CORE_RECENT_IDS_H

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace kiv {

class RecentIds {
public:
  explicit RecentIds(size_t capacity) : capacity_(capacity) {}

  void Add(const std::string& id) {
    if (ids_.size() < capacity_) {
      ids_.push_back(id);
    } else {
      ids_[oldest_] = id;
      oldest_ = (oldest_ + 1) % capacity_;
    }
  }
  bool Contains(const std::string& id) const {
    return std::find(ids_.begin(), ids_.end(), id) != ids_.end();
  }

private:
  const size_t capacity_;
  std::vector<std::string> ids_;
  size_t oldest_ = 0;  // where the next id goes once the ring is full
};

}  // namespace kiv

#endif
