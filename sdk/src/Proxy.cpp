// kiv::Proxy and kiv::Data: the platform connection of a gateway over
// kiv::mqtt::Client. The gateway is a small oneM2M CSE registered with the
// platform's CSE; the protocol is described in docs/protocol.md.
#include "kiv/Proxy.h"

#include "kiv/MqttClient.h"
#include "Cse.h"
#include "Log.h"
#include "Originators.h"
#include "RandomHex.h"
#include "Protocol.h"
#include "Registrar.h"
#include "RepeatedLine.h"
#include "RequestMapping.h"
#include "StateFolder.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <unordered_map>

namespace kiv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A failed Connect never returns sooner than this: the gateway calls Connect
// again at once, in a loop without a pause.
constexpr auto kMinimumFailedConnect = 1s;
// A Connect that fails for the same reason as the last one says so at most
// this often: the gateway calls Connect every second while a setting makes
// connecting impossible, and its log is in a router's RAM.
constexpr auto kRepeatedFailureInterval = 60s;
// Requests remembered for Response; the oldest are forgotten beyond this (a
// retrieve that yields nothing is never answered, so entries can be left).
constexpr size_t kMaxPendingRequests = 1024;
constexpr auto kDeliveryTimeout = 10s;
constexpr auto kOfflineTimeout = 2s;
constexpr char kSavedRecordsFile[] = "records.queue";
// Requests from originators that are not allowed: at most one line per this.
constexpr auto kRefusedOriginatorLogInterval = 60s;

// Set while the SDK runs one of its handlers on the MQTT library's thread:
// a call that would wait for that thread must not wait there.
thread_local bool t_inHandler = false;

// A request id is unique per originator only: a pending request is known by
// both.
struct PendingKey {
  std::string rqi;
  std::string originator;
  bool operator<(const PendingKey& other) const {
    return std::tie(rqi, originator) < std::tie(other.rqi, other.originator);
  }
  bool operator==(const PendingKey& other) const {
    return rqi == other.rqi && originator == other.originator;
  }
};

// The request whose RequestArrived runs on this thread: an answer given from
// inside it goes to that request, also when another originator's request
// waits under the same id.
thread_local const PendingKey* t_answering = nullptr;

struct AnsweringScope {
  explicit AnsweringScope(const PendingKey& key) { t_answering = &key; }
  ~AnsweringScope() { t_answering = nullptr; }
};

template <typename Handler>
auto InHandler(Handler handler) {
  return [handler](auto&&... arguments) {
    t_inHandler = true;
    handler(std::forward<decltype(arguments)>(arguments)...);
    t_inHandler = false;
  };
}

