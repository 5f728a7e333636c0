// Proxy::Impl: the SDK's core behind the thin kiv::Proxy facade.
//
// One loop thread (EventLoop) owns the protocol state: the registration
// (Registration), the records (Outbox) and the requests waiting for an
// answer (RequestRouter). The MQTT client's handlers copy what arrived into
// the loop's mailbox and return; the gateway's callbacks run on the loop,
// one at a time, in the order things happened. Public calls post to the
// loop and wait only for their own completion (inline when made from inside
// a callback, on the loop). Connect and Disconnect run on the caller's
// thread: they wait for the network, which the loop never does.
#ifndef KIV_SDK_CORE_PROXY_CORE_H
#define KIV_SDK_CORE_PROXY_CORE_H

#include "AnswerDeadline.h"
#include "Cse.h"
#include "EventLoop.h"
#include "IdMap.h"
#include "Journal.h"
#include "Outbox.h"
#include "RecentIds.h"
#include "RecordNames.h"
#include "Registration.h"
#include "RegistrarLink.h"
#include "RepeatedLine.h"
#include "RequestRouter.h"
#include "kiv/MqttClient.h"
#include "kiv/Proxy.h"

#include <atomic>
#include <condition_variable>
#include <list>
#include <utility>
#include <memory>
#include <mutex>
#include <string>

namespace kiv {

// The core's own log lines (module sdk/Proxy), and a setting from the
// environment (fallback when unset or empty).
void LogAt(int level, int category, const char* function, int line, const std::string& text);
// The same through holder: a text that repeats is logged at most once per
// holder's interval.
void LogHeldBack(RepeatedLine& holder, int category, const char* function, int line,
                 const std::string& text);
std::string EnvOr(const char* name, const std::string& fallback);

class KIV_SDK_HIDDEN Proxy::Impl : private RegistrarLink {
public:
  explicit Impl(const ProxyInfo& info);
  ~Impl() override;

  void SetCallback(Callback& callback) { callback_ = &callback; }
  bool IsConnected() const;
  std::string Connect(int timeoutSeconds, bool cleanSession, ResultCallback* callback);
  void Disconnect();
  Result Response(const std::string& requestId, const std::string& content, int status,
                  bool complete, ResultCb* callback);
  Result Record(std::string text, bool waitForDelivery);

private:
  struct Waiter;  // a Create that waits for its record's outcome

  // RegistrarLink, on the loop.
  std::string NewRequestId() override;
  void SendStep(Step step, const std::string& rqi) override;
  void SendRecord(const std::string& rqi, const std::string& name,
                  const std::string& text) override;
  void Log(int category, const std::string& text) override;
  // The holder-back of the operator's lines of one kind.
  RepeatedLine& OperatorLineHolder(const std::string& kind);

  // Connecting (ProxyConnection.cpp), on the caller's thread.
  std::string PrepareClient(bool cleanSession);
  std::string CreateClient(bool cleanSession);
  void HandOverToLoop(mqtt::Client& client);
  void PaceFailedConnect(std::chrono::steady_clock::time_point start);
  void AnnounceOffline(mqtt::Client& client);

  // Events, on the loop.
  void OnConnected();
  void OnConnectionLost(const std::string& cause);
  void OnMessage(const mqtt::Message& message);
  void OnResponse(const std::string& payload);
  void RecordLeft(const Outbox::Record& record, Outbox::Exit exit, int rsc);
  Callback* Gateway() const;
  std::string Reply(const std::string& originator, const std::string& body);
  void SendHeldReplies();
  void SendToRegistrar(const std::string& rqi, const std::string& body, const char* what);
  void ReportDroppedMessages();

  Result WaitUntilStored(Result result, const std::shared_ptr<Waiter>& waiter);
  void RestoreHeldRecords();
  void HoldDurably(const Outbox::Record& record);
  void ForgetHeld(const std::string& name);
  void KeepHeldRecords();

  const ProxyInfo info_;
  const std::string deviceId_;
  protocol::CseNames names_;  // recordsUnderApp follows the registration
  // Who the access control policy lets retrieve the records: the registrar
  // and the allowed originators' patterns.
  const std::vector<std::string> policyReaders_;
  const std::string registrarTopic_;    // where the registration and the records go
  const std::string registrarAnswers_;  // the only answers taken: nobody else can answer them
  const std::string requestPrefix_;
  std::atomic<uint32_t> requestCounter_{0};
  std::atomic<Callback*> callback_{nullptr};
  std::string configWarning_;
  const RecordQueueLimits limits_;
  const size_t maxRequestBytes_;
  std::string namesProblem_;
  std::string placementProblem_;  // an unknown KIV_RECORDS_PLACEMENT
  RecordNames recordNames_;

  // Connecting: one Connect at a time; the client is made by the first,
  // under stateMutex_, where Disconnect marks the proxy stopped.
  std::mutex connectMutex_;
  RepeatedLine connectFailures_{std::chrono::seconds(60)};  // under connectMutex_
  std::mutex stateMutex_;
  std::condition_variable stopWake_;
  std::atomic<bool> disconnected_{false};
  std::string configError_;
  int keepAliveSeconds_ = 0;  // set before any client exists
  std::atomic<unsigned long> droppedMessages_{0};  // the mailbox was full

  // On the loop.
  EventLoop loop_;
  AnswerDeadline answerDeadline_;
  Journal journal_;  // the records held, in the state folder
  RepeatedLine journalFailures_{std::chrono::seconds(60)};
  Registration registration_;
  Outbox outbox_;
  RequestRouter router_;
  std::string poa_;  // as the registrar reaches the gateway: the setting, else the broker connected to
  std::string poaSetting_;  // KIV_POINT_OF_ACCESS, normalised; "" when not set
  bool callbacksClosed_ = false;  // Disconnect: no gateway callback any more
  IdMap<std::shared_ptr<Waiter>> waiters_;
  // Answers that found no connection: sent once the session is up.
  std::list<std::pair<std::string, std::string>> heldReplies_;
  size_t heldReplyBytes_ = 0;
  RepeatedLine replyFailures_{std::chrono::seconds(60)};
  // By kind of line: a few, walked from end to end.
  std::vector<std::pair<std::string, RepeatedLine>> operatorLines_;
  RepeatedLine registrarSendFailures_{std::chrono::seconds(60)};
  RepeatedLine droppedMessagesLine_{std::chrono::seconds(60)};
  // Request ids we sent the registrar: an answer that none of the parts
  // claims (a late one to an abandoned step) is ours all the same.
  RecentIds sent_;

  std::unique_ptr<mqtt::Client> owner_;  // last: destroyed first, while the rest exists
  std::atomic<mqtt::Client*> client_{nullptr};
};

}  // namespace kiv

#endif
