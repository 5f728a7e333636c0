// kiv::mqtt::Client over Paho's asynchronous C library.
//
// Paho runs one sending and one receiving thread for all clients of the
// process and calls our callbacks on them. Rules kept here:
//  - no lock of ours is held while calling into Paho (Paho may hold its own
//    lock while it calls us back, so the other order could deadlock);
//  - nothing blocks inside a Paho callback: the resubscription after a
//    (re)connection is chained through callbacks, never waited for;
//  - no exception leaves a callback;
//  - reconnection is ours, not Paho's, so that we choose when and to which
//    broker of a list each attempt goes (ReconnectMachine decides; this file
//    carries it out) and can set TCP_NODELAY on each new socket.
// This is the only code of ours that includes Paho.
#include "kiv/MqttClient.h"

#include "Completion.h"
#include "Log.h"
#include "RandomHex.h"
#include "ReconnectMachine.h"
#include "ServerUri.h"
#include "TcpNoDelay.h"
#include "TlsDiagnosis.h"

#include <MQTTAsync.h>

#include <algorithm>
#include <optional>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kiv {
namespace mqtt {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The handshake of our own that names a TLS failure: short, as a stop may
// wait for it.
constexpr milliseconds kTlsDiagnosisTimeout(1000);

// Set on Paho's threads while one of our handlers runs: calls that would wait
// for Paho refuse there instead of deadlocking.
thread_local bool t_inHandler = false;

struct HandlerScope {
  HandlerScope() { t_inHandler = true; }
  ~HandlerScope() { t_inHandler = false; }
};

void LogError(const char* function, int line, const std::string& text);

// Runs a user handler on a Paho thread: marked as inside a handler, and no
// exception may travel back into the C library.
template <typename Handler, typename... Args>
void RunHandler(const char* name, const Handler& handler, const Args&... args) {
  if (!handler) return;
  HandlerScope scope;
  try {
    handler(args...);
  } catch (const std::exception& e) {
    LogError(name, __LINE__, std::string("handler threw: ") + e.what());
  } catch (...) {
    LogError(name, __LINE__, "handler threw");
  }
}

// A line of the transport: level -1 with a category, or a trace
// level 1..3 (printed up to SetLogConfig's trace level).
void Log(int level, int category, const char* function, int line, const std::string& text) {
  LogLine(level, category, "mqtt", "sdk/MqttClient", function, line, text);
}

void LogError(const char* function, int line, const std::string& text) {
  Log(-1, kLogError, function, line, text);
}

void LogTrace(int level, const char* function, int line, const std::string& text) {
  Log(level, 0, function, line, text);
}

void PahoTrace(enum MQTTASYNC_TRACE_LEVELS, char* message) {
  if (!PahoTraceEnabled()) return;  // the library keeps calling once set up
  LogRecord record;
  record.level = 0;  // printed whenever the MQTT library's trace is asked for
  record.tag = "paho";
  record.file = "paho";
  record.message = EscapeLogText(message ? message : "");  // the trace shows payload bytes
  Emit(std::move(record));
}

void EnablePahoTraceIfConfigured() {
  if (!PahoTraceEnabled()) return;
  MQTTAsync_setTraceCallback(PahoTrace);
  MQTTAsync_setTraceLevel(MQTTASYNC_TRACE_PROTOCOL);
}

bool IsConnackRefusal(int code) { return code >= 1 && code <= 5; }

// The name MQTT 3.1.1 gives a CONNACK refusal code (1..5).
std::string ConnackReason(int code) {
  static const char* const kConnack[] = {"",
                                         "unacceptable protocol version",
                                         "client identifier rejected",
                                         "server unavailable",
                                         "bad user name or password",
                                         "not authorized"};
  return std::string(kConnack[code]) + " (CONNACK " + std::to_string(code) + ")";
}

// Reason text for a Paho return code or a CONNACK refusal code.
std::string ErrorText(int code, const char* message) {
  std::string text;
  if (IsConnackRefusal(code)) {
    text = "connection refused by the broker: " + ConnackReason(code);
  } else if (code < 0) {
    const char* reason = MQTTAsync_strerror(code);
    text = reason ? reason : "error " + std::to_string(code);
  }
  if (message != nullptr && *message != '\0')
    text += (text.empty() ? "" : ": ") + std::string(message);
  return text.empty() ? "failed (code " + std::to_string(code) + ")" : text;
}

int Fail(int code, const std::string& text, std::string* error) {
  if (error) *error = text;
  return code;
}

// Heap context for one operation's Paho callbacks; whichever fires deletes it.
struct CompletionContext {
  std::shared_ptr<Completion> completion;

