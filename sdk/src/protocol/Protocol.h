// The wire protocol between a gateway and its platform (docs/protocol.md):
// oneM2M over MQTT, with TS-0010 topics and TS-0004 JSON primitives (short
// member names). Pure functions, no I/O: shared by the SDK, the platform
// console and the tests.
#ifndef KIV_SDK_PROTOCOL_H
#define KIV_SDK_PROTOCOL_H

#include "Json.h"

#include <optional>
#include <string>
#include <vector>

namespace kiv {
namespace protocol {

// The release version every primitive we send carries ("rvi").
constexpr char kReleaseVersion[] = "3";

// oneM2M response status codes used here.
constexpr int kRscOk = 2000;
constexpr int kRscCreated = 2001;
constexpr int kRscDeleted = 2002;
constexpr int kRscUpdated = 2004;
constexpr int kRscBadRequest = 4000;
constexpr int kRscNotFound = 4004;
constexpr int kRscNoPrivilege = 4103;  // the originator has no privilege
constexpr int kRscOperationNotAllowed = 4005;
constexpr int kRscRequestTimeout = 4008;
constexpr int kRscConflict = 4105;
constexpr int kRscAlreadyRegistered = 4117;  // an <AE> with this originator exists
constexpr int kRscInvalidChildType = 4108;  // a resource of this type cannot be created there
constexpr int kRscNotSubscribable = 5203;   // what some CSEs answer instead of 4108
constexpr int kRscInternalError = 5000;

constexpr bool IsSuccess(int rsc) { return rsc >= 2000 && rsc < 3000; }

// oneM2M operation codes on the wire.
enum WireOperation {
  kWireCreate = 1,
  kWireRetrieve = 2,
  kWireUpdate = 3,
  kWireDelete = 4,
  kWireNotify = 5
};

// Topics. Ids are CSE-IDs or originators without their leading slash.
std::string RequestFilter(const std::string& device);                       // /oneM2M/req/+/D/json
std::string RequestTopic(const std::string& from, const std::string& to);   // /oneM2M/req/F/T/json
std::string ResponseTopic(const std::string& to, const std::string& from);  // /oneM2M/resp/T/F/json
std::string StatusTopic(const std::string& device);                         // /kiv/status/D

// The originator O of a request topic /oneM2M/req/O/D/json, if it is one.
std::optional<std::string> RequestOriginator(const std::string& topic, const std::string& device);

// The parts of a topic or an address between its slashes ("a//b" has an
// empty one, "/a" starts with one).
std::vector<std::string> Levels(const std::string& text);

// Whether an id can stand as one topic level.
bool IsTopicLevel(const std::string& id);

// Whether every broker carries an id as one topic level, the same way: also
// without ".", which a cluster broker such as RabbitMQ maps onto "/" (its
// routing keys separate levels with dots). Our own ids and those we send
// to must be such; ids that come in are taken as they are.
bool IsPortableTopicLevel(const std::string& id);

// A request primitive: op, to, fr, rqi, rvi, then ty when not 0, pc and fc
// when not empty (both JSON text).
std::string RequestPrimitive(int op, const std::string& to, const std::string& from,
                             const std::string& rqi, int type, const std::string& pc,
                             const std::string& fc = "");
// The same primitive's members before pc, written into body, which a caller
// then gives a pc built in place (a record's: see ContentInstanceCreate).
void RequestHead(JsonObject& body, int op, const std::string& to, const std::string& from,
                 const std::string& rqi, int type);

// Maps a Proxy::Response status to a oneM2M response status code; nullopt
// for a status that means nothing here.
std::optional<int> ResponseStatusCode(int status);

// {"rqi","rsc","rvi","fr","to","pc"}: pc is the content itself when it is one
// JSON value, else the content as a JSON string; no pc for an empty content.
std::string ResponseBody(const std::string& rqi, int rsc, const std::string& from,
                         const std::string& to, const std::string& content);
// An error answer whose pc carries the reason as {"m2m:dbg": reason}.
std::string ErrorBody(const std::string& rqi, int rsc, const std::string& from,
                      const std::string& to, const std::string& reason);

// The status of a request the gateway handled without answering: 2001
// created, 2004 updated, 2002 deleted, 2000 notified. A retrieve has none:
// the gateway leaves one that found nothing unanswered on purpose.
std::optional<int> DefaultStatus(int wireOperation);

// A response primitive as a requester reads it.
struct Reply {
  std::string rqi;
  int rsc = 0;
  std::string content;  // the compact JSON text of pc, or the text when pc is a string
  std::string debug;    // pc's "m2m:dbg", when present
};
std::optional<Reply> ParseReply(const std::string& payload);
// The same without the content (empty): what an answer to a request of
// ours is read for. The registrar's answer to a record carries the record
// again, which would cost another copy of it.
std::optional<Reply> ParseAnswer(const std::string& payload);

}  // namespace protocol
}  // namespace kiv

#endif
