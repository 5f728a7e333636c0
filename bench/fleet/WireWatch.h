// What the fleet benchmark sees on the broker, whichever CSE answers: every
// request the gateways send their registrar, the registrar's answers
// (matched by rqi) and the gateways' status. Counted per second since the
// watch began, and per gateway since the last Mark().
#ifndef KIV_BENCH_WIRE_WATCH_H
#define KIV_BENCH_WIRE_WATCH_H

#include "PlatformClient.h"
#include "SentRequests.h"

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace fleet {

using Clock = std::chrono::steady_clock;

class WireWatch {
public:
  // What happened to one gateway since the last mark.
  struct Since {
    std::optional<Clock::time_point> online;      // first "online"
    bool onlineBeforeUs = false;  // it came before the watch was back: its time is the watch's
    std::optional<Clock::time_point> registered;  // latest container create answered 2001/4105
    std::optional<Clock::time_point> delivering;  // first record answered 2001/4105
    int registrationCreates = 0;
  };

  // How soon the watch (and the stand-in registrar) is back after a broker
  // restart: before the fleet, whose first attempts come later.
  static constexpr std::chrono::milliseconds kReconnectAtMost{100};

  // Connects to the broker and follows the gateways of registrar; throws
  // std::runtime_error when it cannot.
  WireWatch(const std::string& brokerUri, const std::string& registrarId);

  void Mark();
  Clock::time_point began() const { return began_; }
  std::map<std::string, Since> SinceMark() const;
  // Requests of these kinds in each second from..to (seconds since began).
  std::vector<size_t> PerSecond(kiv::platform::RequestKinds kinds, size_t from, size_t to) const;
  size_t StoredTotal() const;
  const kiv::platform::SentRequests& sent() const { return sent_; }
  // Answers by request kind and status; answers that came later than late.
  std::map<std::pair<kiv::platform::RequestKind, int>, size_t> Answers() const;
  size_t AnswersLaterThan() const;
  static constexpr std::chrono::seconds kLate{10};  // the SDK's deadline today
  // Requests not answered (so far).
  size_t Unanswered() const;

private:
  // Per second since the watch began.
  struct Second {
    std::array<size_t, kiv::platform::kRequestKindCount> requests{};
    size_t stored = 0;  // records answered 2001
  };
  struct Pending {
    std::string device;
    kiv::platform::RequestKind kind = kiv::platform::kOtherRequest;
    Clock::time_point sent;
    bool answered = false;
  };
  void Arrived(const kiv::mqtt::Message& message);
  void Request(const kiv::platform::GatewayRequest& request, Clock::time_point now);
  void Answer(const std::string& payload, Clock::time_point now);
  Second& At(Clock::time_point now);

  const Clock::time_point began_ = Clock::now();
  kiv::platform::SentRequests sent_;
  mutable std::mutex mutex_;
  std::vector<Second> seconds_;
  std::map<std::string, Since> since_;
  kiv::platform::RecentMap<Pending> pending_{1000000};
  std::map<std::pair<kiv::platform::RequestKind, int>, size_t> answers_;
  size_t late_ = 0;
  size_t storedTotal_ = 0;
  size_t requested_ = 0, answered_ = 0;
  std::unique_ptr<kiv::platform::Platform> platform_;  // last: it stops before what it fills
};

}  // namespace fleet

#endif
