// The cloud SDK's public interface: the connection to the platform's MQTT
// broker, the data channel, responses to platform requests and logging.
//
// The wire protocol behind these calls is described in docs/protocol.md.
// Threading: the events of Proxy::Callback come on the SDK's own threads
// (the MQTT library's, the registrar's), never on a thread while it is inside
// one of the calls below, and may run concurrently with the gateway's
// threads. The result callbacks (ResultCallback, ResultCb) are the
// exception: they run on the thread that called Connect or Response, before
// that call returns. Every call may be made from any thread; Connect and
// Disconnect not from inside an event.
// Exceptions: what RequestArrived throws is caught, logged and answered as
// an internal error (5000). The other events and the result callbacks must
// not throw: the SDK is built without exceptions, and one that passes
// through it ends the process, as running out of memory inside it does.
#ifndef KIV_PROXY_H
#define KIV_PROXY_H

#include "kiv/Export.h"

#include <functional>
#include <list>
#include <memory>
#include <string>

namespace kiv {

// How the proxy reaches the platform. MQTT over TCP or TLS, chosen by the
// server URI's scheme, is the only transport.
enum ConnectionType { kConnectionMqtt = 1 };

// Kind of event a notification reports (oneM2M notificationEventType).
enum NotificationEventType {
  kNotificationUpdate = 1,
  kNotificationDelete = 2,
  kNotificationCreateChild = 3,
  kNotificationDeleteChild = 4,
};

// Connection description: what the proxy needs to reach and identify itself.
class KIV_SDK_API ProxyInfo {
public:
  // key: the device key; the SDK never sends it;
  // token: the device token (the default password, see docs/protocol.md);
  // serverURI: tcp://, mqtt://, ssl:// or mqtts:// host:port.
  ProxyInfo(ConnectionType type, std::string key, std::string token, std::string serverURI);

  void SetDeviceId(const std::string& deviceId);
  void SetServiceEnabled(bool enabled);
  void SetUsername(const std::string& username);
  void SetPassword(const std::string& password);

  ConnectionType GetType() const { return type_; }
  const std::string& GetKey() const { return key_; }
  const std::string& GetToken() const { return token_; }
  const std::string& GetServerURI() const { return serverURI_; }
  const std::string& GetDeviceId() const { return deviceId_; }
  bool IsServiceEnabled() const { return serviceEnabled_; }
  const std::string& GetUsername() const { return username_; }
  const std::string& GetPassword() const { return password_; }

private:
  ConnectionType type_;
  std::string key_;
  std::string token_;
  std::string serverURI_;
  std::string deviceId_;
  bool serviceEnabled_ = false;
  std::string username_;
  std::string password_;
};

// One resource type asked for by a retrieve request.
struct RequestTarget {
  int type = 0;
};

// One item of a create, update or delete request: its resource type and its
// content (a JSON text).
struct RequestContent {
  int type = 0;
  std::string text;
};

// Operation codes as RequestArrived receives them.
enum RequestOperation {
  kOperationCreate = 1,
  kOperationDelete = 2,
  kOperationUpdate = 4,
  kOperationNotify = 5,
  kOperationRetrieve = 6,
};

// NotifyCreating's result: nothing was sent (see Data::NotifyCreating).
constexpr int kNotificationNotSent = 1;

// Response status accepted by Proxy::Response. kStatusOk is sent as the
// oneM2M response status code 2000; the others map as documented there.
enum ResponseStatus { kStatusOk = 15 };

class KIV_SDK_API Proxy {
public:
  // Outcome of an asynchronous call. errorCode is 0 when the message was
  // accepted for sending, a negative code otherwise; requestId names the
  // request it belongs to, message says what went wrong.
  struct Result {
    std::string requestId;
    std::string message;
    int errorCode = 0;
  };

