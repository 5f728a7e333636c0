// The platform's requests to the gateway: who may ask (the allow-list),
// what the SDK answers itself (its CSEBase, the registrar's remoteCSE here,
// refusals), what goes to the gateway (RequestArrived) and how its answers
// find their request (PendingRequests): one complete answer per request,
// and a request the gateway took without answering is acknowledged for it.
//
// Runs on the SDK's loop: not thread-safe.
#ifndef KIV_SDK_CORE_REQUEST_ROUTER_H
#define KIV_SDK_CORE_REQUEST_ROUTER_H

#include "Cse.h"
#include "Function.h"
#include "Originators.h"
#include "PendingRequests.h"
#include "RepeatedLine.h"
#include "RequestMapping.h"
#include "kiv/Proxy.h"

#include <string>

namespace kiv {

class RequestRouter {
public:
  struct Hooks {
    // Sends an answer; "" when sent, else why not.
    Function<std::string(const std::string& originator, const std::string& body)> reply;
    // The gateway's receiver of requests, or nullptr when none (or stopped).
    Function<Proxy::Callback*()> gateway;
    Function<std::string()> pointOfAccess;
    Function<bool()> connected;
  };

  // maxRequestBytes: a larger request is refused without being parsed.
  RequestRouter(const protocol::CseNames& names, const std::string& allowedOriginators,
                size_t maxRequestBytes, Hooks hooks);

  // payload may arrive cut past the request bound; sentBytes is its whole size.
  void OnRequest(const std::string& originator, const std::string& payload, size_t sentBytes,
                 bool retained);
  // Proxy::Response, on the loop.
  Proxy::Result Respond(const std::string& requestId, const std::string& content, int status,
                        bool complete);

  std::string DescribeAllowed() const { return allowed_.Describe(); }

private:
  void Refuse(const std::string& originator, const protocol::Request& request,
              const std::string& payload);
  void RefuseOriginator(const std::string& originator, const protocol::Request& request);
  void ServeOwnResource(const protocol::Request& request, const std::string& originator);
  void PassToGateway(protocol::Request& request, const std::string& originator);
  void AnswerUnanswered(const PendingRequests::Key& key, int rsc, const std::string& reason);
  void MessageToGateway(const std::string& payload);

  const protocol::CseNames names_;
  const std::string createdAt_;
  const protocol::OriginatorAllowList allowed_;
  const size_t maxRequestBytes_;
  Hooks hooks_;
  PendingRequests pending_;
  RepeatedLine refusedOriginators_{std::chrono::seconds(60)};
  RepeatedLine refusedRequests_{std::chrono::seconds(60)};
};

}  // namespace kiv

#endif