void Log(int level, int category, const char* function, int line, const std::string& text) {
  LogLine(level, category, "sdk", "sdk/Proxy", function, line, text);
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

// The registrar is named by its CSE-ID (with or without its slash) and its
// CSEBase name.
protocol::CseNames NamesFor(const std::string& device) {
  protocol::CseNames names;
  names.device = device;
  names.registrarId = EnvOr("KIV_PLATFORM_ID", protocol::kDefaultRegistrarId);
  if (names.registrarId[0] == '/') names.registrarId.erase(0, 1);
  names.registrarName = EnvOr("KIV_PLATFORM_CSE_NAME", protocol::kDefaultRegistrarName);
  return names;
}

// Where the queue of records not yet stored is kept across a restart: the
// service's state folder, or nowhere when the program runs without one.
std::string SavedRecordsPath() { return StateFilePath(kSavedRecordsFile); }

// The device id given, else the SDK's own (kept across restarts where a
// state folder is).
std::string DeviceIdOf(const ProxyInfo& info) {
  if (!info.GetDeviceId().empty()) return info.GetDeviceId();
  std::string problem;
  std::string id = GeneratedDeviceId(&problem);
  if (!problem.empty()) Log(-1, kLogError, "Proxy", __LINE__, problem);
  return id;
}

// A record's content instance name: unique to the record, as its id is.
std::string RecordName(const std::string& id) { return "rec-" + id; }

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

class KIV_SDK_HIDDEN Proxy::Impl {
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
  Result Record(const std::string& text, bool waitForDelivery);

private:
  struct Origin {
    std::string originator;  // topic level O of the request
    std::string from;        // its "fr", the response's "to"
    const std::string& to() const { return from.empty() ? originator : from; }
  };
  struct Pending {
    std::string from;
    uint64_t arrival;  // order of arrival, the oldest first
  };

  std::string NewRequestId();
  std::string PrepareClient(bool cleanSession);
  std::string CreateClient(bool cleanSession);
  // Logs the failure (a refused login the client logged already) and paces
  // the caller's loop, unless a Disconnect ends the wait.
  void ConnectFailed(const std::string& error, Clock::time_point start, bool refused);
  void OnMessage(const mqtt::Message& message);
  void OnRequest(const std::string& originator, const std::string& payload);
  void RefuseOriginator(const std::string& originator, const protocol::Request& request);
  void ServeOwnResource(const protocol::Request& request, const std::string& originator);
  void PassToGateway(protocol::Request& request, const std::string& originator);
  void OnResponse(const std::string& payload);
  void OnConnected();
  void OnConnectionLost(const std::string& cause);
  void Remember(const PendingKey& key, const std::string& from);
  std::optional<PendingKey> KeyOfAnswer(const std::string& rqi);
  std::optional<Origin> Take(const PendingKey& key, bool leaveWaiting = false);
  void AnswerUnanswered(const PendingKey& key, int rsc, const std::string& reason);
  std::string Reply(const std::string& originator, const std::string& body);
  Callback* callback() const { return callback_.load(); }
  std::string PointOfAccessNow() const;

  // The registration and the records, driven by Registrar: its outputs are
  // carried out here, without registrarMutex_ held (sending may wait for the
  // MQTT library).
  void Perform(const Registrar::Output& output);
  std::string StepBody(const Registrar::Request& request) const;
  void SendToRegistrar(const std::string& body, const char* what);
  void RegistrarLoop();
  void StopRegistrarLoop();
  Result WaitUntilStored(Result result);
  void RestoreSavedRecords();
  void SaveRecords();

  ProxyInfo info_;
  std::string deviceId_;
  protocol::CseNames names_;
  std::string registrarTopic_;  // where the registration and the records go
  // Where the registrar's answers come: the only responses the gateway takes,
  // so that another client cannot answer its records.
  std::string registrarAnswers_;
  // The broker connected to, as the registrar must reach the gateway: with a
  // list of brokers it changes at each failover.
  mutable std::mutex poaMutex_;
  std::string poa_;
  std::string createdAt_;
  std::string requestPrefix_;
  std::atomic<uint32_t> requestCounter_{0};
  std::atomic<Callback*> callback_{nullptr};
  // One Connect at a time: a second caller waits for the first.
  std::mutex connectMutex_;
  // The client is made by the first Connect under stateMutex_, before any
  // event can arrive; Disconnect marks the proxy stopped under it, so that a
  // Connect either sees the stop or has a client that Disconnect closes.
  std::mutex stateMutex_;
  std::condition_variable stopWake_;
  bool disconnected_ = false;
  std::unique_ptr<mqtt::Client> owner_;
  std::atomic<mqtt::Client*> client_{nullptr};
  std::string configError_;
  RepeatedLine connectFailures_{kRepeatedFailureInterval};  // under connectMutex_
  std::string configWarning_;  // settings that were not usable, their defaults taken
  const protocol::OriginatorAllowList allowed_;
  const size_t maxRequestBytes_;
  RepeatedLine refusedOriginatorLog_{kRefusedOriginatorLogInterval};  // on the MQTT receive thread

  // Requests passed to the gateway and not yet answered; every answer takes
  // its request out under pendingMutex_, so that one request gets one answer.
  std::mutex pendingMutex_;
  std::map<PendingKey, Pending> pending_;
  std::deque<PendingKey> pendingOrder_;
  uint64_t arrivals_ = 0;

  std::mutex registrarMutex_;
  std::condition_variable registrarWake_;
  Registrar registrar_;
  bool stopping_ = false;
  std::thread registrarThread_;
  // Records whose Create waits until they are stored, with their final rsc.
  std::condition_variable recordAnswered_;
  std::unordered_map<std::string, std::optional<int>> awaited_;
  std::atomic<bool> notConnectedLogged_{false};  // once per outage
  std::string savedRecordsPath_;
};

Proxy::Impl::Impl(const ProxyInfo& info)
    : info_(info),
      deviceId_(DeviceIdOf(info)),
      names_(NamesFor(deviceId_)),
      registrarTopic_(protocol::RequestTopic(deviceId_, names_.registrarId)),
      registrarAnswers_(protocol::ResponseTopic(deviceId_, names_.registrarId)),
      createdAt_(protocol::Timestamp(std::time(nullptr))),
      requestPrefix_(RandomHex(8) + "-"),
      allowed_(names_.registrarId, EnvOr("KIV_ALLOWED_ORIGINATORS", "")),
      maxRequestBytes_(protocol::MaxRequestBytesFromEnvironment(&configWarning_)),
      registrar_(Registrar::Timing(), RecordQueueLimitsFromEnvironment(&configWarning_),
                 [this] { return NewRequestId(); }),
      savedRecordsPath_(SavedRecordsPath()) {
  configError_ = protocol::CheckNames(names_);
  if (!configWarning_.empty()) Log(-1, kLogError, "Proxy", __LINE__, configWarning_);
  Log(1, 0, "Proxy", __LINE__, "requests are taken from " + allowed_.Describe());
  RestoreSavedRecords();
}

Proxy::Impl::~Impl() {
  Disconnect();
  StopRegistrarLoop();
  // The client goes first, while everything its last events may touch
  // (pending requests, the callback) still exists: it waits for them.
  owner_.reset();
  client_ = nullptr;
  SaveRecords();
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
  owner_->OnMessage(InHandler([this](const mqtt::Message& m) { OnMessage(m); }));
  owner_->OnConnected(InHandler([this](bool) { OnConnected(); }));
  owner_->OnConnectionLost(InHandler([this](const std::string& cause) { OnConnectionLost(cause); }));
  owner_->Subscribe(protocol::RequestFilter(deviceId_), 1);
  owner_->Subscribe(registrarAnswers_, 1);
  registrarThread_ = std::thread([this] { RegistrarLoop(); });
  client_ = owner_.get();
  return "";
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
  std::lock_guard<std::mutex> serial(connectMutex_);
  std::string error = PrepareClient(cleanSession);
  bool refused = false;  // the client logs refused logins itself, as they back off
  if (error.empty() && !owner_->IsConnected()) {
    auto timeout = std::chrono::seconds(timeoutSeconds > 0 ? timeoutSeconds : 10);
    refused = owner_->Connect(timeout, &error) == mqtt::kErrorRefused;
  }
  if (error.empty()) {
    connectFailures_.Reset();
    if (callback) callback->OnSuccess(deviceId_);
    return "";
  }
  ConnectFailed(error, start, refused);
  if (callback) callback->OnFailure(deviceId_, error);
  return error;
}

// Logs the failure (a repeated one seldom) and paces the caller's loop,
// unless the proxy is stopping.
void Proxy::Impl::ConnectFailed(const std::string& error, Clock::time_point start, bool refused) {
  std::unique_lock<std::mutex> lock(stateMutex_);
  if (!disconnected_ && !refused) {
    if (std::optional<std::string> line = connectFailures_.Next(error, Clock::now())) {
      Log(-1, kLogError, "Connect", __LINE__, *line);
    }
  }
  stopWake_.wait_until(lock, start + kMinimumFailedConnect, [&] { return disconnected_; });
}

// Also from another thread while Connect waits (a stop): that Connect then
// returns at once, and so does every later one.
void Proxy::Impl::Disconnect() {
  mqtt::Client* client;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    disconnected_ = true;
    client = client_.load();
  }
  stopWake_.notify_all();
  if (client == nullptr) return;
  if (client->IsConnected()) {
    std::string error;
    if (client->PublishAndWait(protocol::StatusTopic(deviceId_), "offline", 1, true,
                               kOfflineTimeout, &error) != 0) {
      Log(-1, kLogError, "Disconnect", __LINE__, "could not publish offline status: " + error);
    }
  }
  client->Disconnect();
  Registrar::Output output;
  {
    std::lock_guard<std::mutex> lock(registrarMutex_);
    output = registrar_.Disconnected();
  }
  Perform(output);
}

