#include "ProxyCore.h"

#include "Format.h"
#include "HandlerMark.h"
#include "Log.h"
#include "Protocol.h"
#include "RandomHex.h"
#include "ServerUri.h"
#include "Settings.h"
#include "StateFolder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kiv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kDeliveryTimeout = 10s;
constexpr size_t kSentRemembered = 512;
constexpr size_t kHeldReplies = 64;
constexpr size_t kHeldReplyBytes = 256 * 1024;
constexpr size_t kOperatorLineKinds = 32;

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

// The device id given, else the SDK's own (kept across restarts where a
// state folder is).
std::string DeviceIdOf(const ProxyInfo& info) {
  if (!info.GetDeviceId().empty()) return info.GetDeviceId();
  std::string problem;
  std::string id = GeneratedDeviceId(&problem);
  if (!problem.empty()) LogAt(-1, kLogError, "Proxy", __LINE__, problem);
  return id;
}

// KIV_RECORDS_PLACEMENT: "remote-cse" (unset: the same) keeps records under
// the gateway's remoteCSE, "ae" under an <AE> of its own.
Registration::Settings RegistrationSettings(std::string* problem) {
  Registration::Settings settings;
  std::string placement = EnvOr("KIV_RECORDS_PLACEMENT", "remote-cse");
  settings.recordsUnderApp = placement == "ae";
  settings.guardResources = true;
  if (!settings.recordsUnderApp && placement != "remote-cse") {
    *problem = Format("KIV_RECORDS_PLACEMENT is \"%s\": it must be remote-cse or ae",
                      placement.c_str());
  }
  return settings;
}

std::vector<std::string> PolicyReaders(const protocol::CseNames& names) {
  std::vector<std::string> readers{names.RegistrarCseId()};
  protocol::OriginatorAllowList allowed(names.registrarId, EnvOr("KIV_ALLOWED_ORIGINATORS", ""));
  readers.insert(readers.end(), allowed.Patterns().begin(), allowed.Patterns().end());
  return readers;
}

// The platform-facing broker address the operator set (a cluster's common
// name, say), in the form a registration carries; "" when none is set. A
// registrar that cannot reach the advertised address drops the registration.
std::string PointOfAccessSetting(std::string* error) {
  static const char* const kName = "KIV_POINT_OF_ACCESS";
  std::string setting = EnvOr(kName, "");
  if (setting.empty()) return "";
  if (setting.find(',') != std::string::npos) {
    *error = Format("%s=\"%s\" names more than one broker", kName, setting.c_str());
    return "";
  }
  ServerAddress address;
  std::string problem = ParseServerUri(setting, &address);
  if (!problem.empty()) {
    *error = Format("%s: %s", kName, problem.c_str());
    return "";
  }
  return protocol::PointOfAccess(address);
}

// How long the connection may stay silent before the MQTT library pings the
// broker; a ping not answered within as long again ends the connection, so
// a broker that froze is noticed within two to three times this (a publish
// in between puts the ping off). The MQTT default, 60 s, let a frozen broker
// go unnoticed for well over two minutes.
int KeepAliveSeconds(std::string* warning) {
  return static_cast<int>(WholeNumberSetting("KIV_KEEPALIVE_SECONDS", 5, 3600, 15, warning));
}

Outbox::Settings OutboxSettings(const RecordQueueLimits& limits) {
  Outbox::Settings settings;
  settings.limits = limits;
  return settings;
}


}  // namespace

// Unset, everyone is let in on purpose (a private broker, the demo).
std::string AllowedOriginatorsProblem() {
  const char* value = std::getenv("KIV_ALLOWED_ORIGINATORS");
  if (value == nullptr || !protocol::OriginatorAllowList("", value).NamesNoOne()) return "";
  return Format("KIV_ALLOWED_ORIGINATORS is set but names no originator (\"%s\"): list the "
                "patterns to let in (gwctl-*), or unset it to let everyone in",
                value);
}

void LogAt(int level, int category, const char* function, int line, const std::string& text) {
  LogLine(level, category, "sdk", "sdk/Proxy", function, line, text);
}

