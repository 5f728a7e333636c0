// The platform's requests handed to the gateway and not yet answered. A
// request id is unique per originator only, so a request is known by both.
// Every answer takes its request out, so one request gets one answer; the
// oldest are forgotten beyond a bound (a retrieve that finds nothing is
// never answered, so entries can be left).
//
// Runs on the SDK's loop: not thread-safe.
#ifndef KIV_SDK_CORE_PENDING_REQUESTS_H
#define KIV_SDK_CORE_PENDING_REQUESTS_H

#include <cstdint>
#include <list>
#include <optional>
#include <string>

namespace kiv {

class PendingRequests {
public:
  static constexpr size_t kMax = 1024;

  struct Key {
    std::string rqi;
    std::string originator;  // topic level O of the request
    bool operator==(const Key& other) const {
      return rqi == other.rqi && originator == other.originator;
    }
  };
  struct Origin {
    std::string originator;
    std::string from;  // its "fr", the response's "to"
    const std::string& to() const { return from.empty() ? originator : from; }
  };

  void Remember(const Key& key, const std::string& from);
  // The request an answer with this id is for: the one being handed to the
  // gateway now (Answering), else the oldest waiting under the id.
  std::optional<Key> KeyOfAnswer(const std::string& rqi) const;
  // Looks the request up and forgets it; leaveWaiting (a partial answer)
  // only looks.
  std::optional<Origin> Take(const Key& key, bool leaveWaiting = false);
  // The request whose RequestArrived runs now, or nullptr.
  void Answering(const Key* key) { answering_ = key; }

private:
  struct Entry {
    Key key;
    std::string from;
    uint64_t arrival;  // its latest Remember: the oldest is answered first
  };
  // Searched from the newest, where a request answered from inside
  // RequestArrived stands.
  std::list<Entry>::iterator Find(const Key& key);

  // In the order the requests first arrived: the first are forgotten first.
  // At most kMax, each looked for by a walk: a tree or a hash table costs
  // more code than the walk costs time.
  std::list<Entry> pending_;
  uint64_t arrivals_ = 0;
  const Key* answering_ = nullptr;
};

}  // namespace kiv

#endif
