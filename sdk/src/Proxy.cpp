// kiv::Proxy and kiv::Data: the platform connection of a gateway over
// kiv::mqtt::Client, speaking the protocol of docs/protocol.md.
#include "kiv/Proxy.h"

#include "kiv/MqttClient.h"
#include "Log.h"
#include "Protocol.h"

#include <atomic>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>

namespace kiv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A failed Connect never returns sooner than this: the gateway calls Connect
// again at once, in a loop without a pause.
constexpr auto kMinimumFailedConnect = 1s;
// Requests remembered for Response; the oldest are forgotten beyond this (a
// retrieve that yields nothing is never answered, so entries can be left).
constexpr size_t kMaxPendingRequests = 1024;
constexpr auto kDeliveryTimeout = 10s;
constexpr auto kOfflineTimeout = 2s;

void Log(int level, int category, const char* function, int line, const std::string& text) {
  LogLine(level, category, "sdk", "sdk/Proxy", function, line, text);
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

}  // namespace

// ---- ProxyInfo -----------------------------------------------------------------

ProxyInfo::ProxyInfo(ConnectionType type, std::string key, std::string token, std::string serverURI)
    : type_(type),
      key_(std::move(key)),
      token_(std::move(token)),
      serverURI_(std::move(serverURI)) {}

void ProxyInfo::SetDeviceId(const std::string& deviceId) { deviceId_ = deviceId; }
void ProxyInfo::SetServiceEnabled(bool enabled) { serviceEnabled_ = enabled; }
void ProxyInfo::SetUsername(const std::string& username) { username_ = username; }
void ProxyInfo::SetPassword(const std::string& password) { password_ = password; }

// ---- Proxy::Impl ---------------------------------------------------------------

class Proxy::Impl {
public:
  explicit Impl(const ProxyInfo& info);
  ~Impl();

  void SetCallback(Callback& callback) { callback_ = &callback; }
  bool IsConnected() const {
    mqtt::Client* client = client_.load();
    return client != nullptr && client->IsConnected();
  }
  std::string Connect(int timeoutSeconds, bool cleanSession, ResultCallback* callback);
  void Disconnect();
  Result Response(const std::string& requestId, const std::string& content, int status,
                  bool complete, ResultCb* callback);
  Result Record(const std::string& body, const std::string& rqi, bool waitForDelivery);
  std::string NewRequestId();

  const std::string& deviceId() const { return deviceId_; }
  const std::string& platformId() const { return platformId_; }

private:
  std::string CreateClient(bool cleanSession);
  void OnMessage(const mqtt::Message& message);
  void OnRequest(const std::string& originator, const std::string& payload);
  void OnResponse(const std::string& payload);
  void OnConnected();
  struct Origin {
    std::string originator;  // topic level O of the request
    std::string from;        // its "fr", the response's "to"
  };
  void Remember(const std::string& rqi, const std::string& originator, const std::string& from);
  std::optional<Origin> PendingOrigin(const std::string& rqi);
  void AnswerUnanswered(const protocol::Request& request, int rsc, const std::string& reason);
  void Forget(const std::string& rqi);
  std::string Reply(const std::string& originator, const std::string& body);
  Callback* callback() const { return callback_.load(); }

  ProxyInfo info_;
  std::string deviceId_;
  std::string platformId_;
  std::string requestPrefix_;
  std::atomic<uint32_t> requestCounter_{0};
  std::atomic<Callback*> callback_{nullptr};
  // Written once, by the first Connect, before any event can arrive.
  std::unique_ptr<mqtt::Client> owner_;
  std::atomic<mqtt::Client*> client_{nullptr};
  std::string configError_;

  std::mutex pendingMutex_;
  std::unordered_map<std::string, Origin> pending_;
  std::deque<std::string> pendingOrder_;
};

Proxy::Impl::Impl(const ProxyInfo& info)
    : info_(info),
      deviceId_(info.GetDeviceId().empty() ? "kiv-" + RandomHex(12) : info.GetDeviceId()),
      platformId_(EnvOr("KIV_PLATFORM_ID", "platform")),
      requestPrefix_(RandomHex(8) + "-") {
  if (!protocol::IsTopicLevel(deviceId_)) {
    configError_ = "device id \"" + deviceId_ + "\" cannot stand in a topic (no /, + or #)";
  } else if (!protocol::IsTopicLevel(platformId_)) {
    configError_ = "KIV_PLATFORM_ID \"" + platformId_ + "\" cannot stand in a topic";
  }
}