  // Events of the connection. All bodies are empty by default.
  class Callback {
  public:
    virtual ~Callback() {}
    // The connection is up (first connection and every reconnection).
    virtual void Connected() {}
    // The connection was lost; the SDK reconnects by itself.
    virtual void ConnectionLost(const std::string& cause) { (void)cause; }
    // A message on the device's topics that is not a well-formed request.
    virtual void MessageArrived(const std::string& message) { (void)message; }
    // A platform request; op is a RequestOperation. Answer with
    // Proxy::Response, from inside this call if wanted. Do not wait here for
    // another thread that calls the proxy: the MQTT library delivers the
    // next message only after this returns, and may hold that thread's send.
    virtual void RequestArrived(const std::string& requestId, int op,
                                std::list<RequestTarget>& targets,
                                std::list<RequestContent>& contents) {
      (void)requestId; (void)op; (void)targets; (void)contents;
    }
    // The platform's response to a record we published; ec is its oneM2M
    // response status code.
    virtual void ResponseArrived(const std::string& requestId, int ec) {
      (void)requestId; (void)ec;
    }
  };

  // Outcome of Connect.
  class ResultCallback {
  public:
    virtual ~ResultCallback() {}
    virtual void OnSuccess(const std::string& requestId) { (void)requestId; }
    virtual void OnFailure(const std::string& requestId, const std::string& cause) {
      (void)requestId; (void)cause;
    }
  };

  // Outcome of Response.
  class ResultCb {
  public:
    virtual ~ResultCb() {}
    virtual void OnSuccess(const std::string& requestId) { (void)requestId; }
    virtual void OnFailure(const std::string& requestId, int ec) { (void)requestId; (void)ec; }
  };

  explicit Proxy(const ProxyInfo& info);
  ~Proxy();
  Proxy(const Proxy&) = delete;
  Proxy& operator=(const Proxy&) = delete;

  // Registers the receiver of connection events and requests. It must outlive
  // the proxy (or the proxy must be disconnected first).
  void SetCallback(Callback& callback);

  // The real state of the connection at this moment.
  bool IsConnected() const;

  // Connects and blocks until connected or until timeoutSeconds passed
  // (retrying inside that time); never returns a failure in less than about
  // a second, unless Disconnect ends the wait. cleanSession asks the broker
  // to drop earlier subscriptions; the first call's value holds for the
  // proxy's life. Returns "" on success, else the reason, which is logged
  // (the same reason again at most once a minute). The optional callback
  // hears the outcome too, on this thread (with the device id as request id).
  // After the first connection the proxy reconnects by itself. Concurrent
  // calls wait one after the other. Not from inside a callback.
  std::string Connect(int timeoutSeconds, bool cleanSession, ResultCallback* callback);

  // Publishes "offline" when connected, closes the connection and stops
  // reconnecting, for good: a Connect waiting on another thread returns at
  // once ("disconnected"), and so does every later one. This is how a stop
  // ends a Connect that waits for a broker which does not answer.
  void Disconnect();

  // Answers the request requestId with content (a JSON text or plain text)
  // and status (kStatusOk, or a oneM2M status code 1000..6999). Safe to call
  // from inside RequestArrived: it only queues the message. From inside
  // RequestArrived it answers that request; from another thread, the oldest
  // waiting request with this id (ids are unique per originator only).
  // complete=false is reserved for partial answers and is sent the same way
  // today (the request may then be answered again). A request gets one
  // complete answer, also when the gateway answers from its own thread while
  // the SDK answers for it: the second finds nothing (-4). errorCode: 0
  // queued; -1 not connected; -2 the MQTT library refused it (the request
  // then still waits); -4 no such request waits for an answer, or the status
  // means nothing. A request left unanswered when RequestArrived returns is
  // answered by the SDK (docs/protocol.md).
  Result Response(const std::string& requestId, const std::string& content, int status,
                  bool complete, ResultCb* callback);

  class Impl;

private:
  friend class Data;
  std::unique_ptr<Impl> impl_;
};

// The data channel: records of the device's node data.
class KIV_SDK_API Data {
public:
  explicit Data(Proxy* proxy);

