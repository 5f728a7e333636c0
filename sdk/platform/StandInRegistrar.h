// A stand-in for the platform's CSE where none runs (the demo, the tests,
// the fleet benchmark): it answers what gateways ask their registrar as a
// strict CSE that stores things would, so that a duplicate send shows.
//
// It keeps what it stored, for each gateway: the registration (a second
// create of it is 4105; update, retrieve, container and records need it,
// else 4004), the gateway's <AE> beside it, the containers and access
// control policies under either (again: 4105; an update of any of these is
// 2004) and each record by its name (the first create stores it, a repeat of
// the name is 4105 and the first text stays). A record whose container is
// missing is 4004. Forget() drops all it
// stored, as a CSE restarted without its storage. Every request is counted
// as it arrives (sent()), whatever happens to it after.
//
// Faults, each for a set of request kinds, from the call on: answers
// delayed, dropped (a share at random, or the next N: the request is carried
// out, only its answer is lost), refused with a given status (not carried
// out), or the stand-in absent (nothing carried out or answered, as a CSE
// that is not on the broker).
//
// Transport-free and thread-safe: Take() says what to answer and when; the
// platform client (PlatformClient.h) sends it.
#ifndef KIV_PLATFORM_STAND_IN_REGISTRAR_H
#define KIV_PLATFORM_STAND_IN_REGISTRAR_H

#include "SentRequests.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace kiv {
namespace platform {

class StandInRegistrar {
public:
  struct Limits {
    size_t gateways = 100000;          // with something stored; more are refused (5000)
    size_t recordsPerGateway = 10000;  // the latest are kept, as a container's mni would
    size_t containersPerGateway = 8;
  };
  // What to send in answer to a request, on topic, once delay passed.
  struct Answer {
    std::string topic;
    std::string payload;
    std::chrono::milliseconds delay{0};
  };
  struct StoredRecord {
    std::string name;
    std::string text;
  };
  static constexpr int kEvery = -1;

  StandInRegistrar() : StandInRegistrar(Limits{}) {}
  explicit StandInRegistrar(Limits limits, std::uint32_t seed = std::random_device()());

  // A message from the broker. A gateway's request to its registrar is
  // counted and carried out; its answer, if one goes out, is returned.
  // Nothing for any other message.
  std::optional<Answer> Take(const std::string& topic, const std::string& payload);

  // Faults for each kind in kinds, until Heal().
  void Delay(RequestKinds kinds, std::chrono::milliseconds delay);
  void DropShare(RequestKinds kinds, double share);  // 0 to 1
  void DropNext(RequestKinds kinds, int count);      // count answers of each kind
  // Answers rsc (with text as its reason, when given) without carrying the
  // request out: to the next count of each kind, or to every one.
  void Refuse(RequestKinds kinds, int rsc, int count = kEvery, const std::string& text = "");
  void SetAbsent(bool absent);
  void Heal();    // no more faults, present again
  void Forget();  // drops every registration, container and record

  const SentRequests& sent() const { return sent_; }
  bool IsRegistered(const std::string& device) const;
  // Registered, with a container to take its records.
  bool ReadyForRecords(const std::string& device) const;
  // The records stored for device, oldest first.
  std::vector<StoredRecord> Records(const std::string& device) const;
  // The gateways it stored something of.
  std::vector<std::string> Devices() const;

private:
  struct Fault {
    std::chrono::milliseconds delay{0};
    double dropShare = 0;
    int dropNext = 0;
    int refuseWith = 0;
    int refuseLeft = 0;  // kEvery: all
    std::string refuseText;
  };
  // What it keeps of one gateway.
  struct Gateway {
    explicit Gateway(size_t recordLimit) : records(recordLimit) {}
    std::string address;  // of its registration: /R/N/rn
    std::string app;      // of its <AE>, when it made one: /R/N/rn
    std::set<std::string> containers, policies;  // by address
    RecentMap<std::string> records;  // texts by name, in the order stored
  };
  struct Outcome {
    int rsc;
    std::string content;  // pc of a success; the reason of a refusal
  };

  Outcome CarryOut(const GatewayRequest& request);
  Outcome Register(const GatewayRequest& request);
  Outcome UpdateRegistration(const Gateway& gateway, const GatewayRequest& request) const;
  Outcome CreateApp(Gateway& gateway, const GatewayRequest& request) const;
  Outcome CreateChild(Gateway& gateway, const GatewayRequest& request) const;
  Outcome RetrieveRegistration(const Gateway& gateway, const GatewayRequest& request) const;
  Outcome StoreRecord(Gateway& gateway, const GatewayRequest& request);
  Gateway* Registration(const std::string& device);
  template <typename Change>
  void ForEachFault(RequestKinds kinds, Change change);
  // Whether the answer to a request of this kind is lost.
  bool Dropped(Fault& fault);

  const Limits limits_;
  SentRequests sent_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Gateway> gateways_;
  Fault faults_[kRequestKindCount];
  bool absent_ = false;
  std::mt19937 random_;
};

}  // namespace platform
}  // namespace kiv

#endif
