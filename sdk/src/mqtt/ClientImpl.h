// kiv::mqtt::Client's inside, over Paho's asynchronous C library, in three
// files: the Paho session (PahoSession.cpp: the handle, publishing, the
// messages and the stop), connection supervision (ConnectionSupervisor.cpp:
// when and where to connect, the session's life) and the subscriptions
// (Subscriptions.cpp).
//
// Paho runs one sending and one receiving thread for all clients of the
// process and calls our callbacks on them, under its own lock. Rules kept:
//  - no lock of ours is held while calling into Paho (Paho may hold its own
//    lock while it calls us back, so the other order could deadlock);
//  - nothing blocks or scans inside a Paho callback: what follows a
//    connection (tuning the socket, subscribing again) runs on the
//    supervisor's thread, and the subscriptions' outcome comes back as a
//    callback, never waited for;
//  - no exception leaves a callback;
//  - reconnection is ours, not Paho's, so that we choose when and to which
//    broker of a list each attempt goes (ReconnectMachine decides; this code
//    carries it out) and can set TCP_NODELAY on each new socket.
// This is the only code of ours that includes Paho.
#ifndef KIV_SDK_MQTT_CLIENT_IMPL_H
#define KIV_SDK_MQTT_CLIENT_IMPL_H

#include "kiv/MqttClient.h"

#include "Completion.h"
#include "HandlerMark.h"
#include "ReconnectMachine.h"
#include "RepeatedLine.h"
#include "ServerUri.h"
#include "TcpNoDelay.h"

#include <MQTTAsync.h>

#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kiv {
namespace mqtt {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The transport's log lines: an error, or a trace level 1..3 (printed up
// to SetLogConfig's trace level).
void LogError(const char* function, int line, const std::string& text);
void LogTrace(int level, const char* function, int line, const std::string& text);

bool IsConnackRefusal(int code);
// The name MQTT 3.1.1 gives a CONNACK refusal code (1..5).
std::string ConnackReason(int code);
// Reason text for a Paho return code or a CONNACK refusal code.
std::string ErrorText(int code, const char* message);
// Puts text into *error (when given) and returns code.
int Fail(int code, const std::string& text, std::string* error);

// Run a user's handler, when there is one, on a Paho thread: marked as
// inside a callback, and no exception may travel back into the C library
// (it is logged under name). Defined in Guarded.cpp, the one file of the
// SDK built with exceptions: an exception must not unwind through a frame
// that has no tables for it.
void RunHandler(const char* name, const Client::MessageHandler& handler, Message& message);
void RunHandler(const char* name, const Client::ConnectedHandler& handler, bool reconnected);
void RunHandler(const char* name, const Client::LostHandler& handler, const std::string& cause);

class KIV_SDK_HIDDEN Client::Impl {
public:
  // The client for options, or null with the reason in *error (a server
  // URI that cannot be used, a client the library cannot make).
  static std::unique_ptr<Impl> Make(Options options, std::string* error);
  Impl(Options options, std::vector<ServerAddress> brokers, MQTTAsync handle);
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

  // Connection supervision, on the supervisor's thread.
  void Supervise();
  void StartAttempt(const ReconnectMachine::Attempt& attempt);
  void ConnectionUp();
  bool SetNoDelayOnBrokerSocket(const SocketInodes& before, const BrokerEndpoint& broker);
  void DiagnoseTlsFailure(std::unique_lock<std::mutex>& lock);
  void MarkConnected();
  // connack: the broker's refusal code (1..5), 0 when it did not answer.
  void AttemptFailed(const std::string& reason, int connack = 0);
  void LogRefusal(int connack, size_t broker, ReconnectMachine::Duration nextAttemptIn) const;
  std::string BrokerName(size_t index) const;
  std::string WithTlsDiagnosis(const std::string& reason) const;

  // Subscriptions.
  void Resubscribe(const std::list<std::pair<std::string, int>>& filters);
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
  bool sessionUpDue_ = false;          // CONNACK came: the supervisor takes it from there
  bool settingUpSession_ = false;      // the supervisor is in ConnectionUp
  bool reportingConnection_ = false;   // the Connected handler runs; a Connect's wait ends after it
  SocketInodes socketsBeforeAttempt_;
  BrokerEndpoint brokerOfAttempt_;  // resolved when the attempt started
  // The filters subscribed to or queued for the next session, and how many
  // sessions took them for their resubscription.
  std::list<std::pair<std::string, int>> filters_;
  uint64_t sessions_ = 0;
  RepeatedLine resubscribeFailures_{std::chrono::seconds(60)};  // under mutex_
  RepeatedLine lostConnections_{std::chrono::seconds(60)};      // under mutex_
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

}  // namespace mqtt
}  // namespace kiv

#endif
