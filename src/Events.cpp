// The program object's event log lines. The SDK calls these from its own
// code, which is built without exceptions: an exception leaving one of them
// would end the process in any case. So this file is built without them too
// and carries no unwinding tables (RequestArrived, whose exceptions the SDK
// catches and answers, is in main.cpp).
#include "Gateway.h"

#include <cstdio>

void IoTGatewayProgram::Connected() {
  GATEWAY_LOG(kiv::kLogInformation, "Connected", "Connected");
}

// The events' texts come from the network: each value is escaped, so that
// only the formats' own line breaks start lines.

namespace {

// The most of a message that is logged: a message may be as large as the
// broker lets it be, and its escaped copy is made before the log's filter.
constexpr size_t kLoggedMessageBytes = 1024;

}  // namespace

// A longer message is cut, and its size follows the part shown.
void IoTGatewayProgram::MessageArrived(const std::string& message) {
  const bool cut = message.size() > kLoggedMessageBytes;
  const std::string shown = cut ? kiv::EscapeLogText(message.substr(0, kLoggedMessageBytes))
                                : kiv::EscapeLogText(message);
  char size[32] = "";
  if (cut) snprintf(size, sizeof size, "... (%zu bytes)", message.size());
  GATEWAY_LOG(kiv::kLogInformation, "MessageArrived", "MessageArrived\nmessage=%s%s",
            shown.c_str(), size);
}

void IoTGatewayProgram::ResponseArrived(const std::string& requestId, int ec) {
  GATEWAY_LOG(kiv::kLogInformation, "ResponseArrived", "ResponseArrived\nrequestId=%s ec=%d",
            kiv::EscapeLogText(requestId).c_str(), ec);
}

void IoTGatewayProgram::OnSuccess(const std::string& requestId) {
  GATEWAY_LOG(kiv::kLogInformation, "OnSuccess", "OnSuccess requestId=%s",
            kiv::EscapeLogText(requestId).c_str());
}

void IoTGatewayProgram::OnFailure(const std::string& requestId, const std::string& cause) {
  GATEWAY_LOG(kiv::kLogError, "OnFailure", "OnFailure \nrequestId=%s \ncause=%s",
            kiv::EscapeLogText(requestId).c_str(), kiv::EscapeLogText(cause).c_str());
}

void IoTGatewayProgram::OnFailure(const std::string& requestId, int ec) {
  GATEWAY_LOG(kiv::kLogError, "OnFailure", "OnFailure \nrequestId=%s \nec=%d",
            kiv::EscapeLogText(requestId).c_str(), ec);
}
