#include "RequestRouter.h"

#include "Format.h"
#include "Guarded.h"
#include "Log.h"
#include "Protocol.h"
#include "kiv/MqttClient.h"  // error codes

#include <ctime>

namespace kiv {
namespace {

using Clock = std::chrono::steady_clock;

void Log(int level, int category, const char* function, int line, const std::string& text) {
  LogLine(level, category, "sdk", "sdk/RequestRouter", function, line, text);
}

}  // namespace

RequestRouter::RequestRouter(const protocol::CseNames& names,
                             const std::string& allowedOriginators, size_t maxRequestBytes,
                             Hooks hooks)
    : names_(names),
      createdAt_(protocol::Timestamp(std::time(nullptr))),
      allowed_(names.registrarId, allowedOriginators),
      maxRequestBytes_(maxRequestBytes),
      hooks_(std::move(hooks)) {}

void RequestRouter::MessageToGateway(const std::string& payload) {
  if (Proxy::Callback* receiver = hooks_.gateway()) receiver->MessageArrived(payload);
}

void RequestRouter::OnRequest(const std::string& originator, const std::string& payload,
                              size_t sentBytes, bool retained) {
  if (retained) {
    // A retained request would be replayed on every reconnection (a control
    // command carried out again and again): requests are events, not state.
    Log(-1, kLogWarning, "RequestArrived", __LINE__,
        Format("retained request from %s ignored", originator.c_str()));
    return MessageToGateway(payload);
  }
  protocol::Request request = protocol::ParseRequest(payload, names_, maxRequestBytes_, sentBytes);
  if (!allowed_.Allows(originator, request.from)) return RefuseOriginator(originator, request);
  if (request.handling == protocol::Request::kRefused) return Refuse(originator, request, payload);
  if (TraceLevel() >= 2) {
    Log(2, 0, "RequestArrived", __LINE__,
        Format("request %s op %d to \"%s\" from %s", request.rqi.c_str(), request.wireOperation,
               request.to.c_str(), originator.c_str()));
  }
  if (request.handling == protocol::Request::kGateway) {
    PassToGateway(request, originator);
  } else {
    ServeOwnResource(request, originator);
  }
}

// Anyone who can publish could flood the log: one line a minute per kind
// of refusal, counting the rest.
void RequestRouter::Refuse(const std::string& originator, const protocol::Request& request,
                           const std::string& payload) {
  if (std::optional<std::string> line = refusedRequests_.Next(
          Format("request refused (%d): %s", request.refusal, request.error.c_str()), Clock::now())) {
    Log(-1, kLogWarning, "RequestArrived", __LINE__,
        Format("%s (from %s)", line->c_str(), originator.c_str()));
  }
  if (!request.rqi.empty()) {
    hooks_.reply(originator,
                 protocol::ErrorBody(request.rqi, request.refusal, names_.CseId(),
                                     PendingRequests::Origin{originator, request.from}.to(),
                                     request.error));
  }
  // A request past the bound is not handed on either: its size is the fault.
  if (payload.size() <= maxRequestBytes_) MessageToGateway(payload);
}

// Answered 4103 (the originator has no privilege) and never handed to the
// gateway; the line names the first originator of a minute.
void RequestRouter::RefuseOriginator(const std::string& originator,
                                     const protocol::Request& request) {
  if (!request.rqi.empty()) {
    hooks_.reply(originator, protocol::ErrorBody(request.rqi, protocol::kRscNoPrivilege,
                                                 names_.CseId(),
                                                 PendingRequests::Origin{originator, request.from}.to(),
                                                 "originator not allowed"));
  }
  std::optional<std::string> line = refusedOriginators_.Next(
      "request refused (4103): not an allowed originator", Clock::now());
  if (line) {
    Log(-1, kLogError, "RequestArrived", __LINE__,
        Format(request.from.empty() ? "%s: %s" : "%s: %s (fr %s)", line->c_str(), originator.c_str(),
               request.from.c_str()));
  }
}

// The gateway's CSEBase and the registrar's remoteCSE here are the SDK's
// own: the registrar looks at the latter to see that the gateway is alive.
void RequestRouter::ServeOwnResource(const protocol::Request& request,
                                     const std::string& originator) {
  std::string resource =
      request.handling == protocol::Request::kCseBase
          ? protocol::CseBaseResource(names_, hooks_.pointOfAccess(), createdAt_)
          : protocol::RegistrarCsrResource(names_, createdAt_);
  hooks_.reply(originator, protocol::ResponseBody(
                               request.rqi, protocol::kRscOk, names_.CseId(),
                               PendingRequests::Origin{originator, request.from}.to(), resource));
}

void RequestRouter::PassToGateway(protocol::Request& request, const std::string& originator) {
  const PendingRequests::Key key{request.rqi, originator};
  pending_.Remember(key, request.from);
  std::string failure;
  pending_.Answering(&key);
  if (Proxy::Callback* receiver = hooks_.gateway()) failure = HandToGateway(*receiver, request);
  pending_.Answering(nullptr);
  if (!failure.empty()) {
    Log(-1, kLogError, "RequestArrived", __LINE__,
        Format("request %s: %s", request.rqi.c_str(), failure.c_str()));
    return AnswerUnanswered(key, protocol::kRscInternalError, failure);
  }
  if (std::optional<int> rsc = protocol::DefaultStatus(request.wireOperation)) {
    AnswerUnanswered(key, *rsc, "");
  }
}

// A create, update, delete or notify that the gateway took without answering
// is acknowledged with its operation's status, so the platform learns it was
// handed over. A retrieve that found nothing stays unanswered: the gateway
// sends no reply for it, and the platform's timeout tells it so.
void RequestRouter::AnswerUnanswered(const PendingRequests::Key& key, int rsc,
                                     const std::string& reason) {
  std::optional<PendingRequests::Origin> origin = pending_.Take(key);
  if (!origin) return;
  hooks_.reply(origin->originator,
               protocol::IsSuccess(rsc)
                   ? protocol::ResponseBody(key.rqi, rsc, names_.CseId(), origin->to(), "")
                   : protocol::ErrorBody(key.rqi, rsc, names_.CseId(), origin->to(), reason));
}

// A complete answer takes the request; one that could not be sent puts it
// back, so that it can be answered again.
Proxy::Result RequestRouter::Respond(const std::string& requestId, const std::string& content,
                                     int status, bool complete) {
  Proxy::Result result;
  result.requestId = requestId;
  std::optional<int> rsc = protocol::ResponseStatusCode(status);
  std::optional<PendingRequests::Key> key = pending_.KeyOfAnswer(requestId);
  std::optional<PendingRequests::Origin> origin;
  if (rsc && key) origin = pending_.Take(*key, !complete);
  if (!rsc) {
    result.errorCode = mqtt::kErrorInvalid;
    result.message = Format("status %d has no meaning in a response", status);
  } else if (!origin) {
    result.errorCode = mqtt::kErrorInvalid;
    result.message = Format("no request %s waits for an answer", requestId.c_str());
  } else {
    result.message = hooks_.reply(origin->originator,
                                  protocol::ResponseBody(requestId, *rsc, names_.CseId(),
                                                         origin->to(), content));
    if (!result.message.empty()) {
      result.errorCode = hooks_.connected() ? mqtt::kErrorRefused : mqtt::kErrorNotConnected;
      if (complete) pending_.Remember(*key, origin->from);
    }
  }
  return result;
}

}  // namespace kiv