  // Stores the text, unchanged, as a contentInstance in the gateway's records
  // container at the platform's CSE; the CSE's final answer reaches
  // Callback::ResponseArrived with the result's requestId. The record joins
  // a bounded queue and is sent, in order, once the gateway is registered;
  // it stays queued through a silent, restarting or unregistered CSE and a
  // lost connection until the CSE has stored it, each record exactly once
  // (docs/protocol.md, "Records"). waitForDelivery=true blocks (up to 10 s)
  // until the CSE answered it; not from inside a callback, where it returns
  // -4 at once. errorCode: 0 queued (or, waiting, stored); -1 not
  // connected (nothing queued); -2 the CSE refused the record for good;
  // -3 not stored within 10 s (it stays queued).
  Proxy::Result Create(const std::string& text, bool waitForDelivery);
  // The same, taking the text over instead of copying it: a record may be
  // as large as the node output bound, and a router's memory is small.
  Proxy::Result Create(std::string&& text, bool waitForDelivery);

  // Sends nothing and returns kNotificationNotSent: the platform's CSE
  // notifies the subscribers of the records container by itself when Create
  // stores a record there (docs/protocol.md). -4 without a proxy.
  int NotifyCreating(const std::string& text, NotificationEventType eventType);

private:
  Proxy* proxy_;
};

// ---- Logging -------------------------------------------------------------

// Log categories (bit values of the category mask of SetLogConfig).
enum LogCategory {
  kLogFatal = 1,
  kLogCritical = 2,
  kLogError = 4,
  kLogWarning = 8,
  kLogInformation = 16,
};

// Writes one log line: time, category, source file and line, function and the
// printf-formatted message. level -1 means "the category decides"; tag is an
// optional component name. Thread-safe.
KIV_SDK_API void PrintLog(int level, int category, const char* tag, const char* file, int line,
              const char* function, const char* format, ...)
    __attribute__((format(printf, 7, 8)));

// Chooses what is logged and where (docs/protocol.md, "Logging"). Lines
// logged before the first call are held (the latest 64): the first call
// prints those it lets through, in their order and with their times, and
// sends them to syslog when asked; errors were printed at once already.
//   traceLevel   0 none .. 3 all of the SDK's own protocol trace;
//   categoryMask which categories are printed (OR of LogCategory);
//   toSyslog     1: also send every printed line to syslog (facility
//                daemon, named by the program: gatewayd for the gateway);
//   pahoTrace    1: also print the MQTT library's own trace.
// Debug is (3, 31, 1, 1); normal is (0, 7, 0, 0), which still prints errors.
KIV_SDK_API void SetLogConfig(int traceLevel, int categoryMask, int toSyslog, int pahoTrace);

// Why the originator allow-list (KIV_ALLOWED_ORIGINATORS) cannot be used, or
// "" when it can: set but naming no one (empty, or separators only), a slip
// that would let everyone in. Connect refuses such a setting with the same
// text; a program checks it at start so as to stop instead of retrying.
KIV_SDK_API std::string AllowedOriginatorsProblem();

// text with every control character escaped, so that text from outside (a
// payload, a topic, a request id) cannot start a log line of its own or drive
// a terminal: "\n" and "\r" as those two characters, any other byte below
// 0x20 and 0x7f as "\xNN". Other bytes (UTF-8 included) are kept. The SDK's own
// lines are escaped already; a caller of PrintLog escapes the values it
// formats with %s, never the format.
KIV_SDK_API std::string EscapeLogText(const std::string& text);

// One formatted log line, as a sink receives it.
struct LogRecord {
  int level = -1;
  int category = 0;
  std::string tag;
  std::string file;
  int line = 0;
  std::string function;
  std::string message;
};

// Installs a sink that receives every record that passes the category mask,
// in addition to standard error (an empty function removes it). Meant for
// tests and for embedding; called on the logging thread, under a lock.
KIV_SDK_API void SetLogSink(std::function<void(const LogRecord&)> sink);

}  // namespace kiv

#endif  // KIV_PROXY_H