  static void OnSuccess(void* context, MQTTAsync_successData*) {
    auto* self = static_cast<CompletionContext*>(context);
    self->completion->Finish(kOk, "");
    delete self;
  }
  static void OnFailure(void* context, MQTTAsync_failureData* data) {
    auto* self = static_cast<CompletionContext*>(context);
    self->completion->Finish(kErrorRefused,
                             data ? ErrorText(data->code, data->message) : "operation failed");
    delete self;
  }
  // Routes the response's callbacks to completion (when there is one); the
  // caller deletes the returned context if Paho refuses the call.
  static CompletionContext* Attach(MQTTAsync_responseOptions& response,
                                   const std::shared_ptr<Completion>& completion) {
    if (!completion) return nullptr;
    auto* context = new CompletionContext{completion};
    response.onSuccess = OnSuccess;
    response.onFailure = OnFailure;
    response.context = context;
    return context;
  }
};

// A disconnect's outcome, into a completion the client keeps (not freed by
// the callback, unlike an operation's context: the library does not always
// report a disconnect).
void OnDisconnected(void* completion, MQTTAsync_successData*) {
  static_cast<Completion*>(completion)->Finish(kOk, "");
}
void OnDisconnectFailed(void* completion, MQTTAsync_failureData* data) {
  static_cast<Completion*>(completion)->Finish(
      kErrorRefused, data ? ErrorText(data->code, data->message) : "disconnect failed");
}

// Waits for a completion: 0, or its error code with the reason in *error.
int AwaitCompletion(Completion& completion, milliseconds timeout, const std::string& what,
                    std::string* error) {
  if (!completion.Wait(timeout)) return Fail(kErrorTimeout, what + ": no answer in time", error);
  std::lock_guard<std::mutex> lock(completion.mutex);
  return completion.code == kOk ? kOk : Fail(completion.code, what + ": " + completion.text, error);
}

}  // namespace

class KIV_SDK_HIDDEN Client::Impl {
public:
  explicit Impl(Options options);
  ~Impl();

  MessageHandler onMessage;
  ConnectedHandler onConnected;
  LostHandler onLost;

  int Connect(milliseconds timeout, std::string* error);
  bool IsConnected() const { return connected_.load(); }
  int Subscribe(const std::string& filter, int qos, std::string* error);
  int Publish(const std::string& topic, const std::string& payload, int qos, bool retained,
              const std::shared_ptr<Completion>& completion, std::string* error);
  int PublishAndWait(const std::string& topic, const std::string& payload, int qos, bool retained,
                     milliseconds timeout, std::string* error);
  void Disconnect(milliseconds timeout);
  const std::string& clientId() const { return options_.clientId; }
  std::string serverUri() const;

private:
  // Paho callbacks (context is this Impl).
  static void OnConnectSuccess(void* context, MQTTAsync_successData* data);
  static void OnConnectFailure(void* context, MQTTAsync_failureData* data);
  static void OnResubscribed(void* context, MQTTAsync_successData* data);
  static void OnResubscribeFailed(void* context, MQTTAsync_failureData* data);
  static void OnConnectionLost(void* context, char* cause);
  static int OnMessageArrived(void* context, char* topic, int topicLength, MQTTAsync_message* m);
  static int OnTlsError(const char* text, size_t length, void* context);

  // Counts a callback in, so that the destructor can wait for it; false once
  // the client is closing.
  bool EnterCallback();
  void LeaveCallback();
  struct CallbackScope;