void LogHeldBack(RepeatedLine& holder, int category, const char* function, int line,
                 const std::string& text) {
  if (std::optional<std::string> held = holder.Next(text, RepeatedLine::Clock::now())) {
    LogAt(-1, category, function, line, *held);
  }
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

struct Proxy::Impl::Waiter {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<std::pair<Outbox::Exit, int>> outcome;
};

Proxy::Impl::Impl(const ProxyInfo& info)
    : info_(info),
      deviceId_(DeviceIdOf(info)),
      names_(NamesFor(deviceId_)),
      policyReaders_(PolicyReaders(names_)),
      registrarTopic_(protocol::RequestTopic(deviceId_, names_.registrarId)),
      registrarAnswers_(protocol::ResponseTopic(deviceId_, names_.registrarId)),
      requestPrefix_(RandomHex(8) + "-"),
      limits_(RecordQueueLimitsFromEnvironment(&configWarning_)),
      maxRequestBytes_(protocol::MaxRequestBytesFromEnvironment(&configWarning_)),
      recordNames_(StateFolder(), std::time(nullptr), RandomHex(8), &namesProblem_),
      journal_(StateFolder(), deviceId_, limits_),
      registration_(RegistrationSettings(&placementProblem_), loop_.timers(), *this,
                    answerDeadline_, SystemDraw(),
                    [this](bool registered) {
                      if (registered) {
                        outbox_.Open();
                      } else {
                        outbox_.Close();
                      }
                    }),
      outbox_(OutboxSettings(limits_), loop_.timers(), *this, answerDeadline_, SystemDraw(),
              Outbox::Hooks{[this](const Outbox::Record& record, Outbox::Exit exit,
                                   int rsc) { RecordLeft(record, exit, rsc); },
                            [this] { registration_.Lost(); },
                            [this](const Outbox::Record& record) { HoldDurably(record); },
                            [this](const std::string& name) { ForgetHeld(name); }}),
      router_(names_, EnvOr("KIV_ALLOWED_ORIGINATORS", ""),
              maxRequestBytes_,
              RequestRouter::Hooks{
                  [this](const std::string& originator, const std::string& body) {
                    return Reply(originator, body);
                  },
                  [this] { return Gateway(); }, [this] { return poa_; },
                  [this] { return IsConnected(); }}),
      sent_(kSentRemembered) {
  configError_ = protocol::CheckNames(names_);
  if (configError_.empty()) configError_ = placementProblem_;
  if (configError_.empty()) configError_ = AllowedOriginatorsProblem();
  std::string poaError;
  poaSetting_ = PointOfAccessSetting(&poaError);
  if (configError_.empty()) configError_ = poaError;
  keepAliveSeconds_ = KeepAliveSeconds(&configWarning_);
  if (!configWarning_.empty()) LogAt(-1, kLogError, "Proxy", __LINE__, configWarning_);
  if (!namesProblem_.empty()) LogAt(-1, kLogError, "Proxy", __LINE__, namesProblem_);
  LogAt(1, 0, "Proxy", __LINE__,
        Format("requests are taken from %s", router_.DescribeAllowed().c_str()));
  loop_.Call([this] { RestoreHeldRecords(); });
}

Proxy::Impl::~Impl() {
  Disconnect();
  loop_.Stop();
  // The client goes while everything its last events may touch still
  // exists: it waits for them (they find the loop stopped).
  owner_.reset();
  client_ = nullptr;
  KeepHeldRecords();
}

bool Proxy::Impl::IsConnected() const {
  mqtt::Client* client = client_.load();
  return client != nullptr && client->IsConnected();
}

std::string Proxy::Impl::NewRequestId() {
  return requestPrefix_ + std::to_string(requestCounter_.fetch_add(1) + 1);
}

Proxy::Callback* Proxy::Impl::Gateway() const {
  return callbacksClosed_ ? nullptr : callback_.load();
}

// ---- the registrar -----------------------------------------------------------

// The registration decides where records live; every record is sent after
// the steps that created their container, so the names follow it here.
void Proxy::Impl::SendStep(Step step, const std::string& rqi) {
  names_.recordsUnderApp = registration_.RecordsUnderApp();
  std::string body;
  switch (step) {
    case Step::kCreate: body = protocol::RegistrationCreate(names_, rqi, poa_); break;
    case Step::kUpdate: body = protocol::RegistrationUpdate(names_, rqi, poa_); break;
    case Step::kAppCreate: body = protocol::AppCreate(names_, rqi, poa_); break;
    case Step::kAppUpdate: body = protocol::AppUpdate(names_, rqi, poa_); break;
    case Step::kContainer: body = protocol::ContainerCreate(names_, rqi); break;
    case Step::kPolicy: body = protocol::PolicyCreate(names_, rqi, policyReaders_); break;
    case Step::kPolicyUpdate: body = protocol::PolicyUpdate(names_, rqi, policyReaders_); break;
    case Step::kParentGuard: body = protocol::ParentGuard(names_, rqi); break;
    case Step::kContainerGuard: body = protocol::ContainerGuard(names_, rqi); break;
    case Step::kCheck: body = protocol::RegistrationRetrieve(names_, rqi); break;
  }
  SendToRegistrar(rqi, body, "sent");
}

void Proxy::Impl::SendRecord(const std::string& rqi, const std::string& name,
                             const std::string& text) {
  SendToRegistrar(rqi, protocol::ContentInstanceCreate(names_, rqi, name, text), "record");
}

// A send that fails is answered by its timer: it goes again later.
void Proxy::Impl::SendToRegistrar(const std::string& rqi, const std::string& body,
                                  const char* what) {
  sent_.Add(rqi);
  mqtt::Client* client = client_.load();
  std::string error = "not connected";
  if (client != nullptr && client->Publish(registrarTopic_, body, 1, false, &error) == 0) {
    if (TraceLevel() >= 2) LogAt(2, 0, "Registration", __LINE__, std::string(what) + " " + body);
    return;
  }
  LogHeldBack(registrarSendFailures_, kLogWarning, "Registration", __LINE__,
              Format("not sent to the registrar: %s", error.c_str()));
}

// The registration's and the outbox's lines are what an operator must see
// of the platform (records held, delivered, lost): printed in the default
// log too, each kind of line at most once a minute however the platform
// flaps (a kind is the text without its numbers).
void Proxy::Impl::Log(int category, const std::string& text) {
  if (category == kLogInformation) {
    LogAt(1, 0, "Registration", __LINE__,
          Format("%s %s as %s (%s)", text.c_str(), names_.RegistrarCseId().c_str(),
                 names_.CseId().c_str(), poa_.c_str()));
    return;
  }
  std::string kind;
  for (char c : text) {
    if (c < '0' || c > '9') kind += c;
  }
  RepeatedLine& holder = OperatorLineHolder(kind);
  std::optional<std::string> line = holder.Next(kind, Clock::now());
  if (!line) return;
  LogAt(kNoticeLevel, category, "Registration", __LINE__,
        Format("%s: %s%s", names_.RegistrarCseId().c_str(), text.c_str(),
               line->c_str() + kind.size()));
}

RepeatedLine& Proxy::Impl::OperatorLineHolder(const std::string& kind) {
  for (auto& held : operatorLines_) {
    if (held.first == kind) return held.second;
  }
  if (operatorLines_.size() >= kOperatorLineKinds) operatorLines_.clear();
  operatorLines_.emplace_back(kind, RepeatedLine(std::chrono::seconds(60)));
  return operatorLines_.back().second;
}

// ---- events ------------------------------------------------------------------

void Proxy::Impl::OnConnected() {
  mqtt::Client* client = client_.load();
  std::string error;
  if (client->Publish(protocol::StatusTopic(deviceId_), "online", 1, true, &error) != 0) {
    LogAt(-1, kLogError, "Connected", __LINE__,
          Format("could not publish online status: %s", error.c_str()));
  }
  std::string broker = client->serverUri();
  // The client's URI is checked already.
  poa_ = poaSetting_.empty() ? protocol::PointOfAccess(broker) : poaSetting_;
  LogAt(1, 0, "Connected", __LINE__,
        Format("connected to %s as %s", broker.c_str(), deviceId_.c_str()));
  SendHeldReplies();
  registration_.Connected();
  if (Callback* receiver = Gateway()) receiver->Connected();
}

void Proxy::Impl::OnConnectionLost(const std::string& cause) {
  registration_.Disconnected();
  outbox_.Close();
  if (Callback* receiver = Gateway()) receiver->ConnectionLost(cause);
}

void Proxy::Impl::OnMessage(const mqtt::Message& message) {
  ReportDroppedMessages();
  if (TraceLevel() >= 3) {
    LogAt(3, 0, "MessageArrived", __LINE__, message.topic + " " + message.payload);
  }
  if (auto originator = protocol::RequestOriginator(message.topic, deviceId_)) {
    router_.OnRequest(*originator, message.payload, message.size, message.retained);
  } else if (message.topic == registrarAnswers_) {
    OnResponse(message.payload);
  } else if (Callback* receiver = Gateway()) {
    receiver->MessageArrived(message.payload);
  }
}

void Proxy::Impl::ReportDroppedMessages() {
  unsigned long dropped = droppedMessages_.exchange(0);
  if (dropped == 0) return;
  if (std::optional<std::string> line = droppedMessagesLine_.Next(
          "messages from the broker dropped: more arrived than the SDK could take", Clock::now())) {
    LogAt(-1, kLogError, "MessageArrived", __LINE__, Format("%s (%lu)", line->c_str(), dropped));
  }
}

// Answers to the registration and to records. One the gateway cannot know
// of (another party's id) reaches it as ResponseArrived.
void Proxy::Impl::OnResponse(const std::string& payload) {
  std::optional<protocol::Reply> reply = protocol::ParseAnswer(payload);
  if (!reply) {
    if (Callback* receiver = Gateway()) receiver->MessageArrived(payload);
    return;
  }
  if (TraceLevel() >= 2) {
    LogAt(2, 0, "ResponseArrived", __LINE__,
          Format("response %s rsc %d", reply->rqi.c_str(), reply->rsc));
  }
  if (registration_.Answer(reply->rqi, reply->rsc, reply->debug) ||
      outbox_.Answer(reply->rqi, reply->rsc) || sent_.Contains(reply->rqi)) {
    return;
  }
  if (Callback* receiver = Gateway()) receiver->ResponseArrived(reply->rqi, reply->rsc);
}

// ---- answers to the platform's requests --------------------------------------

// An answer that finds no connection waits for the next session (a request
// the broker delivered right after connecting, before the SDK counted
// itself connected, is answered then); one the MQTT library refuses is
// reported, one line a minute.
std::string Proxy::Impl::Reply(const std::string& originator, const std::string& body) {
  std::string topic = protocol::ResponseTopic(originator, deviceId_);
  mqtt::Client* client = client_.load();
  std::string error = "not connected";
  if (client != nullptr && client->Publish(topic, body, 1, false, &error) == 0) return "";
  if (client != nullptr && !client->IsConnected() && !disconnected_) {
    while (!heldReplies_.empty() &&
           (heldReplies_.size() >= kHeldReplies || heldReplyBytes_ + body.size() > kHeldReplyBytes)) {
      heldReplyBytes_ -= heldReplies_.front().second.size();
      heldReplies_.pop_front();
    }
    heldReplyBytes_ += body.size();
    heldReplies_.emplace_back(std::move(topic), body);
    return "";
  }
  if (std::optional<std::string> line =
          replyFailures_.Next(Format("responses not sent: %s", error.c_str()), Clock::now())) {
    LogAt(-1, kLogError, "Response", __LINE__,
          Format("%s (the last to %s)", line->c_str(), originator.c_str()));
  }
  return error;
}

void Proxy::Impl::SendHeldReplies() {
  mqtt::Client* client = client_.load();
  while (!heldReplies_.empty()) {
    std::string error;
    auto& [topic, body] = heldReplies_.front();
    if (client->Publish(topic, body, 1, false, &error) != 0) {
      LogAt(-1, kLogError, "Response", __LINE__,
            Format("held response not sent: %s", error.c_str()));
    }
    heldReplyBytes_ -= body.size();
    heldReplies_.pop_front();
  }
}

Proxy::Result Proxy::Impl::Response(const std::string& requestId, const std::string& content,
                                    int status, bool complete, ResultCb* callback) {
  Result result;
  result.requestId = requestId;
  result.errorCode = mqtt::kErrorNotConnected;
  result.message = "the proxy stopped";
  loop_.Call([&] { result = router_.Respond(requestId, content, status, complete); });
  if (callback) {
    if (result.errorCode == 0) {
      callback->OnSuccess(requestId);
    } else {
      callback->OnFailure(requestId, result.errorCode);
    }
  }
  return result;
}

// ---- records -----------------------------------------------------------------

// Taken whatever the connection's state: a record produced is kept until
// the platform stored it or it is reported.
Proxy::Result Proxy::Impl::Record(std::string text, bool waitForDelivery) {
  Result result;
  if (waitForDelivery && (loop_.OnLoopThread() || InsideCallback())) {
    result.errorCode = mqtt::kErrorInvalid;
    result.message = "Create waiting for delivery called from inside a callback";
    return result;
  }
  result.requestId = NewRequestId();
  auto waiter = waitForDelivery ? std::make_shared<Waiter>() : nullptr;
  Outbox::Record record{result.requestId, recordNames_.Next(), std::move(text)};
  // Handed over, not posted: the record is in the outbox when Create
  // returns, and a gateway that produces faster than the loop takes them
  // waits instead of piling copies up in the mailbox.
  if (!loop_.Call([&] {
        if (waiter) waiters_[record.id] = waiter;
        outbox_.Add(std::move(record));
      })) {
    result.errorCode = mqtt::kErrorNotConnected;
    result.message = "the proxy stopped";
    return result;
  }
  return waiter ? WaitUntilStored(std::move(result), waiter) : result;
}

Proxy::Result Proxy::Impl::WaitUntilStored(Result result, const std::shared_ptr<Waiter>& waiter) {
  std::optional<std::pair<Outbox::Exit, int>> outcome;
  {
    std::unique_lock<std::mutex> lock(waiter->mutex);
    waiter->done.wait_for(lock, kDeliveryTimeout, [&] { return waiter->outcome.has_value(); });
    outcome = waiter->outcome;
  }
  std::string id = result.requestId;
  loop_.Post([this, id] { waiters_.erase(id); });
  if (!outcome) {
    result.errorCode = mqtt::kErrorTimeout;
    result.message = "not stored by the platform's CSE within 10 s; it stays queued";
  } else if (outcome->first == Outbox::Exit::kRefused) {
    result.errorCode = mqtt::kErrorRefused;
    result.message = Format("refused by the platform's CSE (%d)", outcome->second);
  } else if (outcome->first == Outbox::Exit::kDropped) {
    result.errorCode = mqtt::kErrorRefused;
    result.message = "dropped: the record queue was full";
  } else if (outcome->first == Outbox::Exit::kKeptAtStop) {
    result.errorCode = mqtt::kErrorTimeout;
    result.message = "not stored before the stop; kept for the next start";
  }
  return result;
}

// The one report of every record that leaves the outbox.
void Proxy::Impl::RecordLeft(const Outbox::Record& record, Outbox::Exit exit, int rsc) {
  if (exit == Outbox::Exit::kStored) registration_.RecordStored();
  auto waiting = waiters_.find(record.id);
  if (waiting != waiters_.end()) {
    std::lock_guard<std::mutex> lock(waiting->second->mutex);
    waiting->second->outcome = std::make_pair(exit, rsc);
    waiting->second->done.notify_all();
  }
  bool answered = exit == Outbox::Exit::kStored || exit == Outbox::Exit::kRefused;
  if (!answered) return;
  if (Callback* receiver = Gateway()) receiver->ResponseArrived(record.id, rsc);
}

// Records held at the last run (stopped, crashed or cut off) go first,
// under their own names: one the registrar did store meanwhile is answered
// 4105 and not stored twice.
void Proxy::Impl::RestoreHeldRecords() {
  Journal::Loaded held = journal_.Open();
  if (!held.problem.empty()) {
    LogAt(-1, kLogError, "Proxy", __LINE__, Format("held records: %s", held.problem.c_str()));
  }
  if (held.records.empty()) return;
  size_t count = held.records.size();
  outbox_.Restore(std::move(held.records));
  LogAt(kNoticeLevel, kLogWarning, "Proxy", __LINE__,
        Format("%zu records held at the last run read from %s", count, journal_.path().c_str()));
}

void Proxy::Impl::HoldDurably(const Outbox::Record& record) {
  std::string error = journal_.Hold(record);
  if (error.empty()) return;
  LogHeldBack(journalFailures_, kLogError, "Proxy", __LINE__,
              Format("held records are not kept across a stop or a power cut: %s", error.c_str()));
}

void Proxy::Impl::ForgetHeld(const std::string& name) {
  std::string error = journal_.Forget(name);
  if (error.empty()) return;
  LogHeldBack(journalFailures_, kLogError, "Proxy", __LINE__,
              Format("the journal of held records: %s", error.c_str()));
}

// At the stop every record not stored is held (most are already).
void Proxy::Impl::KeepHeldRecords() {
  size_t count = outbox_.Size();
  outbox_.KeepAll();
  if (count == 0) return;
  if (journal_.path().empty()) {
    LogAt(-1, kLogError, "Proxy", __LINE__,
          Format("%zu records not stored by the platform are lost: no state folder", count));
  } else {
    LogAt(kNoticeLevel, kLogWarning, "Proxy", __LINE__,
          Format("%zu records not stored by the platform are kept in %s for the next start", count,
                 journal_.path().c_str()));
  }
}

}  // namespace kiv
