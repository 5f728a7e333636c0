// The gateway's request handling behind RequestArrived, without a broker:
// the items of a create, update or delete read with cJSON (control commands
// to a sink instead of the node bridge) and the retrieve reply rendered with
// jsoncpp, as RequestArrived does them.
//
// Input: a header line "<op> [<target type>...]", then any number of items,
// each after a line holding only "%": "<type> <item text>". For example
//   4
//   %
//   12 {"execReqArgs":{"all":[{"anyArg":[{"value":5}]}]}}
#include "Request.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

const char kItemSeparator[] = "\n%\n";

// Reads the integers of text from *position on, up to the first non-number.
bool NextInt(const std::string& text, size_t* position, int* value) {
  const char* start = text.c_str() + *position;
  char* end = nullptr;
  long number = strtol(start, &end, 10);
  if (end == start) return false;
  *value = static_cast<int>(number);
  *position += static_cast<size_t>(end - start);
  return true;
}

struct Request {
  int op = 0;
  std::list<kiv::RequestTarget> targets;
  std::list<kiv::RequestContent> contents;
};

Request Decode(const std::string& input) {
  Request request;
  size_t end = input.find(kItemSeparator);
  std::string header = input.substr(0, end);
  size_t position = 0;
  NextInt(header, &position, &request.op);
  for (int type = 0; NextInt(header, &position, &type);) request.targets.push_back({type});
  while (end != std::string::npos) {
    size_t start = end + sizeof kItemSeparator - 1;
    end = input.find(kItemSeparator, start);
    std::string item = input.substr(start, end == std::string::npos ? end : end - start);
    kiv::RequestContent content;
    position = 0;
    NextInt(item, &position, &content.type);
    content.text = item.substr(std::min(item.size(), position + 1));
    request.contents.push_back(std::move(content));
  }
  return request;
}

// A table with a resource of each shape, as a board that filled it would have.
DeviceInfo SampleDevices() {
  DeviceInfo devices;
  devices.resources.push_back({"lamp", {{"power", "on"}, {"level", "3"}, {"power", "off"}}});
  devices.resources.push_back({"bare", {}});
  return devices;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (kiv::SetLogConfig(0, 0, 0, 0), true);  // no log output
  static const DeviceInfo devices = SampleDevices();
  (void)quiet;
  Request request = Decode(std::string(reinterpret_cast<const char*>(data), size));
  HandleRequestContents(request.op, request.contents, [](const char*) {});
  if (request.op == kiv::kOperationRetrieve) {
    RenderRetrieveReply(request.targets, devices, "2026-12-08 09:30:00");
  }
  return 0;
}
