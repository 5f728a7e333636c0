// The wire protocol between a gateway and its platform (docs/protocol.md):
// oneM2M MQTT binding topics and JSON primitives with short member names.
// Pure functions, no I/O: shared by the proxy and the platform console.
#ifndef KIV_SDK_PROTOCOL_H
#define KIV_SDK_PROTOCOL_H

#include "kiv/Proxy.h"

#include <list>
#include <optional>
#include <string>

namespace kiv {
namespace protocol {

// oneM2M response status codes used here.
constexpr int kRscOk = 2000;
constexpr int kRscCreated = 2001;
constexpr int kRscDeleted = 2002;
constexpr int kRscUpdated = 2004;
constexpr int kRscBadRequest = 4000;
constexpr int kRscInternalError = 5000;

// oneM2M operation codes on the wire.
enum WireOperation {
  kWireCreate = 1,
  kWireRetrieve = 2,
  kWireUpdate = 3,
  kWireDelete = 4,
  kWireNotify = 5
};

// Topics. device is the gateway's id D, originator a requester's id O.
std::string RequestFilter(const std::string& device);                       // /oneM2M/req/+/D/json
std::string ResponseFilter(const std::string& device);                      // /oneM2M/resp/D/+/json
std::string RequestTopic(const std::string& from, const std::string& to);   // /oneM2M/req/F/T/json
std::string ResponseTopic(const std::string& to, const std::string& from);  // /oneM2M/resp/T/F/json
std::string StatusTopic(const std::string& device);                         // /kiv/status/D

// The originator O of a request topic /oneM2M/req/O/D/json, if it is one.
std::optional<std::string> RequestOriginator(const std::string& topic, const std::string& device);
// Whether topic is a response to the device: /oneM2M/resp/D/<anything>/json.
bool IsResponseTo(const std::string& topic, const std::string& device);

// Whether a device or originator id can stand as one topic level.
bool IsTopicLevel(const std::string& id);

// text as a JSON string literal (quotes included); bytes of valid UTF-8 stay
// as they are, control characters (NUL too) are escaped.
std::string JsonString(const std::string& text);

// A platform request, checked and translated for RequestArrived.
struct Request {
  std::string rqi;  // empty when not readable
  int wireOperation = 0;
  int operation = 0;  // a RequestOperation
  std::string from;   // "fr", optional
  std::string to;     // "to", optional
  std::list<RequestTarget> targets;
  std::list<RequestContent> contents;
  std::string error;  // empty when the request is well formed
};
Request ParseRequest(const std::string& payload);

// Maps a Proxy::Response status to a oneM2M response status code; nullopt
// for a status that means nothing here.
std::optional<int> ResponseStatusCode(int status);

// {"rqi","rsc","fr","to","pc"}: pc is the content itself when it is one JSON
// value, else the content as a JSON string; no pc for an empty content.
std::string ResponseBody(const std::string& rqi, int rsc, const std::string& from,
                         const std::string& to, const std::string& content);
// An error answer whose pc carries the reason as {"m2m:dbg": reason}.
std::string ErrorBody(const std::string& rqi, int rsc, const std::string& from,
                      const std::string& to, const std::string& reason);

// The status of a request the gateway handled without answering: 2001
// created, 2004 updated, 2002 deleted, 2000 notified. A retrieve has none:
// the gateway leaves one that found nothing unanswered on purpose.
std::optional<int> DefaultStatus(int wireOperation);

// Records: a contentInstance create and a notification carrying text.
std::string RecordCreateBody(const std::string& rqi, const std::string& from, const std::string& to,
                             const std::string& text);
std::string RecordNotifyBody(const std::string& rqi, const std::string& from, const std::string& to,
                             const std::string& text, int eventType);

// A response to one of our records: its rqi and rsc, if the payload has them.
struct ResponseStatus {
  std::string rqi;
  int rsc = 0;
};
std::optional<ResponseStatus> ParseResponseStatus(const std::string& payload);

}  // namespace protocol
}  // namespace kiv

#endif
