// The parts of request handling that need no connection: the retrieve reply
// and the reading of create, update and delete items. Every log line is one
// category-16 line of "RequestArrived", as the handler's own. All of it is
// safe on any thread: it reads only its arguments.
#ifndef KIV_GATEWAY_REQUEST_H
#define KIV_GATEWAY_REQUEST_H

#include "Gateway.h"

#include <list>
#include <string>

// Type codes of targets and contents items.
enum ResourceType {
  kResourceContainer = 3,
  kResourceMgmtCmd = 12,
  kResourceNode = 14,
  kResourceSchedule = 18,
  kResourceFirmware = 1001,
  kResourceDeviceInfo = 1007,
  kResourceDeviceAttributes = 20002,
};

// Local time as "YYYY-MM-DD hh:mm:ss" (thread-safe).
std::string RequestTimeText();

// The reply document to a retrieve of targets, styled text, or "" when no
// target names a resource this gateway reports (then nothing is sent).
// timeText is every creationTime of the reply.
std::string RenderRetrieveReply(const std::list<kiv::RequestTarget>& targets,
                                const DeviceInfo& devices, const std::string& timeText);

// Receives the JSON text of one control command value (Input of the node
// bridge): any callable taking a const char*. It refers to the caller's
// callable, which outlives the call it is handed to; unlike std::function it
// copies nothing and brings no machinery of its own for each kind of callable.
class CommandSink {
public:
  template <typename Callable>
  CommandSink(const Callable& callable)  // implicit: a lambda is passed as it is
      : callable_(&callable), call_([](const void* target, const char* commandText) {
          (*static_cast<const Callable*>(target))(commandText);
        }) {}
  void operator()(const char* commandText) const { call_(callable_, commandText); }

private:
  const void* callable_;
  void (*call_)(const void* target, const char* commandText);
};

// Reads the contents items of a create (1), update (4) or delete (2): logs
// schedule configurations and deletions (type 18), hands control commands
// (type 12, update only) to deliver one value at a time in order. Items that
// are not JSON or lack a member are skipped silently; nothing is kept.
void HandleRequestContents(int op, const std::list<kiv::RequestContent>& contents,
                           const CommandSink& deliver);

#endif  // KIV_GATEWAY_REQUEST_H
