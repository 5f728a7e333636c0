// The subscriptions of kiv::mqtt::Client: the filters kept for every
// session, sent now or with the next session's resubscription, and that
// resubscription's outcome. ClientImpl.h has the rules.
#include "ClientImpl.h"
#include "Format.h"

#include <algorithm>

namespace kiv {
namespace mqtt {

bool Client::Impl::SessionTookFilters() const {
  ReconnectMachine::State state = machine_.state();
  return state == ReconnectMachine::State::kSubscribing ||
         state == ReconnectMachine::State::kConnected;
}

void Client::Impl::RegisterFilter(const std::string& filter, int qos) {
  auto known = std::find_if(filters_.begin(), filters_.end(),
                            [&](const auto& entry) { return entry.first == filter; });
  if (known != filters_.end()) {
    known->second = qos;
  } else {
    filters_.emplace_back(filter, qos);
  }
}

// Whether a filter goes with the next resubscription or is sent now is
// decided under mutex_, where a new session takes the filters, so that none
// falls between. A filter sent now is registered once the broker took it;
// when a new session began meanwhile (it did not take this filter), or the
// connection was lost, the decision is made again.
int Client::Impl::Subscribe(const std::string& filter, int qos, std::string* error) {
  if (filter.empty() || qos < 0 || qos > 2) {
    return Fail(kErrorInvalid, Format("bad subscription \"%s\" QoS %d", filter.c_str(), qos), error);
  }
  for (;;) {
    uint64_t session;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!SessionTookFilters()) {
        RegisterFilter(filter, qos);  // subscribed when the next connection is up
        return kOk;
      }
      session = sessions_;
    }
    std::string failure;
    int rc = SubscribeNow(filter, qos, !InsideCallback(), &failure);
    std::lock_guard<std::mutex> lock(mutex_);
    if (rc == kOk) RegisterFilter(filter, qos);
    if (session == sessions_ && SessionTookFilters()) {
      return rc == kOk ? kOk : Fail(rc, failure, error);
    }
  }
}

// Every filter again, in one request; the connection is reported once the
// broker answered it (or at once when there are none).
void Client::Impl::Resubscribe(const std::list<std::pair<std::string, int>>& filters) {
  if (filters.empty()) return MarkConnected();
  std::vector<char*> topics(filters.size());
  std::vector<int> qos(filters.size());
  size_t i = 0;
  for (auto& [filter, q] : filters) {
    topics[i] = const_cast<char*>(filter.c_str());
    qos[i++] = q;
  }
  MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
  response.onSuccess = OnResubscribed;
  response.onFailure = OnResubscribeFailed;
  response.context = this;
  int rc = MQTTAsync_subscribeMany(handle_, static_cast<int>(topics.size()), topics.data(),
                                   qos.data(), &response);
  if (rc != MQTTASYNC_SUCCESS) {
    LogError("Connect", __LINE__,
             Format("subscribing again failed: %s", ErrorText(rc, nullptr).c_str()));
    MarkConnected();
  }
}

void Client::Impl::OnResubscribed(void* context, MQTTAsync_successData*) {
  auto* self = static_cast<Impl*>(context);
  CallbackScope scope(self);
  if (scope) self->MarkConnected();
}

void Client::Impl::OnResubscribeFailed(void* context, MQTTAsync_failureData* data) {
  auto* self = static_cast<Impl*>(context);
  CallbackScope scope(self);
  if (!scope) return;
  // A cluster node may take the login and refuse the session's queue: said
  // once a minute, however often it comes.
  std::string reason = Format("subscribing again failed: %s",
                              data ? ErrorText(data->code, data->message).c_str() : "");
  std::optional<std::string> line;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    line = self->resubscribeFailures_.Next(reason, Clock::now());
  }
  if (line) LogError("Connect", __LINE__, *line);
  self->MarkConnected();  // the connection itself is up; publishing still works
}

}  // namespace mqtt
}  // namespace kiv