std::string Proxy::Impl::PointOfAccessNow() const {
  std::lock_guard<std::mutex> lock(poaMutex_);
  return poa_;
}

void Proxy::Impl::OnConnected() {
  std::string error;
  if (owner_->Publish(protocol::StatusTopic(deviceId_), "online", 1, true, &error) != 0) {
    Log(-1, kLogError, "Connected", __LINE__, "could not publish online status: " + error);
  }
  std::string broker = owner_->serverUri();
  {
    std::lock_guard<std::mutex> lock(poaMutex_);
    poa_ = protocol::PointOfAccess(broker);  // a URI of the client's, checked already
  }
  Log(1, 0, "Connected", __LINE__, "connected to " + broker + " as " + deviceId_);
  notConnectedLogged_ = false;
  Registrar::Output registration;
  {
    std::lock_guard<std::mutex> lock(registrarMutex_);
    registration = registrar_.Connected(Clock::now());
  }
  Perform(registration);
  if (Callback* receiver = callback()) receiver->Connected();
}

void Proxy::Impl::OnConnectionLost(const std::string& cause) {
  Registrar::Output output;
  {
    std::lock_guard<std::mutex> lock(registrarMutex_);
    output = registrar_.Disconnected();
  }
  Perform(output);
  if (Callback* receiver = callback()) receiver->ConnectionLost(cause);
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
  } else if (message.topic == registrarAnswers_) {
    OnResponse(message.payload);
  } else if (Callback* receiver = callback()) {
    receiver->MessageArrived(message.payload);
  }
}

