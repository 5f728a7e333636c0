// The Paho session of kiv::mqtt::Client: the handle and its callbacks'
// bookkeeping, publishing, incoming messages, the stop, and the public face.
// ClientImpl.h says how the client is laid out and the rules it keeps.
#include "ClientImpl.h"

#include "Format.h"
#include "Log.h"
#include "RandomHex.h"

#include <algorithm>

namespace kiv {
namespace mqtt {

namespace {

void Log(int level, int category, const char* function, int line, const std::string& text) {
  LogLine(level, category, "mqtt", "sdk/MqttClient", function, line, text);
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

}  // namespace

void LogError(const char* function, int line, const std::string& text) {
  Log(-1, kLogError, function, line, text);
}

void LogTrace(int level, const char* function, int line, const std::string& text) {
  Log(level, 0, function, line, text);
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
  return Format("%s (CONNACK %d)", kConnack[code], code);
}

// Reason text for a Paho return code or a CONNACK refusal code.
std::string ErrorText(int code, const char* message) {
  std::string text;
  if (IsConnackRefusal(code)) {
    text = Format("connection refused by the broker: %s", ConnackReason(code).c_str());
  } else if (code < 0) {
    const char* reason = MQTTAsync_strerror(code);
    text = reason ? reason : Format("error %d", code);
  }
  if (message != nullptr && *message != '\0')
    text += (text.empty() ? "" : ": ") + std::string(message);
  return text.empty() ? Format("failed (code %d)", code) : text;
}

int Fail(int code, const std::string& text, std::string* error) {
  if (error) *error = text;
  return code;
}

namespace {


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

// Waits for a completion of the action ("publish to") on the topic: 0, or
// its error code with the reason in *error.
int AwaitCompletion(Completion& completion, milliseconds timeout, const char* action,
                    const std::string& topic, std::string* error) {
  if (!completion.Wait(timeout)) {
    return Fail(kErrorTimeout, Format("%s %s: no answer in time", action, topic.c_str()), error);
  }
  std::lock_guard<std::mutex> lock(completion.mutex);
  if (completion.code == kOk) return kOk;
  return Fail(completion.code,
              Format("%s %s: %s", action, topic.c_str(), completion.text.c_str()), error);
}

ReconnectMachine::Settings MachineSettings(const Options& options) {
  ReconnectMachine::Settings settings;
  settings.autoReconnect = options.autoReconnect;
  settings.minRetry = options.minRetry.count() > 0 ? options.minRetry : milliseconds(500);
  settings.maxRetry = std::max<ReconnectMachine::Duration>(settings.minRetry, options.maxRetry);
  return settings;
}

}  // namespace

std::unique_ptr<Client::Impl> Client::Impl::Make(Options options, std::string* error) {
  std::vector<ServerAddress> brokers;
  *error = ParseServerUriList(options.serverUri, &brokers);
  if (!error->empty()) return nullptr;
  if (options.clientId.empty()) options.clientId = "kiv-" + RandomHex(12);
  EnablePahoTraceIfConfigured();
  MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
  create.MQTTVersion = MQTTVERSION_3_1_1;
  create.sendWhileDisconnected = 0;
  MQTTAsync handle = nullptr;
  int rc = MQTTAsync_createWithOptions(&handle, brokers[0].pahoUri.c_str(),
                                       options.clientId.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                                       nullptr, &create);
  if (rc != MQTTASYNC_SUCCESS) {
    *error = Format("cannot create an MQTT client for %s: %s", options.serverUri.c_str(),
                    ErrorText(rc, nullptr).c_str());
    return nullptr;
  }
  return std::make_unique<Impl>(std::move(options), std::move(brokers), handle);
}

Client::Impl::Impl(Options options, std::vector<ServerAddress> brokers, MQTTAsync handle)
    : options_(std::move(options)),
      brokers_(std::move(brokers)),
      handle_(handle),
      machine_(brokers_.size(), MachineSettings(options_), SystemDraw()) {
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

void Client::Impl::Disconnect(milliseconds timeout) {
  if (InsideCallback()) {
    LogError("Disconnect", __LINE__, "Disconnect called from inside a handler: ignored");
    return;
  }
  Completion* completion;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    disconnected_ = true;
    machine_.Disconnect();
    changed_.notify_all();
    // A session being set up (its resubscription going to the library) is
    // let finish first: a command the library queues after the disconnect
    // would never be answered, nor freed.
    changed_.wait(lock, [&] { return !settingUpSession_; });
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

int Client::Impl::SubscribeNow(const std::string& filter, int qos, bool wait, std::string* error) {
  auto completion = wait ? std::make_shared<Completion>() : nullptr;
  MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
  CompletionContext* context = CompletionContext::Attach(response, completion);
  int rc = MQTTAsync_subscribe(handle_, filter.c_str(), qos, &response);
  if (rc != MQTTASYNC_SUCCESS) {
    delete context;
    return Fail(rc == MQTTASYNC_DISCONNECTED ? kErrorNotConnected : kErrorRefused,
                Format("subscribe to %s: %s", filter.c_str(), ErrorText(rc, nullptr).c_str()),
                error);
  }
  if (!wait) return kOk;
  return AwaitCompletion(*completion, milliseconds(10000), "subscribe to", filter, error);
}

// Whether the session under way took the filters for its resubscription
// already (or is up): a new filter must then be sent by itself. Under mutex_.

int Client::Impl::Publish(const std::string& topic, const std::string& payload, int qos,
                          bool retained, const std::shared_ptr<Completion>& completion,
                          std::string* error) {
  if (topic.empty() || topic.find_first_of("+#") != std::string::npos || qos < 0 || qos > 2) {
    return Fail(kErrorInvalid, Format("bad topic \"%s\" or QoS %d", topic.c_str(), qos), error);
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
                Format("publish to %s: %s", topic.c_str(), ErrorText(rc, nullptr).c_str()), error);
  }
  return kOk;
}

int Client::Impl::PublishAndWait(const std::string& topic, const std::string& payload, int qos,
                                 bool retained, milliseconds timeout, std::string* error) {
  if (InsideCallback()) return Fail(kErrorInvalid, "PublishAndWait called from inside a handler", error);
  auto completion = std::make_shared<Completion>();
  int rc = Publish(topic, payload, qos, retained, completion, error);
  if (rc != kOk) return rc;
  return AwaitCompletion(*completion, timeout, "publish to", topic, error);
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
        message.size = static_cast<size_t>(m->payloadlen);
        size_t kept = message.size;
        size_t most = self->options_.maxPayloadBytesOn
                          ? self->options_.maxPayloadBytesOn(message.topic)
                          : self->options_.maxPayloadBytes;
        if (most > 0 && kept > most) kept = most + 1;
        message.payload.assign(static_cast<const char*>(m->payload), kept);
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