  void ConnectionUp();
  bool SetNoDelayOnBrokerSocket(const std::set<ino_t>& before, const BrokerEndpoint& broker);
  void MarkConnected();
  // connack: the broker's refusal code (1..5), 0 when it did not answer.
  void AttemptFailed(const std::string& reason, int connack = 0);
  void LogRefusal(int connack, size_t broker, ReconnectMachine::Duration nextAttemptIn) const;
  void StartAttempt(const ReconnectMachine::Attempt& attempt);
  std::string BrokerName(size_t index) const;
  ReconnectMachine::Duration Draw(ReconnectMachine::Duration low, ReconnectMachine::Duration high);
  void Supervise();
  void DiagnoseTlsFailure(std::unique_lock<std::mutex>& lock);
  std::string WithTlsDiagnosis(const std::string& reason) const;
  int SubscribeNow(const std::string& filter, int qos, bool wait, std::string* error);
  void RegisterFilter(const std::string& filter, int qos);
  bool SessionTookFilters() const;

  Options options_;
  const std::vector<ServerAddress> brokers_;  // the server URI's list, in order
  MQTTAsync handle_ = nullptr;

  std::atomic<bool> connected_{false};  // machine_.IsConnected(), read without the lock
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  ReconnectMachine machine_;
  std::mutex connectMutex_;  // one Connect waits at a time
  bool closing_ = false;
  bool disconnected_ = false;  // Disconnect was called: no connection any more
  // The outcomes of the disconnects asked for, under mutex_: the library may
  // report one after the wait for it gave up, or never (the connection went
  // meanwhile), so each is kept until the handle is destroyed.
  std::vector<std::unique_ptr<Completion>> disconnects_;
  int activeCallbacks_ = 0;
  std::string lastError_;
  std::string tlsError_;
  // A TLS failure is named once per stretch of failures (TlsDiagnosis.h).
  std::optional<size_t> tlsDiagnosisDue_;  // for this broker
  bool tlsDiagnosed_ = false;
  std::string tlsDiagnosis_;
  std::set<ino_t> socketsBeforeAttempt_;
  BrokerEndpoint brokerOfAttempt_;  // resolved when the attempt started
  // The filters subscribed to or queued for the next session, and how many
  // sessions took them for their resubscription.
  std::vector<std::pair<std::string, int>> filters_;
  uint64_t sessions_ = 0;
  std::minstd_rand random_;
  std::thread supervisor_;  // starts the attempts the machine asks for
};

struct Client::Impl::CallbackScope {
  explicit CallbackScope(Impl* impl) : impl_(impl), entered_(impl->EnterCallback()) {}
  ~CallbackScope() {
    if (entered_) impl_->LeaveCallback();
  }
  explicit operator bool() const { return entered_; }
  Impl* impl_;
  bool entered_;
};

namespace {

ReconnectMachine::Settings MachineSettings(const Options& options) {
  ReconnectMachine::Settings settings;
  settings.autoReconnect = options.autoReconnect;
  settings.minRetry = options.minRetry.count() > 0 ? options.minRetry : milliseconds(500);
  settings.maxRetry = std::max<ReconnectMachine::Duration>(settings.minRetry, options.maxRetry);
  return settings;
}

}  // namespace

Client::Impl::Impl(Options options)
    : options_(std::move(options)),
      brokers_(ParseServerUriList(options_.serverUri)),
      machine_(brokers_.size(), MachineSettings(options_),
               [this](ReconnectMachine::Duration low, ReconnectMachine::Duration high) {
                 return Draw(low, high);
               }),
      random_(std::random_device()()) {
  if (options_.clientId.empty()) options_.clientId = "kiv-" + RandomHex(12);
  EnablePahoTraceIfConfigured();

  MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
  create.MQTTVersion = MQTTVERSION_3_1_1;
  create.sendWhileDisconnected = 0;
  int rc =
      MQTTAsync_createWithOptions(&handle_, brokers_[0].pahoUri.c_str(), options_.clientId.c_str(),
                                  MQTTCLIENT_PERSISTENCE_NONE, nullptr, &create);
  if (rc != MQTTASYNC_SUCCESS) {
    throw std::invalid_argument("cannot create an MQTT client for " + options_.serverUri + ": " +
                                ErrorText(rc, nullptr));
  }
  MQTTAsync_setCallbacks(handle_, this, OnConnectionLost, OnMessageArrived, nullptr);
  supervisor_ = std::thread([this] { Supervise(); });
}

