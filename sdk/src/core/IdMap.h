// IdMap<V>: values by request id, for the few the loop keeps at a time (the
// sends of the records in flight, the Creates that wait): the part of
// std::unordered_map's interface the SDK uses, over a list walked from end
// to end. On the router each hash table costs its own template code, and
// its load factor the floating-point helpers besides; a list costs the
// least code of the standard containers.
#ifndef KIV_SDK_CORE_ID_MAP_H
#define KIV_SDK_CORE_ID_MAP_H

#include <cstddef>
#include <string>
#include <list>
#include <utility>

namespace kiv {

template <typename V>
class IdMap {
  using Items = std::list<std::pair<std::string, V>>;

public:
  using iterator = typename Items::iterator;

  iterator begin() { return items_.begin(); }
  iterator end() { return items_.end(); }
  iterator find(const std::string& id) {
    for (auto item = items_.begin(); item != items_.end(); ++item) {
      if (item->first == id) return item;
    }
    return items_.end();
  }
  V& operator[](const std::string& id) {
    iterator found = find(id);
    if (found != items_.end()) return found->second;
    items_.emplace_back(id, V());
    return items_.back().second;
  }
  size_t erase(const std::string& id) {
    iterator found = find(id);
    if (found == items_.end()) return 0;
    items_.erase(found);
    return 1;
  }
  size_t size() const { return items_.size(); }

private:
  Items items_;
};

}  // namespace kiv

#endif