Proxy::Impl::~Impl() {
  Disconnect();
  // The client goes first, while everything its last events may touch
  // (pending requests, the callback) still exists: it waits for them.
  owner_.reset();
  client_ = nullptr;
}

std::string Proxy::Impl::NewRequestId() {
  return requestPrefix_ + std::to_string(requestCounter_.fetch_add(1) + 1);
}

std::string Proxy::Impl::CreateClient(bool cleanSession) {
  mqtt::Options options;
  options.serverUri = info_.GetServerURI();
  options.clientId = deviceId_;
  options.cleanSession = cleanSession;
  // Without a user name and password of its own the gateway signs in with its
  // device id and token; the device key never leaves the gateway.
  options.username = info_.GetUsername().empty() ? deviceId_ : info_.GetUsername();
  if (!info_.GetPassword().empty()) {
    options.password = info_.GetPassword();
  } else if (!info_.GetToken().empty()) {
    options.password = info_.GetToken();
  }
  options.will = mqtt::Will{protocol::StatusTopic(deviceId_), "offline", 1, true};
  options.caFile = EnvOr("KIV_TLS_CAFILE", "");
  options.certFile = EnvOr("KIV_TLS_CERTFILE", "");
  options.keyFile = EnvOr("KIV_TLS_KEYFILE", "");
  options.tcpNoDelay = EnvOr("KIV_TCP_NODELAY", "1") != "0";  // 0 only to measure the difference
  try {
    owner_ = std::make_unique<mqtt::Client>(options);
  } catch (const std::exception& e) {
    return e.what();
  }
  owner_->OnMessage([this](const mqtt::Message& m) { OnMessage(m); });
  owner_->OnConnected([this](bool) { OnConnected(); });
  owner_->OnConnectionLost([this](const std::string& cause) {
    if (Callback* receiver = callback()) receiver->ConnectionLost(cause);
  });
  owner_->Subscribe(protocol::RequestFilter(deviceId_), 1);
  owner_->Subscribe(protocol::ResponseFilter(deviceId_), 1);
  client_ = owner_.get();
  return "";
}

std::string Proxy::Impl::Connect(int timeoutSeconds, bool cleanSession, ResultCallback* callback) {
  auto start = Clock::now();
  std::string error = configError_;
  if (error.empty() && client_.load() == nullptr) {
    error = CreateClient(cleanSession);
    if (!error.empty()) configError_ = error;
  }  // later calls keep the first call's cleanSession: the session is the client's
  if (error.empty() && !owner_->IsConnected()) {
    auto timeout = std::chrono::seconds(timeoutSeconds > 0 ? timeoutSeconds : 10);
    owner_->Connect(timeout, &error);
  }
  if (error.empty()) {
    if (callback) callback->OnSuccess(deviceId_);
    return "";
  }
  Log(-1, kLogError, "Connect", __LINE__, error);
  std::this_thread::sleep_until(start + kMinimumFailedConnect);  // pacing the caller's loop
  if (callback) callback->OnFailure(deviceId_, error);
  return error;
}

void Proxy::Impl::Disconnect() {
  mqtt::Client* client = client_.load();
  if (client == nullptr) return;
  if (client->IsConnected()) {
    std::string error;
    if (client->PublishAndWait(protocol::StatusTopic(deviceId_), "offline", 1, true,
                               kOfflineTimeout, &error) != 0) {
      Log(-1, kLogError, "Disconnect", __LINE__, "could not publish offline status: " + error);
    }
  }
  client->Disconnect();
}

void Proxy::Impl::OnConnected() {
  std::string error;
  if (owner_->Publish(protocol::StatusTopic(deviceId_), "online", 1, true, &error) != 0) {
    Log(-1, kLogError, "Connected", __LINE__, "could not publish online status: " + error);
  }
  Log(1, 0, "Connected", __LINE__, "connected to " + info_.GetServerURI() + " as " + deviceId_);
  if (Callback* receiver = callback()) receiver->Connected();
}

void Proxy::Impl::OnMessage(const mqtt::Message& message) {
  if (TraceLevel() >= 3)
    Log(3, 0, "MessageArrived", __LINE__, message.topic + " " + message.payload);
  auto originator = protocol::RequestOriginator(message.topic, deviceId_);
  if (originator && message.retained) {
    // A retained request would be replayed on every reconnection (a control
    // command carried out again and again): requests are events, not state.
    Log(-1, kLogWarning, "RequestArrived", __LINE__,
        "retained request from " + *originator + " ignored");
    if (Callback* receiver = callback()) receiver->MessageArrived(message.payload);
  } else if (originator) {
    OnRequest(*originator, message.payload);
  } else if (protocol::IsResponseTo(message.topic, deviceId_)) {
    OnResponse(message.payload);
  } else if (Callback* receiver = callback()) {
    receiver->MessageArrived(message.payload);
  }
}