Client::Impl::~Impl() {
  Disconnect(milliseconds(2000));
  {
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return activeCallbacks_ == 0; });
  }
  supervisor_.join();
  MQTTAsync_destroy(&handle_);
}

bool Client::Impl::EnterCallback() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closing_) return false;
  ++activeCallbacks_;
  return true;
}

void Client::Impl::LeaveCallback() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--activeCallbacks_ == 0) changed_.notify_all();
}

// ---- connecting ------------------------------------------------------------

// Carries out an attempt the machine asked for (on the supervisor's thread:
// resolving the broker's name may block).
void Client::Impl::StartAttempt(const ReconnectMachine::Attempt& attempt) {
  const ServerAddress& address = brokers_[attempt.broker];
  std::set<ino_t> before = OpenSocketInodes();
  // Resolved here, not when the connection is up: that runs on Paho's thread.
  BrokerEndpoint broker;
  if (options_.tcpNoDelay) broker = ResolveBroker(address.host, address.port);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    socketsBeforeAttempt_ = std::move(before);
    brokerOfAttempt_ = std::move(broker);
    tlsError_.clear();
  }
  MQTTAsync_connectOptions connect = MQTTAsync_connectOptions_initializer;
  connect.MQTTVersion = MQTTVERSION_3_1_1;
  connect.keepAliveInterval = options_.keepAliveSeconds;
  connect.cleansession = options_.cleanSession ? 1 : 0;
  connect.connectTimeout = static_cast<int>(attempt.timeout.count());
  connect.automaticReconnect = 0;
  connect.username = options_.username ? options_.username->c_str() : nullptr;
  connect.password = options_.password ? options_.password->c_str() : nullptr;
  connect.onSuccess = OnConnectSuccess;
  connect.onFailure = OnConnectFailure;
  connect.context = this;
  // This attempt's broker, in place of the one the handle was created with.
  char* serverUris[] = {const_cast<char*>(address.pahoUri.c_str())};
  connect.serverURIs = serverUris;
  connect.serverURIcount = 1;

  MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
  if (options_.will) {
    will.topicName = options_.will->topic.c_str();
    will.message = options_.will->payload.c_str();
    will.qos = options_.will->qos;
    will.retained = options_.will->retained ? 1 : 0;
    connect.will = &will;
  }
  MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
  if (address.tls) {
    ssl.enableServerCertAuth = 1;
    ssl.verify = 1;  // the certificate must name the host we asked for
    ssl.trustStore = options_.caFile.empty() ? nullptr : options_.caFile.c_str();
    ssl.disableDefaultTrustStore = options_.caFile.empty() ? 0 : 1;
    ssl.keyStore = options_.certFile.empty() ? nullptr : options_.certFile.c_str();
    ssl.privateKey = options_.keyFile.empty() ? nullptr : options_.keyFile.c_str();
    ssl.ssl_error_cb = OnTlsError;
    ssl.ssl_error_context = this;
    connect.ssl = &ssl;
  }
  LogTrace(1, "Connect", __LINE__,
           "connecting to " + BrokerName(attempt.broker) + " as " + options_.clientId);
  int rc = MQTTAsync_connect(handle_, &connect);
  if (rc != MQTTASYNC_SUCCESS) AttemptFailed(ErrorText(rc, nullptr));
}

