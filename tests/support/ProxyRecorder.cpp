#include "ProxyRecorder.h"

namespace kivtest {

std::string ProxyRecorder::Request::Summary() const {
  std::string text = std::to_string(op);
  for (int type : targets) text += " " + std::to_string(type);
  for (const auto& [type, content] : contents) text += " " + std::to_string(type) + ":" + content;
  return text;
}

void ProxyRecorder::RequestArrived(const std::string& requestId, int op,
                                   std::list<kiv::RequestTarget>& targets,
                                   std::list<kiv::RequestContent>& contents) {
  Request request{requestId, op, {}, {}};
  for (const auto& t : targets) request.targets.push_back(t.type);
  for (const auto& c : contents) request.contents.emplace_back(c.type, c.text);
  if (onRequest) onRequest(request);
  Add(requests, request);
}

}  // namespace kivtest