void Proxy::Impl::OnRequest(const std::string& originator, const std::string& payload) {
  protocol::Request request = protocol::ParseRequest(payload);
  Callback* receiver = callback();
  if (!request.error.empty()) {
    Log(-1, kLogWarning, "RequestArrived", __LINE__,
        "bad request from " + originator + ": " + request.error);
    if (!request.rqi.empty()) {
      Reply(originator,
            protocol::ErrorBody(request.rqi, protocol::kRscBadRequest, deviceId_,
                                request.from.empty() ? originator : request.from, request.error));
    }
    if (receiver) receiver->MessageArrived(payload);
    return;
  }
  if (TraceLevel() >= 2) {
    Log(2, 0, "RequestArrived", __LINE__,
        "request " + request.rqi + " op " + std::to_string(request.wireOperation) + " from " +
            originator);
  }
  Remember(request.rqi, originator, request.from);
  try {
    if (receiver) {
      receiver->RequestArrived(request.rqi, request.operation, request.targets, request.contents);
    }
  } catch (const std::exception& e) {
    Log(-1, kLogError, "RequestArrived", __LINE__,
        "request " + request.rqi + " failed: " + e.what());
    AnswerUnanswered(request, protocol::kRscInternalError,
                     std::string("the gateway failed: ") + e.what());
    return;
  } catch (...) {
    Log(-1, kLogError, "RequestArrived", __LINE__, "request " + request.rqi + " failed");
    AnswerUnanswered(request, protocol::kRscInternalError, "the gateway failed on this request");
    return;
  }
  if (std::optional<int> rsc = protocol::DefaultStatus(request.wireOperation)) {
    AnswerUnanswered(request, *rsc, "");
  }
}

// A create, update, delete or notify that the gateway took without answering
// is acknowledged with its operation's status, so the platform learns it was
// handed over. A retrieve that found nothing stays unanswered: the gateway
// sends no reply for it, and the platform's timeout tells it so.
void Proxy::Impl::AnswerUnanswered(const protocol::Request& request, int rsc,
                                   const std::string& reason) {
  std::optional<Origin> origin = PendingOrigin(request.rqi);
  if (!origin) return;
  Forget(request.rqi);
  const std::string& to = origin->from.empty() ? origin->originator : origin->from;
  bool success = rsc >= 2000 && rsc < 3000;
  Reply(origin->originator, success ? protocol::ResponseBody(request.rqi, rsc, deviceId_, to, "")
                                    : protocol::ErrorBody(request.rqi, rsc, deviceId_, to, reason));
}

void Proxy::Impl::OnResponse(const std::string& payload) {
  Callback* receiver = callback();
  if (auto status = protocol::ParseResponseStatus(payload)) {
    if (TraceLevel() >= 2) {
      Log(2, 0, "ResponseArrived", __LINE__,
          "response " + status->rqi + " rsc " + std::to_string(status->rsc));
    }
    if (receiver) receiver->ResponseArrived(status->rqi, status->rsc);
  } else if (receiver) {
    receiver->MessageArrived(payload);
  }
}

std::optional<Proxy::Impl::Origin> Proxy::Impl::PendingOrigin(const std::string& rqi) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  auto found = pending_.find(rqi);
  if (found == pending_.end()) return std::nullopt;
  return found->second;
}

// The name leaves the order list too: left there, it would evict the entry
// of a later request that reuses the id. Searched from the back, where a
// request answered from inside RequestArrived stands.
void Proxy::Impl::Forget(const std::string& rqi) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  if (pending_.erase(rqi) == 0) return;
  for (auto queued = pendingOrder_.end(); queued != pendingOrder_.begin();) {
    if (*--queued == rqi) {
      pendingOrder_.erase(queued);
      return;
    }
  }
}

void Proxy::Impl::Remember(const std::string& rqi, const std::string& originator,
                           const std::string& from) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  if (pending_.count(rqi) == 0) pendingOrder_.push_back(rqi);
  pending_[rqi] = Origin{originator, from};
  while (pendingOrder_.size() > kMaxPendingRequests) {
    pending_.erase(pendingOrder_.front());
    pendingOrder_.pop_front();
  }
}