void Client::Impl::AttemptFailed(const std::string& reason, int connack) {
  std::optional<ReconnectMachine::Duration> refusalToReport;
  size_t broker;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lastError_ = reason;
    if (!tlsError_.empty()) lastError_ += " (TLS: " + tlsError_ + ")";
    broker = machine_.broker();
    if (brokers_[broker].tls && connack == 0 && !tlsDiagnosed_) tlsDiagnosisDue_ = broker;
    lastError_ = WithTlsDiagnosis(lastError_);
    refusalToReport = machine_.AttemptFailed(Clock::now(), IsConnackRefusal(connack));
    changed_.notify_all();
  }
  if (refusalToReport) LogRefusal(connack, broker, *refusalToReport);
}

// Once when the broker starts refusing, then at each doubling of the wait:
// what the operator needs to mend the credentials, never the password.
void Client::Impl::LogRefusal(int connack, size_t broker,
                              ReconnectMachine::Duration nextAttemptIn) const {
  std::string user = options_.username ? "user \"" + *options_.username + "\"" : "no user name";
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(nextAttemptIn).count();
  LogError("Connect", __LINE__,
           BrokerName(broker) + " refused the login (" + user + ", client id \"" +
               options_.clientId + "\"): " + ConnackReason(connack) + "; next attempt in " +
               std::to_string(seconds) + " s, then less and less often, up to every 5 min");
}

void Client::Impl::OnConnectFailure(void* context, MQTTAsync_failureData* data) {
  auto* self = static_cast<Impl*>(context);
  CallbackScope scope(self);
  if (!scope) return;
  std::string reason = data ? ErrorText(data->code, data->message) : "connection failed";
  self->AttemptFailed(reason, data && IsConnackRefusal(data->code) ? data->code : 0);
  LogTrace(1, "Connect", __LINE__, "connection attempt failed: " + reason);
}

int Client::Impl::OnTlsError(const char* text, size_t length, void* context) {
  auto* self = static_cast<Impl*>(context);
  std::string line(text, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::lock_guard<std::mutex> lock(self->mutex_);
  if (self->tlsError_.empty()) self->tlsError_ = line;
  return 0;
}

void Client::Impl::OnConnectSuccess(void* context, MQTTAsync_successData*) {
  auto* self = static_cast<Impl*>(context);
  CallbackScope scope(self);
  if (!scope) return;
  self->ConnectionUp();
}

// An attempt that outlived a timeout of ours can open its socket before the
// snapshot of a later attempt is taken; when no new socket is found, every
// socket to the broker gets the option (harmless for another client's).
bool Client::Impl::SetNoDelayOnBrokerSocket(const std::set<ino_t>& before,
                                            const BrokerEndpoint& broker) {
  if (SetNoDelayOnNewSockets(before, broker) > 0) return true;
  return SetNoDelayOnNewSockets(std::set<ino_t>(), broker) > 0;
}

// CONNACK arrived: tune the socket, then subscribe again to every filter and
// report the connection once the broker confirmed them.
void Client::Impl::ConnectionUp() {
  std::set<ino_t> before;
  BrokerEndpoint broker;
  std::vector<std::pair<std::string, int>> filters;
  bool wanted;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wanted = machine_.SessionUp();
    before = socketsBeforeAttempt_;
    broker = brokerOfAttempt_;
    filters = filters_;
    if (wanted) ++sessions_;
    changed_.notify_all();
  }
  if (!wanted) {  // the caller gave up (timeout, Disconnect) while this attempt ran
    MQTTAsync_disconnectOptions disconnect = MQTTAsync_disconnectOptions_initializer;
    MQTTAsync_disconnect(handle_, &disconnect);
    return;
  }
  if (options_.tcpNoDelay && !SetNoDelayOnBrokerSocket(before, broker)) {
    LogError("Connect", __LINE__, "could not set TCP_NODELAY on the broker connection");
  }
  if (filters.empty()) {
    MarkConnected();
    return;
  }
  std::vector<char*> topics;
  std::vector<int> qos;
  for (auto& [filter, q] : filters) {
    topics.push_back(const_cast<char*>(filter.c_str()));
    qos.push_back(q);
  }
  MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
  response.onSuccess = OnResubscribed;
  response.onFailure = OnResubscribeFailed;
  response.context = this;
  int rc = MQTTAsync_subscribeMany(handle_, static_cast<int>(topics.size()), topics.data(),
                                   qos.data(), &response);
  if (rc != MQTTASYNC_SUCCESS) {
    LogError("Connect", __LINE__, "subscribing again failed: " + ErrorText(rc, nullptr));
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
  LogError("Connect", __LINE__,
           "subscribing again failed: " + (data ? ErrorText(data->code, data->message) : ""));
  self->MarkConnected();  // the connection itself is up; publishing still works
}

void Client::Impl::MarkConnected() {
  std::optional<bool> reconnected;
  size_t broker;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reconnected = machine_.Subscribed();
    if (!reconnected) return;  // lost again before the subscriptions were confirmed
    broker = machine_.broker();
    connected_ = true;
    lastError_.clear();
    tlsDiagnosed_ = false;
    tlsDiagnosis_.clear();
    changed_.notify_all();
  }
  LogTrace(1, "Connect", __LINE__,
           std::string(*reconnected ? "reconnected" : "connected") + " to " + BrokerName(broker));
  RunHandler("Connected", onConnected, *reconnected);
}

