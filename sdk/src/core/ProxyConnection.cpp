// Proxy::Impl's connection: the MQTT client it makes at the first Connect,
// how its events reach the loop, and the stop.
#include "ProxyCore.h"

#include "Format.h"
#include "Guarded.h"
#include "Log.h"
#include "Protocol.h"

#include <algorithm>

namespace kiv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A failed Connect never returns sooner than this: the gateway calls Connect
// again at once, in a loop without a pause.
constexpr auto kMinimumFailedConnect = 1s;
constexpr auto kOfflineTimeout = 2s;
constexpr size_t kAnswerSlack = 64 * 1024;  // an answer's envelope around a record

}  // namespace

std::string Proxy::Impl::CreateClient(bool cleanSession) {
  mqtt::Options options;
  options.serverUri = info_.GetServerURI();
  options.clientId = deviceId_;
  options.cleanSession = cleanSession;
  options.keepAliveSeconds = keepAliveSeconds_;
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
  // A request past its bound is refused from its first bytes, so no more of
  // any message is kept; only the registrar's answers may be larger: the
  // answer to a record echoes it, at most the outbox's bound.
  const size_t answerBytes = std::max(maxRequestBytes_, limits_.bytes) + kAnswerSlack;
  options.maxPayloadBytesOn = [this, answerBytes](const std::string& topic) {
    return topic == registrarAnswers_ ? answerBytes : maxRequestBytes_;
  };
  std::string error;
  owner_ = MakeClient(options, &error);
  if (!owner_) return error;
  HandOverToLoop(*owner_);
  owner_->Subscribe(protocol::RequestFilter(deviceId_), 1);
  owner_->Subscribe(registrarAnswers_, 1);
  client_ = owner_.get();
  return "";
}

// The client's handlers run on the MQTT library's threads, under its lock:
// they only copy what came into the loop's mailbox. A message the full
// mailbox cannot take is counted, and said on the loop.
void Proxy::Impl::HandOverToLoop(mqtt::Client& client) {
  client.OnMessage([this](mqtt::Message& message) {
    size_t bytes = message.topic.size() + message.payload.size();
    auto handle = [this, message = std::move(message)] { OnMessage(message); };
    if (!loop_.PostMessage(std::move(handle), bytes)) ++droppedMessages_;
  });
  client.OnConnected([this](bool) { loop_.Post([this] { OnConnected(); }); });
  client.OnConnectionLost([this](const std::string& cause) {
    loop_.Post([this, cause] { OnConnectionLost(cause); });
  });
}

// "" with a client to connect, else why there is none: a setting that makes
// connecting impossible, or a Disconnect.
std::string Proxy::Impl::PrepareClient(bool cleanSession) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  if (disconnected_) return "disconnected";
  if (configError_.empty() && client_.load() == nullptr) configError_ = CreateClient(cleanSession);
  return configError_;
}  // later calls keep the first call's cleanSession: the session is the client's

std::string Proxy::Impl::Connect(int timeoutSeconds, bool cleanSession, ResultCallback* callback) {
  auto start = Clock::now();
  std::string error;
  bool refused = false;  // the client logs refused logins itself, as they back off
  {
    std::lock_guard<std::mutex> serial(connectMutex_);
    error = PrepareClient(cleanSession);
    if (error.empty() && !owner_->IsConnected()) {
      auto timeout = std::chrono::seconds(timeoutSeconds > 0 ? timeoutSeconds : 10);
      refused = owner_->Connect(timeout, &error) == mqtt::kErrorRefused;
    }
    if (error.empty()) {
      connectFailures_.Reset();
    } else if (!disconnected_ && !refused) {
      LogHeldBack(connectFailures_, kLogError, "Connect", __LINE__, error);
    }
  }
  // The caller hears the outcome without any lock of ours held, once the
  // loop took the connection ("online" published, registration begun).
  if (error.empty()) {
    loop_.Call([] {});
    if (callback) callback->OnSuccess(deviceId_);
    return "";
  }
  PaceFailedConnect(start);
  if (callback) callback->OnFailure(deviceId_, error);
  return error;
}

// Paces the caller's loop, unless the proxy is stopping.
void Proxy::Impl::PaceFailedConnect(Clock::time_point start) {
  std::unique_lock<std::mutex> lock(stateMutex_);
  stopWake_.wait_until(lock, start + kMinimumFailedConnect, [&] { return disconnected_.load(); });
}

void Proxy::Impl::AnnounceOffline(mqtt::Client& client) {
  if (!client.IsConnected()) return;
  std::string error;
  if (client.PublishAndWait(protocol::StatusTopic(deviceId_), "offline", 1, true, kOfflineTimeout,
                            &error) != 0) {
    LogAt(-1, kLogError, "Disconnect", __LINE__, Format("could not publish offline status: %s", error.c_str()));
  }
}

// Also from another thread while Connect waits (a stop): that Connect then
// returns at once, and so does every later one. Returns once no callback of
// the gateway runs, and none will.
void Proxy::Impl::Disconnect() {
  if (loop_.OnLoopThread()) {
    LogAt(-1, kLogError, "Disconnect", __LINE__, "Disconnect called from inside a callback: ignored");
    return;
  }
  mqtt::Client* client;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    disconnected_ = true;
    client = client_.load();
  }
  stopWake_.notify_all();
  if (client != nullptr) {
    AnnounceOffline(*client);
    client->Disconnect();
  }
  loop_.Call([this] {
    registration_.Disconnected();
    outbox_.Close();
    callbacksClosed_ = true;
  });
}

}  // namespace kiv