std::string Proxy::Impl::Reply(const std::string& originator, const std::string& body) {
  mqtt::Client* client = client_.load();
  std::string error = "not connected";
  if (client != nullptr && client->Publish(protocol::ResponseTopic(originator, deviceId_), body, 1,
                                           false, &error) == 0) {
    return "";
  }
  Log(-1, kLogError, "Response", __LINE__, "response to " + originator + " not sent: " + error);
  return error;
}

Proxy::Result Proxy::Impl::Response(const std::string& requestId, const std::string& content,
                                    int status, bool complete, ResultCb* callback) {
  Result result;
  result.requestId = requestId;
  std::optional<int> rsc = protocol::ResponseStatusCode(status);
  std::optional<Origin> origin = PendingOrigin(requestId);
  if (!rsc) {
    result.errorCode = mqtt::kErrorInvalid;
    result.message = "status " + std::to_string(status) + " has no meaning in a response";
  } else if (!origin) {
    result.errorCode = mqtt::kErrorInvalid;
    result.message = "no request " + requestId + " waits for an answer";
  } else {
    const std::string& to = origin->from.empty() ? origin->originator : origin->from;
    result.message =
        Reply(origin->originator, protocol::ResponseBody(requestId, *rsc, deviceId_, to, content));
    if (!result.message.empty()) {
      result.errorCode = IsConnected() ? mqtt::kErrorRefused : mqtt::kErrorNotConnected;
    } else if (complete) {
      Forget(requestId);
    }
  }
  if (callback) {
    if (result.errorCode == 0) {
      callback->OnSuccess(requestId);
    } else {
      callback->OnFailure(requestId, result.errorCode);
    }
  }
  return result;
}

Proxy::Result Proxy::Impl::Record(const std::string& body, const std::string& rqi,
                                  bool waitForDelivery) {
  Result result;
  result.requestId = rqi;
  mqtt::Client* client = client_.load();
  if (client == nullptr) {
    result.errorCode = mqtt::kErrorNotConnected;
    result.message = "not connected";
    return result;
  }
  std::string topic = protocol::RequestTopic(deviceId_, platformId_);
  result.errorCode = waitForDelivery ? client->PublishAndWait(topic, body, 1, false,
                                                              kDeliveryTimeout, &result.message)
                                     : client->Publish(topic, body, 1, false, &result.message);
  if (result.errorCode != 0)
    Log(-1, kLogError, "Data", __LINE__, "record not sent: " + result.message);
  return result;
}

// ---- Proxy and Data ------------------------------------------------------------

Proxy::Proxy(const ProxyInfo& info) : impl_(std::make_unique<Impl>(info)) {}
Proxy::~Proxy() = default;

void Proxy::SetCallback(Callback& callback) { impl_->SetCallback(callback); }
bool Proxy::IsConnected() const { return impl_->IsConnected(); }

std::string Proxy::Connect(int timeoutSeconds, bool cleanSession, ResultCallback* callback) {
  return impl_->Connect(timeoutSeconds, cleanSession, callback);
}

void Proxy::Disconnect() { impl_->Disconnect(); }

Proxy::Result Proxy::Response(const std::string& requestId, const std::string& content, int status,
                              bool complete, ResultCb* callback) {
  return impl_->Response(requestId, content, status, complete, callback);
}

Data::Data(Proxy* proxy) : proxy_(proxy) {}

Proxy::Result Data::Create(const std::string& text, bool waitForDelivery) {
  if (proxy_ == nullptr) return Proxy::Result{"", "no proxy", mqtt::kErrorInvalid};
  Proxy::Impl& impl = *proxy_->impl_;
  std::string rqi = impl.NewRequestId();
  std::string to = impl.platformId() + "/" + impl.deviceId();
  return impl.Record(protocol::RecordCreateBody(rqi, impl.deviceId(), to, text), rqi,
                     waitForDelivery);
}

int Data::NotifyCreating(const std::string& text, NotificationEventType eventType) {
  if (proxy_ == nullptr) return mqtt::kErrorInvalid;
  Proxy::Impl& impl = *proxy_->impl_;
  std::string rqi = impl.NewRequestId();
  std::string body = protocol::RecordNotifyBody(rqi, impl.deviceId(), impl.platformId(), text,
                                                static_cast<int>(eventType));
  return impl.Record(body, rqi, false).errorCode;
}

}  // namespace kiv