void Client::Impl::OnConnectionLost(void* context, char* cause) {
  auto* self = static_cast<Impl*>(context);
  CallbackScope scope(self);
  if (!scope) return;
  std::string reason = cause && *cause ? cause : "connection lost";
  std::string broker;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    broker = self->BrokerName(self->machine_.broker());
    self->machine_.Lost(Clock::now());
    self->connected_ = false;
    self->changed_.notify_all();
  }
  LogError("ConnectionLost", __LINE__, "connection to " + broker + " lost: " + reason);
  RunHandler("ConnectionLost", self->onLost, reason);
}

ReconnectMachine::Duration Client::Impl::Draw(ReconnectMachine::Duration low,
                                              ReconnectMachine::Duration high) {
  // Called by the machine, under mutex_.
  std::uniform_int_distribution<ReconnectMachine::Duration::rep> spread(low.count(), high.count());
  return ReconnectMachine::Duration(spread(random_));
}

// A broker as the log names it: its address, and its place in a list.
std::string Client::Impl::BrokerName(size_t index) const {
  std::string name = brokers_[index].pahoUri;
  if (brokers_.size() > 1) {
    name += " (broker " + std::to_string(index + 1) + " of " + std::to_string(brokers_.size()) +
            ")";
  }
  return name;
}

std::string Client::Impl::serverUri() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return brokers_[machine_.broker()].uri;
}

int Client::Impl::Connect(milliseconds timeout, std::string* error) {
  if (t_inHandler) return Fail(kErrorInvalid, "Connect called from inside a handler", error);
  std::lock_guard<std::mutex> serial(connectMutex_);
  std::unique_lock<std::mutex> lock(mutex_);
  if (connected_) return kOk;
  if (disconnected_) return Fail(kErrorNotConnected, "disconnected", error);
  auto deadline = Clock::now() + timeout;
  machine_.Connect(Clock::now(), deadline);
  changed_.notify_all();  // an attempt is due: the supervisor starts it
  std::optional<ReconnectMachine::Outcome> outcome;
  changed_.wait_until(lock, deadline, [&] {
    outcome = closing_ || disconnected_ ? ReconnectMachine::Outcome::kStopped
                                        : machine_.EndOfWait(Clock::now());
    return outcome.has_value();
  });
  if (!outcome) outcome = machine_.EndOfWait(std::max(Clock::now(), deadline));
  switch (*outcome) {
    case ReconnectMachine::Outcome::kConnected: return kOk;
    case ReconnectMachine::Outcome::kRefused: return Fail(kErrorRefused, lastError_, error);
    case ReconnectMachine::Outcome::kStopped:
      return Fail(kErrorNotConnected, "disconnected while connecting", error);
    default: break;
  }
  std::string reason = lastError_.empty() ? "no answer from the broker" : lastError_;
  return Fail(kErrorTimeout, "not connected to " + options_.serverUri + " in time: " + reason,
              error);
}

std::string Client::Impl::WithTlsDiagnosis(const std::string& reason) const {
  return tlsDiagnosis_.empty() ? reason : tlsDiagnosis_ + " (" + reason + ")";
}