void Proxy::Impl::OnRequest(const std::string& originator, const std::string& payload) {
  protocol::Request request = protocol::ParseRequest(payload, names_, maxRequestBytes_);
  if (!allowed_.Allows(originator)) {
    RefuseOriginator(originator, request);
    return;
  }
  if (request.handling == protocol::Request::kRefused) {
    Log(-1, kLogWarning, "RequestArrived", __LINE__,
        "request from " + originator + " refused (" + std::to_string(request.refusal) +
            "): " + request.error);
    if (!request.rqi.empty()) {
      Reply(originator, protocol::ErrorBody(request.rqi, request.refusal, names_.CseId(),
                                            Origin{originator, request.from}.to(),
                                            request.error));
    }
    if (Callback* receiver = callback()) receiver->MessageArrived(payload);
    return;
  }
  if (TraceLevel() >= 2) {
    Log(2, 0, "RequestArrived", __LINE__,
        "request " + request.rqi + " op " + std::to_string(request.wireOperation) + " to \"" +
            request.to + "\" from " + originator);
  }
  if (request.handling == protocol::Request::kGateway) {
    PassToGateway(request, originator);
  } else {
    ServeOwnResource(request, originator);
  }
}

// Answered 4103 (the originator has no privilege) and never handed to the
// gateway. The line is rate-limited: the originator's bytes are logged
// escaped, and anyone who can publish could flood the log.
void Proxy::Impl::RefuseOriginator(const std::string& originator,
                                   const protocol::Request& request) {
  if (!request.rqi.empty()) {
    Reply(originator, protocol::ErrorBody(request.rqi, protocol::kRscNoPrivilege, names_.CseId(),
                                          Origin{originator, request.from}.to(),
                                          "originator not allowed"));
  }
  // One line a minute however many originators try: the first names who.
  std::optional<std::string> line = refusedOriginatorLog_.Next(
      "request refused (4103): not an allowed originator", Clock::now());
  if (line) Log(-1, kLogError, "RequestArrived", __LINE__, *line + ": " + originator);
}

// The gateway's CSEBase and the registrar's remoteCSE here are the SDK's
// own: the registrar looks at the latter to see that the gateway is alive.
void Proxy::Impl::ServeOwnResource(const protocol::Request& request,
                                   const std::string& originator) {
  std::string resource = request.handling == protocol::Request::kCseBase
                             ? protocol::CseBaseResource(names_, PointOfAccessNow(), createdAt_)
                             : protocol::RegistrarCsrResource(names_, createdAt_);
  Reply(originator, protocol::ResponseBody(request.rqi, protocol::kRscOk, names_.CseId(),
                                           Origin{originator, request.from}.to(), resource));
}

