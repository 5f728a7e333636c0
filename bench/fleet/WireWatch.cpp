#include "WireWatch.h"

#include "Protocol.h"

#include <stdexcept>

namespace fleet {
namespace {

using kiv::platform::RequestKind;

bool Stored(int rsc) { return rsc == kiv::protocol::kRscCreated || rsc == kiv::protocol::kRscConflict; }

constexpr size_t kMaxSeconds = 24 * 3600;

}  // namespace

WireWatch::WireWatch(const std::string& brokerUri, const std::string& registrarId) {
  kiv::platform::Platform::Options options;
  options.serverUri = brokerUri;
  options.originator = kiv::platform::FreshOriginator("fleet-watch");
  options.collect = false;
  options.reconnectAtMost = kReconnectAtMost;
  options.onMessage = [this](const kiv::mqtt::Message& message) { Arrived(message); };
  platform_ = std::make_unique<kiv::platform::Platform>(options);
  std::string error;
  if (platform_->Connect(std::chrono::seconds(10), &error) != 0 ||
      platform_->Subscribe(kiv::protocol::RequestTopic("+", registrarId), &error) != 0 ||
      platform_->Subscribe(kiv::protocol::ResponseTopic("+", registrarId), &error) != 0 ||
      platform_->Subscribe(kiv::protocol::StatusTopic("+"), &error) != 0) {
    throw std::runtime_error("the watch cannot follow the broker: " + error);
  }
}

void WireWatch::Arrived(const kiv::mqtt::Message& message) {
  const Clock::time_point now = Clock::now();
  std::vector<std::string> levels = kiv::protocol::Levels(message.topic);
  if (levels.size() == 4 && levels[1] == "kiv" && levels[2] == "status") {
    if (message.payload != "online") return;
    std::lock_guard<std::mutex> lock(mutex_);
    Since& since = since_[levels[3]];
    if (!since.online) {
      since.online = now;
      since.onlineBeforeUs = message.retained;
    }
    return;
  }
  if (levels.size() == 6 && levels[2] == "resp") return Answer(message.payload, now);
  if (std::optional<kiv::platform::GatewayRequest> request =
          kiv::platform::ParseGatewayRequest(message.topic, message.payload)) {
    Request(*request, now);
  }
}

WireWatch::Second& WireWatch::At(Clock::time_point now) {
  size_t second = static_cast<size_t>(std::chrono::duration_cast<std::chrono::seconds>(now - began_).count());
  second = std::min(second, kMaxSeconds);
  if (seconds_.size() <= second) seconds_.resize(second + 1);
  return seconds_[second];
}

void WireWatch::Request(const kiv::platform::GatewayRequest& request, Clock::time_point now) {
  sent_.Count(request);
  std::lock_guard<std::mutex> lock(mutex_);
  ++At(now).requests[kiv::platform::KindIndex(request.kind)];
  pending_[request.rqi] = Pending{request.device, request.kind, now, false};
  ++requested_;
  if (request.kind == kiv::platform::kRegistrationCreate) ++since_[request.device].registrationCreates;
}

void WireWatch::Answer(const std::string& payload, Clock::time_point now) {
  std::optional<kiv::protocol::Reply> reply = kiv::protocol::ParseReply(payload);
  if (!reply) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Pending* pending = pending_.Find(reply->rqi);
  if (pending == nullptr || pending->answered) return;
  pending->answered = true;
  ++answered_;
  ++answers_[{pending->kind, reply->rsc}];
  if (now - pending->sent > kLate) ++late_;
  if (!Stored(reply->rsc)) return;
  Since& since = since_[pending->device];
  if (pending->kind == kiv::platform::kContainerCreate) since.registered = now;
  if (pending->kind != kiv::platform::kRecordCreate) return;
  if (!since.delivering) since.delivering = now;
  if (reply->rsc == kiv::protocol::kRscCreated) {
    ++At(now).stored;
    ++storedTotal_;
  }
}

void WireWatch::Mark() {
  std::lock_guard<std::mutex> lock(mutex_);
  since_.clear();
}

std::map<std::string, WireWatch::Since> WireWatch::SinceMark() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return since_;
}

std::vector<size_t> WireWatch::PerSecond(kiv::platform::RequestKinds kinds, size_t from, size_t to) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<size_t> counts;
  for (size_t second = from; second < to; ++second) {
    size_t count = 0;
    for (size_t kind = 0; kind < kiv::platform::kRequestKindCount && second < seconds_.size(); ++kind) {
      if ((kinds & (1u << kind)) != 0) count += seconds_[second].requests[kind];
    }
    counts.push_back(count);
  }
  return counts;
}

size_t WireWatch::StoredTotal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return storedTotal_;
}

std::map<std::pair<RequestKind, int>, size_t> WireWatch::Answers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return answers_;
}

size_t WireWatch::AnswersLaterThan() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return late_;
}

size_t WireWatch::Unanswered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requested_ - answered_;
}

}  // namespace fleet
