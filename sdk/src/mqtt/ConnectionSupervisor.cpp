// Connection supervision of kiv::mqtt::Client: when and to which broker
// each attempt goes (ReconnectMachine decides), what follows a connection
// (on the supervisor's thread, never under Paho's lock), a lost session,
// refused logins and TLS failures named. ClientImpl.h has the rules.
#include "ClientImpl.h"

#include "Format.h"
#include "TlsDiagnosis.h"

#include <algorithm>

namespace kiv {
namespace mqtt {
namespace {

// The handshake of our own that names a TLS failure: short, as a stop may
// wait for it.
constexpr milliseconds kTlsDiagnosisTimeout(1000);

}  // namespace

// ---- connecting ------------------------------------------------------------

// Carries out an attempt the machine asked for (on the supervisor's thread:
// resolving the broker's name may block).
void Client::Impl::StartAttempt(const ReconnectMachine::Attempt& attempt) {
  const ServerAddress& address = brokers_[attempt.broker];
  SocketInodes before = OpenSocketInodes();
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
           Format("connecting to %s as %s", BrokerName(attempt.broker).c_str(),
                  options_.clientId.c_str()));
  int rc = MQTTAsync_connect(handle_, &connect);
  if (rc != MQTTASYNC_SUCCESS) AttemptFailed(ErrorText(rc, nullptr));
}

void Client::Impl::AttemptFailed(const std::string& reason, int connack) {
  std::optional<ReconnectMachine::Duration> refusalToReport;
  size_t broker;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lastError_ = reason;
    if (!tlsError_.empty()) lastError_ += Format(" (TLS: %s)", tlsError_.c_str());
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
  std::string user =
      options_.username ? Format("user \"%s\"", options_.username->c_str()) : "no user name";
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(nextAttemptIn).count();
  LogError("Connect", __LINE__,
           Format("%s refused the login (%s, client id \"%s\"): %s; next attempt in %lld s, then "
                  "less and less often, up to every 5 min",
                  BrokerName(broker).c_str(), user.c_str(), options_.clientId.c_str(),
                  ConnackReason(connack).c_str(), static_cast<long long>(seconds)));
}

void Client::Impl::OnConnectFailure(void* context, MQTTAsync_failureData* data) {
  auto* self = static_cast<Impl*>(context);
  CallbackScope scope(self);
  if (!scope) return;
  std::string reason = data ? ErrorText(data->code, data->message) : "connection failed";
  self->AttemptFailed(reason, data && IsConnackRefusal(data->code) ? data->code : 0);
  LogTrace(1, "Connect", __LINE__, Format("connection attempt failed: %s", reason.c_str()));
}

int Client::Impl::OnTlsError(const char* text, size_t length, void* context) {
  auto* self = static_cast<Impl*>(context);
  std::string line(text, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::lock_guard<std::mutex> lock(self->mutex_);
  if (self->tlsError_.empty()) self->tlsError_ = line;
  return 0;
}

// CONNACK came: the supervisor takes it from there (scanning /proc for the
// socket and subscribing must not run under Paho's lock).
void Client::Impl::OnConnectSuccess(void* context, MQTTAsync_successData*) {
  auto* self = static_cast<Impl*>(context);
  CallbackScope scope(self);
  if (!scope) return;
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->sessionUpDue_ = true;
  self->changed_.notify_all();
}

// An attempt that outlived a timeout of ours can open its socket before the
// snapshot of a later attempt is taken; when no new socket is found, every
// socket to the broker gets the option (harmless for another client's).
bool Client::Impl::SetNoDelayOnBrokerSocket(const SocketInodes& before,
                                            const BrokerEndpoint& broker) {
  if (SetNoDelayOnNewSockets(before, broker) > 0) return true;
  return SetNoDelayOnNewSockets(SocketInodes(), broker) > 0;
}

// CONNACK arrived (on the supervisor's thread): tune the socket, then
// subscribe again to every filter and report the connection once the broker
// confirmed them.
void Client::Impl::ConnectionUp() {
  SocketInodes before;
  BrokerEndpoint broker;
  std::list<std::pair<std::string, int>> filters;
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
  Resubscribe(filters);
}


void Client::Impl::MarkConnected() {
  std::optional<bool> reconnected;
  size_t broker;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reconnected = machine_.Subscribed(Clock::now());
    if (!reconnected) return;  // lost again before the subscriptions were confirmed
    broker = machine_.broker();
    connected_ = true;
    reportingConnection_ = true;
    lastError_.clear();
    tlsDiagnosed_ = false;
    tlsDiagnosis_.clear();
  }
  LogTrace(1, "Connect", __LINE__,
           Format("%s to %s", *reconnected ? "reconnected" : "connected",
                  BrokerName(broker).c_str()));
  // A Connect waiting for this connection returns once its handler ran: its
  // caller may count on what the handler started.
  RunHandler("Connected", onConnected, *reconnected);
  std::lock_guard<std::mutex> lock(mutex_);
  reportingConnection_ = false;
  changed_.notify_all();
}

void Client::Impl::OnConnectionLost(void* context, char* cause) {
  auto* self = static_cast<Impl*>(context);
  CallbackScope scope(self);
  if (!scope) return;
  std::string reason = cause && *cause ? cause : "connection lost";
  std::optional<std::string> line;
  std::optional<unsigned> takeover;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    std::string broker = self->BrokerName(self->machine_.broker());
    takeover = self->machine_.Lost(Clock::now());
    self->connected_ = false;
    self->changed_.notify_all();
    line = self->lostConnections_.Next(
        Format("connection to %s lost: %s", broker.c_str(), reason.c_str()), Clock::now());
  }
  if (line) LogError("ConnectionLost", __LINE__, *line);
  if (takeover) {
    LogError("ConnectionLost", __LINE__,
             Format("the broker closed %u sessions in a row within seconds of connecting: most "
                    "likely another client uses the client id \"%s\" (two gateways with one "
                    "device id?); reconnecting less and less often",
                    *takeover, self->options_.clientId.c_str()));
  }
  RunHandler("ConnectionLost", self->onLost, reason);
}