void Proxy::Impl::PassToGateway(protocol::Request& request, const std::string& originator) {
  const PendingKey key{request.rqi, originator};
  Remember(key, request.from);
  try {
    AnsweringScope answering(key);
    if (Callback* receiver = callback()) {
      receiver->RequestArrived(request.rqi, request.operation, request.targets, request.contents);
    }
  } catch (const std::exception& e) {
    Log(-1, kLogError, "RequestArrived", __LINE__,
        "request " + request.rqi + " failed: " + e.what());
    AnswerUnanswered(key, protocol::kRscInternalError,
                     std::string("the gateway failed: ") + e.what());
    return;
  } catch (...) {
    Log(-1, kLogError, "RequestArrived", __LINE__, "request " + request.rqi + " failed");
    AnswerUnanswered(key, protocol::kRscInternalError, "the gateway failed on this request");
    return;
  }
  if (std::optional<int> rsc = protocol::DefaultStatus(request.wireOperation)) {
    AnswerUnanswered(key, *rsc, "");
  }
}

// A create, update, delete or notify that the gateway took without answering
// is acknowledged with its operation's status, so the platform learns it was
// handed over. A retrieve that found nothing stays unanswered: the gateway
// sends no reply for it, and the platform's timeout tells it so. The gateway
// may answer from another thread at the same moment: whoever takes the
// request answers it.
void Proxy::Impl::AnswerUnanswered(const PendingKey& key, int rsc, const std::string& reason) {
  std::optional<Origin> origin = Take(key);
  if (!origin) return;
  Reply(origin->originator,
        protocol::IsSuccess(rsc)
            ? protocol::ResponseBody(key.rqi, rsc, names_.CseId(), origin->to(), "")
            : protocol::ErrorBody(key.rqi, rsc, names_.CseId(), origin->to(), reason));
}

// Answers to the registration and to records; the gateway hears those to
// its records (ResponseArrived).
void Proxy::Impl::OnResponse(const std::string& payload) {
  Callback* receiver = callback();
  std::optional<protocol::Reply> reply = protocol::ParseReply(payload);
  if (!reply) {
    if (receiver) receiver->MessageArrived(payload);
    return;
  }
  if (TraceLevel() >= 2) {
    Log(2, 0, "ResponseArrived", __LINE__,
        "response " + reply->rqi + " rsc " + std::to_string(reply->rsc));
  }
  Registrar::Output output;
  {
    std::lock_guard<std::mutex> lock(registrarMutex_);
    output = registrar_.Answer(reply->rqi, reply->rsc, Clock::now());
  }
  Perform(output);
}

// The request an answer with this id is for: the one whose RequestArrived
// runs on this thread, else the oldest waiting under the id.
std::optional<PendingKey> Proxy::Impl::KeyOfAnswer(const std::string& rqi) {
  if (t_answering != nullptr && t_answering->rqi == rqi) return *t_answering;
  std::lock_guard<std::mutex> lock(pendingMutex_);
  std::optional<PendingKey> oldest;
  uint64_t oldestArrival = 0;
  for (auto entry = pending_.lower_bound(PendingKey{rqi, ""});
       entry != pending_.end() && entry->first.rqi == rqi; ++entry) {
    if (!oldest || entry->second.arrival < oldestArrival) {
      oldest = entry->first;
      oldestArrival = entry->second.arrival;
    }
  }
  return oldest;
}

// Looks the request up and forgets it in one step: of two answers racing for
// one request, one gets it and the other finds nothing. leaveWaiting, for a
// partial answer, only looks. The key leaves the order list too: left there,
// it would evict the entry of a later request that reuses the id. Searched
// from the back, where a request answered from inside RequestArrived stands.
std::optional<Proxy::Impl::Origin> Proxy::Impl::Take(const PendingKey& key, bool leaveWaiting) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  auto found = pending_.find(key);
  if (found == pending_.end()) return std::nullopt;
  Origin origin{key.originator, found->second.from};
  if (leaveWaiting) return origin;
  pending_.erase(found);
  for (auto queued = pendingOrder_.end(); queued != pendingOrder_.begin();) {
    if (*--queued == key) {
      pendingOrder_.erase(queued);
      break;
    }
  }
  return origin;
}

void Proxy::Impl::Remember(const PendingKey& key, const std::string& from) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  if (pending_.count(key) == 0) pendingOrder_.push_back(key);
  pending_[key] = Pending{from, ++arrivals_};
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