// On the supervisor's thread, the lock released while the handshake runs.
void Client::Impl::DiagnoseTlsFailure(std::unique_lock<std::mutex>& lock) {
  const ServerAddress& address = brokers_[*tlsDiagnosisDue_];
  tlsDiagnosisDue_.reset();
  TlsEndpoint endpoint{address.name, address.port, options_.caFile, options_.certFile,
                       options_.keyFile};
  lock.unlock();
  std::string diagnosis = DiagnoseTls(endpoint, kTlsDiagnosisTimeout);
  lock.lock();
  tlsDiagnosed_ = true;
  tlsDiagnosis_ = diagnosis;
  if (!lastError_.empty()) lastError_ = WithTlsDiagnosis(lastError_);
  changed_.notify_all();
}

// Starts each attempt when the machine says it is due, and names a TLS
// failure in between.
void Client::Impl::Supervise() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!closing_) {
    if (tlsDiagnosisDue_) {
      DiagnoseTlsFailure(lock);
      continue;
    }
    std::optional<Clock::time_point> due = machine_.NextDeadline();
    if (!due) {
      changed_.wait(lock);
      continue;
    }
    if (Clock::now() < *due) {
      changed_.wait_until(lock, *due);
      continue;
    }
    std::optional<ReconnectMachine::Attempt> attempt = machine_.Tick(Clock::now());
    if (!attempt) continue;
    lock.unlock();
    StartAttempt(*attempt);
    lock.lock();
  }
}

void Client::Impl::Disconnect(milliseconds timeout) {
  if (t_inHandler) {
    LogError("Disconnect", __LINE__, "Disconnect called from inside a handler: ignored");
    return;
  }
  Completion* completion;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    disconnected_ = true;
    machine_.Disconnect();
    changed_.notify_all();
    disconnects_.push_back(std::make_unique<Completion>());
    completion = disconnects_.back().get();
  }
  if (MQTTAsync_isConnected(handle_)) {
    MQTTAsync_disconnectOptions disconnect = MQTTAsync_disconnectOptions_initializer;
    disconnect.timeout = static_cast<int>(timeout.count());
    disconnect.onSuccess = OnDisconnected;
    disconnect.onFailure = OnDisconnectFailed;
    disconnect.context = completion;
    if (MQTTAsync_disconnect(handle_, &disconnect) == MQTTASYNC_SUCCESS) {
      completion->Wait(timeout + milliseconds(1000));
    }
  }
  connected_ = false;
}

// ---- subscribing and publishing ---------------------------------------------

int Client::Impl::SubscribeNow(const std::string& filter, int qos, bool wait, std::string* error) {
  auto completion = wait ? std::make_shared<Completion>() : nullptr;
  MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
  CompletionContext* context = CompletionContext::Attach(response, completion);
  int rc = MQTTAsync_subscribe(handle_, filter.c_str(), qos, &response);
  if (rc != MQTTASYNC_SUCCESS) {
    delete context;
    return Fail(rc == MQTTASYNC_DISCONNECTED ? kErrorNotConnected : kErrorRefused,
                "subscribe to " + filter + ": " + ErrorText(rc, nullptr), error);
  }
  if (!wait) return kOk;
  return AwaitCompletion(*completion, milliseconds(10000), "subscribe to " + filter, error);
}

// Whether the session under way took the filters for its resubscription
// already (or is up): a new filter must then be sent by itself. Under mutex_.
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
    return Fail(kErrorInvalid, "bad subscription \"" + filter + "\" QoS " + std::to_string(qos),
                error);
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
    int rc = SubscribeNow(filter, qos, !t_inHandler, &failure);
    std::lock_guard<std::mutex> lock(mutex_);
    if (rc == kOk) RegisterFilter(filter, qos);
    if (session == sessions_ && SessionTookFilters()) {
      return rc == kOk ? kOk : Fail(rc, failure, error);
    }
  }
}