// A broker as the log names it: its address, and its place in a list.
std::string Client::Impl::BrokerName(size_t index) const {
  if (brokers_.size() == 1) return brokers_[index].pahoUri;
  return Format("%s (broker %zu of %zu)", brokers_[index].pahoUri.c_str(), index + 1,
                brokers_.size());
}

std::string Client::Impl::serverUri() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return brokers_[machine_.broker()].uri;
}

int Client::Impl::Connect(milliseconds timeout, std::string* error) {
  if (InsideCallback()) return Fail(kErrorInvalid, "Connect called from inside a handler", error);
  std::lock_guard<std::mutex> serial(connectMutex_);
  std::unique_lock<std::mutex> lock(mutex_);
  if (connected_) return kOk;
  if (disconnected_) return Fail(kErrorNotConnected, "disconnected", error);
  auto deadline = Clock::now() + timeout;
  machine_.Connect(Clock::now(), deadline);
  changed_.notify_all();  // an attempt is due: the supervisor starts it
  std::optional<ReconnectMachine::Outcome> outcome;
  changed_.wait_until(lock, deadline, [&] {
    if (reportingConnection_) return false;
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
  return Fail(kErrorTimeout,
              Format("not connected to %s in time: %s", options_.serverUri.c_str(), reason.c_str()),
              error);
}

std::string Client::Impl::WithTlsDiagnosis(const std::string& reason) const {
  return tlsDiagnosis_.empty() ? reason
                               : Format("%s (%s)", tlsDiagnosis_.c_str(), reason.c_str());
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
    if (sessionUpDue_) {
      sessionUpDue_ = false;
      settingUpSession_ = true;
      lock.unlock();
      ConnectionUp();
      lock.lock();
      settingUpSession_ = false;
      changed_.notify_all();
      continue;
    }
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

}  // namespace mqtt
}  // namespace kiv