// A complete answer takes the request; one that could not be sent puts it
// back, so that it can be answered again.
Proxy::Result Proxy::Impl::Response(const std::string& requestId, const std::string& content,
                                    int status, bool complete, ResultCb* callback) {
  Result result;
  result.requestId = requestId;
  std::optional<int> rsc = protocol::ResponseStatusCode(status);
  std::optional<PendingKey> key = KeyOfAnswer(requestId);
  std::optional<Origin> origin;
  if (rsc && key) origin = Take(*key, !complete);
  if (!rsc) {
    result.errorCode = mqtt::kErrorInvalid;
    result.message = "status " + std::to_string(status) + " has no meaning in a response";
  } else if (!origin) {
    result.errorCode = mqtt::kErrorInvalid;
    result.message = "no request " + requestId + " waits for an answer";
  } else {
    result.message =
        Reply(origin->originator,
              protocol::ResponseBody(requestId, *rsc, names_.CseId(), origin->to(), content));
    if (!result.message.empty()) {
      result.errorCode = IsConnected() ? mqtt::kErrorRefused : mqtt::kErrorNotConnected;
      if (complete) Remember(*key, origin->from);
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

Proxy::Result Proxy::Impl::Record(const std::string& text, bool waitForDelivery) {
  Result result;
  if (!IsConnected()) {
    result.errorCode = mqtt::kErrorNotConnected;
    result.message = "not connected";
    if (!notConnectedLogged_.exchange(true)) {
      Log(-1, kLogError, "Data", __LINE__, "records are not taken while not connected");
    }
    return result;
  }
  if (waitForDelivery && t_inHandler) {
    result.errorCode = mqtt::kErrorInvalid;
    result.message = "Create waiting for delivery called from inside a callback";
    return result;
  }
  result.requestId = NewRequestId();
  Registrar::Output output;
  {
    std::lock_guard<std::mutex> lock(registrarMutex_);
    if (waitForDelivery) awaited_[result.requestId];
    output = registrar_.Record({result.requestId, RecordName(result.requestId), text}, Clock::now());
  }
  Perform(output);
  return waitForDelivery ? WaitUntilStored(std::move(result)) : result;
}

Proxy::Result Proxy::Impl::WaitUntilStored(Result result) {
  std::unique_lock<std::mutex> lock(registrarMutex_);
  recordAnswered_.wait_for(lock, kDeliveryTimeout, [&] { return awaited_[result.requestId].has_value(); });
  std::optional<int> rsc = awaited_[result.requestId];
  awaited_.erase(result.requestId);
  if (!rsc) {
    result.errorCode = mqtt::kErrorTimeout;
    result.message = "not stored by the platform's CSE within 10 s; it stays queued";
  } else if (*rsc != protocol::kRscCreated) {
    result.errorCode = mqtt::kErrorRefused;
    result.message = "refused by the platform's CSE (" + std::to_string(*rsc) + ")";
  }
  return result;
}

// ---- registration ----------------------------------------------------------------

std::string Proxy::Impl::StepBody(const Registrar::Request& request) const {
  switch (request.step) {
    case Registrar::Step::kCreate:
      return protocol::RegistrationCreate(names_, request.rqi, PointOfAccessNow());
    case Registrar::Step::kUpdate:
      return protocol::RegistrationUpdate(names_, request.rqi, PointOfAccessNow());
    case Registrar::Step::kContainer: return protocol::ContainerCreate(names_, request.rqi);
    default: return protocol::RegistrationRetrieve(names_, request.rqi);
  }
}

void Proxy::Impl::SendToRegistrar(const std::string& body, const char* what) {
  mqtt::Client* client = client_.load();
  std::string error = "not connected";
  if (client != nullptr &&
      client->Publish(registrarTopic_, body, 1, false, &error) == 0) {
    if (TraceLevel() >= 2) Log(2, 0, "Registration", __LINE__, std::string(what) + " " + body);
    return;
  }
  Log(-1, kLogError, "Registration", __LINE__, std::string(what) + " not sent: " + error);
}

void Proxy::Impl::Perform(const Registrar::Output& output) {
  if (output.send) SendToRegistrar(StepBody(*output.send), "sent");
  if (output.record) {
    const Registrar::RecordSend& record = *output.record;
    SendToRegistrar(protocol::ContentInstanceCreate(names_, record.rqi, record.name, record.text),
                    "record");
  }
  registrarWake_.notify_one();  // the next deadline may have changed
  for (const Registrar::LogLine& line : output.logs) {
    if (line.category == kLogInformation) {
      Log(1, 0, "Registration", __LINE__,
          line.text + " " + names_.RegistrarCseId() + " as " + names_.CseId() + " (" +
              PointOfAccessNow() + ")");
    } else {
      Log(-1, line.category, "Registration", __LINE__, names_.RegistrarCseId() + ": " + line.text);
    }
  }
  if (output.reports.empty()) return;
  {
    std::lock_guard<std::mutex> lock(registrarMutex_);
    for (const Registrar::Report& report : output.reports) {
      auto waiting = awaited_.find(report.id);
      if (waiting != awaited_.end()) waiting->second = report.rsc;
    }
  }
  recordAnswered_.notify_all();
  if (Callback* receiver = callback()) {
    for (const Registrar::Report& report : output.reports) receiver->ResponseArrived(report.id, report.rsc);
  }
}

// Wakes for the registrar's deadlines and sends the records it held, in
// order, on a thread of its own: neither the gateway's thread nor the MQTT
// library's may wait here.
void Proxy::Impl::RegistrarLoop() {
  std::unique_lock<std::mutex> lock(registrarMutex_);
  while (!stopping_) {
    std::optional<Clock::time_point> deadline = registrar_.NextDeadline();
    if (deadline) {
      registrarWake_.wait_until(lock, *deadline);
    } else {
      registrarWake_.wait(lock);
    }
    if (stopping_) break;
    Registrar::Output output = registrar_.Tick(Clock::now());
    lock.unlock();
    Perform(output);
    lock.lock();
  }
}

void Proxy::Impl::StopRegistrarLoop() {
  {
    std::lock_guard<std::mutex> lock(registrarMutex_);
    stopping_ = true;
  }
  registrarWake_.notify_one();
  if (registrarThread_.joinable()) registrarThread_.join();
}

// Records a stop left unstored are sent first, under their own names: one
// the registrar did store meanwhile is answered 4105 and not stored twice.
void Proxy::Impl::RestoreSavedRecords() {
  if (savedRecordsPath_.empty()) return;
  LoadedRecords saved = LoadRecords(savedRecordsPath_, deviceId_);
  if (!saved.error.empty()) Log(-1, kLogError, "Proxy", __LINE__, "saved records: " + saved.error);
  if (saved.entries.empty()) return;
  Registrar::Output output;
  {
    std::lock_guard<std::mutex> lock(registrarMutex_);
    output = registrar_.Restore(std::move(saved.entries));
  }
  Log(1, 0, "Proxy", __LINE__,
      "read " + std::to_string(registrar_.queue().Size()) + " records kept at the last stop from " +
          savedRecordsPath_);
  Perform(output);
  if (std::remove(savedRecordsPath_.c_str()) != 0) {
    Log(-1, kLogError, "Proxy", __LINE__,
        "cannot remove " + savedRecordsPath_ + ": " + std::strerror(errno));
  }
}

// Once, at the end: never a write per record.
void Proxy::Impl::SaveRecords() {
  if (savedRecordsPath_.empty()) return;
  std::deque<RecordQueue::Entry> entries = registrar_.queue().Entries();
  std::string error = kiv::SaveRecords(savedRecordsPath_, deviceId_, entries);
  if (!error.empty()) {
    Log(-1, kLogError, "Proxy", __LINE__,
        std::to_string(entries.size()) + " records not stored by the platform are lost: " + error);
  } else if (!entries.empty()) {
    Log(-1, kLogWarning, "Proxy", __LINE__,
        std::to_string(entries.size()) + " records not stored by the platform are kept in " +
            savedRecordsPath_ + " for the next start");
  }
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
  return proxy_->impl_->Record(text, waitForDelivery);
}

int Data::NotifyCreating(const std::string& text, NotificationEventType eventType) {
  (void)text;
  (void)eventType;
  // The registrar notifies the subscribers of the records container itself
  // when Create stores the record there; a notification from the gateway
  // would have no receiver. Nothing is sent, and the code says so.
  return proxy_ == nullptr ? mqtt::kErrorInvalid : kNotificationNotSent;
}

}  // namespace kiv