int Client::Impl::Publish(const std::string& topic, const std::string& payload, int qos,
                          bool retained, const std::shared_ptr<Completion>& completion,
                          std::string* error) {
  if (topic.empty() || topic.find_first_of("+#") != std::string::npos || qos < 0 || qos > 2) {
    return Fail(kErrorInvalid, "bad topic \"" + topic + "\" or QoS " + std::to_string(qos), error);
  }
  if (payload.size() > 268435455u) return Fail(kErrorInvalid, "payload too large for MQTT", error);
  if (!connected_) return Fail(kErrorNotConnected, "not connected", error);
  MQTTAsync_message message = MQTTAsync_message_initializer;
  message.payload = const_cast<char*>(payload.data());
  message.payloadlen = static_cast<int>(payload.size());
  message.qos = qos;
  message.retained = retained ? 1 : 0;
  MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
  CompletionContext* context = CompletionContext::Attach(response, completion);
  int rc = MQTTAsync_sendMessage(handle_, topic.c_str(), &message, &response);
  if (rc != MQTTASYNC_SUCCESS) {
    delete context;
    return Fail(rc == MQTTASYNC_DISCONNECTED ? kErrorNotConnected : kErrorRefused,
                "publish to " + topic + ": " + ErrorText(rc, nullptr), error);
  }
  return kOk;
}

int Client::Impl::PublishAndWait(const std::string& topic, const std::string& payload, int qos,
                                 bool retained, milliseconds timeout, std::string* error) {
  if (t_inHandler) return Fail(kErrorInvalid, "PublishAndWait called from inside a handler", error);
  auto completion = std::make_shared<Completion>();
  int rc = Publish(topic, payload, qos, retained, completion, error);
  if (rc != kOk) return rc;
  return AwaitCompletion(*completion, timeout, "publish to " + topic, error);
}

int Client::Impl::OnMessageArrived(void* context, char* topic, int topicLength,
                                   MQTTAsync_message* m) {
  auto* self = static_cast<Impl*>(context);
  {
    CallbackScope scope(self);
    if (scope && self->onMessage) {
      Message message;
      message.topic =
          topicLength > 0 ? std::string(topic, static_cast<size_t>(topicLength)) : topic;
      if (m->payloadlen > 0) {
        message.payload.assign(static_cast<const char*>(m->payload),
                               static_cast<size_t>(m->payloadlen));
      }
      message.qos = m->qos;
      message.retained = m->retained != 0;
      RunHandler("MessageArrived", self->onMessage, message);
    }
  }
  MQTTAsync_freeMessage(&m);
  MQTTAsync_free(topic);
  return 1;  // consumed: Paho must not deliver it again
}

// ---- the public face ---------------------------------------------------------

Client::Client(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Client::~Client() = default;

void Client::OnMessage(MessageHandler handler) { impl_->onMessage = std::move(handler); }
void Client::OnConnected(ConnectedHandler handler) { impl_->onConnected = std::move(handler); }
void Client::OnConnectionLost(LostHandler handler) { impl_->onLost = std::move(handler); }

int Client::Connect(std::chrono::milliseconds timeout, std::string* error) {
  return impl_->Connect(timeout, error);
}
bool Client::IsConnected() const { return impl_->IsConnected(); }

int Client::Subscribe(const std::string& filter, int qos, std::string* error) {
  return impl_->Subscribe(filter, qos, error);
}

int Client::Publish(const std::string& topic, const std::string& payload, int qos, bool retained,
                    std::string* error) {
  return impl_->Publish(topic, payload, qos, retained, nullptr, error);
}

int Client::PublishAndWait(const std::string& topic, const std::string& payload, int qos,
                           bool retained, std::chrono::milliseconds timeout, std::string* error) {
  return impl_->PublishAndWait(topic, payload, qos, retained, timeout, error);
}

void Client::Disconnect(std::chrono::milliseconds timeout) { impl_->Disconnect(timeout); }

const std::string& Client::clientId() const { return impl_->clientId(); }
std::string Client::serverUri() const { return impl_->serverUri(); }

}  // namespace mqtt
}  // namespace kiv
