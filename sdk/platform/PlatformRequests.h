// The platform's side of the protocol (docs/protocol.md), written once for
// the console, the tests and the benchmarks: the request primitives a
// platform sends to a gateway and what it reads in the gateway's messages.
// Pure functions, no I/O.
#ifndef KIV_PLATFORM_REQUESTS_H
#define KIV_PLATFORM_REQUESTS_H

#include "Protocol.h"

#include <optional>
#include <string>
#include <vector>

namespace kiv {
namespace platform {

using protocol::ParseReply;
using protocol::Reply;

// Who asks what of which gateway; device is its CSE-ID without the slash.
struct Header {
  std::string rqi;
  std::string from;  // the requester's originator
  std::string device;
};

// The gateway's CSEBase address, /D/gateway, where requests go.
std::string GatewayBase(const std::string& device);

// A retrieve of these resource types (1007 device information, 14 node, ...).
std::string Retrieve(const Header& header, const std::vector<int>& types);
// A management command (m2m:mgc) with one argument per value; each value is
// JSON text (see ValueJson).
std::string Control(const Header& header, const std::vector<std::string>& values);
// A schedule (m2m:sch) with one entry, created or updated; and its deletion.
std::string ScheduleCreate(const Header& header, const std::string& entry);
std::string ScheduleUpdate(const Header& header, const std::string& entry);
std::string ScheduleDelete(const Header& header, const std::string& name);

// A value as the user wrote it: itself when it is one JSON value (5, true,
// "text", {...}), else a JSON string of it.
std::string ValueJson(const std::string& text);

// The request id of a payload ("" when it has none).
std::string RequestIdOf(const std::string& payload);

// A record as the gateway sends it: a contentInstance create.
struct Record {
  std::string rqi;
  std::string to;    // the container it is stored in
  std::string name;  // its resource name, unique to the record
  std::string text;  // its content, byte for byte
};
std::optional<Record> ParseRecord(const std::string& payload);

}  // namespace platform
}  // namespace kiv

#endif
