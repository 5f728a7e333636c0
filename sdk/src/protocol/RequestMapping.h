// A platform request, checked and mapped to what RequestArrived receives.
//
// Two forms are read: the standard oneM2M primitive a CSE forwards (fc.ty as
// numbers or numeric strings, pc a resource representation such as m2m:mgc
// or m2m:sch with short names, a delete naming its resource in "to"), and the
// console's shorthand (pc a list of {"ty", "con"} items). docs/protocol.md
// has the mapping.
#ifndef KIV_SDK_PROTOCOL_REQUEST_MAPPING_H
#define KIV_SDK_PROTOCOL_REQUEST_MAPPING_H

#include "Cse.h"
#include "kiv/Proxy.h"

#include <list>
#include <string>

namespace kiv {
namespace protocol {

// The most resource types one retrieve may ask for: each is a whole document
// in the reply, and a router has little memory.
constexpr size_t kMaxRequestedTypes = 64;

// The largest request payload read by default. The parsed document takes
// several times the text's size, and a router has tens of megabytes; the
// gateway's requests are a few hundred bytes.
constexpr size_t kDefaultMaxRequestBytes = 64 * 1024;
constexpr size_t kLeastMaxRequestBytes = 1024;
constexpr size_t kMostMaxRequestBytes = 64 * 1024 * 1024;

// KIV_MAX_REQUEST_BYTES when it holds a whole number from
// kLeastMaxRequestBytes to kMostMaxRequestBytes, else the default; another
// value is described in *warning (appended), and the default is used.
size_t MaxRequestBytesFromEnvironment(std::string* warning);

struct Request {
  // Who answers: the gateway (RequestArrived), the SDK itself with a
  // resource of its own, or nobody but the refusal below.
  enum Handling { kGateway, kCseBase, kRegistrarCsr, kRefused };

  std::string rqi;    // empty when not readable (then nobody can be answered)
  std::string from;   // "fr", optional
  std::string to;     // "to", optional
  int wireOperation = 0;
  int operation = 0;  // a RequestOperation
  std::list<RequestTarget> targets;
  std::list<RequestContent> contents;
  Handling handling = kGateway;
  int refusal = 0;    // with kRefused: the response status (4000, 4004, 4005)
  std::string error;  // with kRefused: why
};

// Reads a request payload. One larger than maxBytes is refused 4000 without
// being parsed: its rqi, fr and to are looked for at the top level by a scan
// (ScanTopLevelStrings), so that it can still be answered. One whose strings
// hold a NUL character (raw or \u0000) is refused 4000: the values that reach
// the gateway are C strings, and would arrive cut.
Request ParseRequest(const std::string& payload, const CseNames& names,
                     size_t maxBytes = kDefaultMaxRequestBytes);
// The same for a payload that may have arrived cut: sentBytes is its whole
// size, which decides and which the refusal names.
Request ParseRequest(const std::string& payload, const CseNames& names, size_t maxBytes,
                     size_t sentBytes);

}  // namespace protocol
}  // namespace kiv

#endif
