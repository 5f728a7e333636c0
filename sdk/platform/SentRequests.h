// What gateways ask their registrar (docs/protocol.md, "Registration" and
// "Records"), told apart and counted as it arrives on the wire: how many
// requests of each kind, which request ids came more than once, how often
// each record name was sent. The stand-in registrar counts with it, and so
// does a benchmark that only listens beside a real CSE.
#ifndef KIV_PLATFORM_SENT_REQUESTS_H
#define KIV_PLATFORM_SENT_REQUESTS_H

#include <array>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace kiv {
namespace platform {

// The kinds of request a gateway sends its registrar, as bits, so that a set
// of them is one RequestKinds value.
enum RequestKind : unsigned {
  kRegistrationCreate = 1u << 0,    // op 1, ty 16: a remoteCSE
  kRegistrationUpdate = 1u << 1,    // op 3: its point of access
  kRegistrationRetrieve = 1u << 2,  // op 2: is the registration still there
  kContainerCreate = 1u << 3,       // op 1, ty 3: the records' container
  kRecordCreate = 1u << 4,          // op 1, ty 4: a content instance
  kOtherRequest = 1u << 5,          // anything else
  kAppCreate = 1u << 6,             // op 1, ty 2: the <AE> records live under
  kPolicyCreate = 1u << 7,          // op 1, ty 1: the access control policy
};
using RequestKinds = unsigned;
constexpr size_t kRequestKindCount = 8;
// What registering takes: the create (or the update after a 4105), the
// container, and the <AE> and the policy where the gateway asks for them
// (their updates count as registration updates).
constexpr RequestKinds kRegistrationSteps =
    kRegistrationCreate | kRegistrationUpdate | kContainerCreate | kAppCreate | kPolicyCreate;
constexpr RequestKinds kAnyRequest = (1u << kRequestKindCount) - 1;

// A short name for one kind ("registration create", "record", ...).
const char* KindName(RequestKind kind);
// Its place among the kinds, 0 to kRequestKindCount - 1.
size_t KindIndex(RequestKind kind);

// A gateway's request to its registrar: a message on /oneM2M/req/D/R/json
// from the CSE "/D", or from its <AE> "CD".
struct GatewayRequest {
  RequestKind kind = kOtherRequest;
  std::string device;     // D
  std::string registrar;  // R
  std::string rqi;
  std::string to;
  // Of the resource in pc (m2m:csr, m2m:cnt, m2m:cin), when there is one:
  std::string name;                     // rn
  std::string csi;                      // a remoteCSE's CSE-ID
  std::string text;                     // a content instance's con
  std::vector<std::string> attributes;  // the member names it carries
};

// The request a message holds; nullopt for anything else (a message to a
// gateway, an answer, a request without rqi or from another originator).
std::optional<GatewayRequest> ParseGatewayRequest(const std::string& topic,
                                                  const std::string& payload);

// A map that keeps the latest keys only: once it holds limit keys, a new key
// pushes out the one inserted first. Bounds what a long run remembers.
template <typename Value>
class RecentMap {
public:
  explicit RecentMap(size_t limit) : limit_(limit) {}
  // The key's value, inserted (default) when it is new.
  Value& operator[](const std::string& key) {
    auto found = values_.find(key);
    if (found != values_.end()) return found->second;
    if (limit_ > 0 && values_.size() >= limit_) {
      values_.erase(order_.front());
      order_.pop_front();
    }
    order_.push_back(key);
    return values_[key];
  }
  const Value* Find(const std::string& key) const {
    auto found = values_.find(key);
    return found == values_.end() ? nullptr : &found->second;
  }
  Value* Find(const std::string& key) {
    auto found = values_.find(key);
    return found == values_.end() ? nullptr : &found->second;
  }
  size_t size() const { return values_.size(); }
  // Calls visit(key, value) for each, oldest first.
  template <typename Visit>
  void ForEach(Visit visit) const {
    for (const std::string& key : order_) visit(key, values_.at(key));
  }
  void clear() {
    values_.clear();
    order_.clear();
  }

private:
  size_t limit_;
  std::unordered_map<std::string, Value> values_;
  std::deque<std::string> order_;
};

// The keys of a map, in its order.
template <typename Map>
std::vector<std::string> KeysOf(const Map& map) {
  std::vector<std::string> keys;
  for (const auto& entry : map) keys.push_back(entry.first);
  return keys;
}

// Counts of requests as they arrived. Thread-safe.
class SentRequests {
public:
  struct Limits {
    size_t gateways = 100000;         // counted one by one; others in the totals only
    size_t namesPerGateway = 10000;   // record names whose sends are counted, the latest
    size_t requestIds = 1000000;      // request ids remembered, the latest
  };
  SentRequests() : SentRequests(Limits{}) {}
  explicit SentRequests(Limits limits);

  void Count(const GatewayRequest& request);

  // Requests of these kinds, of all gateways or of one.
  size_t Total(RequestKinds kinds) const;
  size_t Of(const std::string& device, RequestKinds kinds) const;
  // How often device sent a record of this name (0: never, or forgotten).
  int SendsOf(const std::string& device, const std::string& name) const;
  // Request ids that came more than once, with how often they came.
  std::map<std::string, int> RepeatedRequestIds() const;
  // The gateways counted one by one.
  std::vector<std::string> Devices() const;

private:
  struct Gateway {
    explicit Gateway(size_t nameLimit) : sends(nameLimit) {}
    std::array<size_t, kRequestKindCount> requests{};
    RecentMap<int> sends;  // by record name
  };
  static size_t Sum(const std::array<size_t, kRequestKindCount>& counts, RequestKinds kinds);

  const Limits limits_;
  mutable std::mutex mutex_;
  std::array<size_t, kRequestKindCount> totals_{};
  std::unordered_map<std::string, Gateway> gateways_;
  RecentMap<int> requestIds_;
  std::map<std::string, int> repeated_;
};

}  // namespace platform
}  // namespace kiv

#endif
