// A payload on the gateway's request topic, read and mapped as the SDK reads
// it (a CSE's oneM2M primitive or the console's shorthand), and the answers
// the SDK builds from what it read. The answers must be JSON objects that
// carry the request id and status back unchanged, whatever the request held:
// the requester matches them by that id. A content item mapped from a
// resource representation must be JSON the gateway can parse.
//
// Each input is also read at the size bound and one byte past it (padded
// with blanks, the bound set to its length plus one): at the bound it must
// read as it did, past it it must be refused 4000, with the rqi a parse found
// when the scan could see it.
#include "Protocol.h"
#include "RequestMapping.h"

#include <cjson/cJSON.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Aborts (a finding) unless body is a JSON object with this rqi and rsc.
void CheckAnswer(const std::string& body, const std::string& rqi, int rsc) {
  cJSON* json = cJSON_ParseWithLength(body.data(), body.size());
  const cJSON* id = cJSON_GetObjectItemCaseSensitive(json, "rqi");
  const cJSON* status = cJSON_GetObjectItemCaseSensitive(json, "rsc");
  bool intact = cJSON_IsObject(json) && cJSON_IsString(id) && id->valuestring == rqi &&
                cJSON_IsNumber(status) && status->valueint == rsc;
  cJSON_Delete(json);
  if (!intact) abort();
}

// Whether text may nest JSON 999 levels deep or more (each level opens with
// a bracket or a brace, so fewer of those cannot).
bool CouldBeTooDeep(const std::string& text) {
  size_t openers = 0;
  for (char c : text) openers += (c == '[' || c == '{');
  return openers >= 999;
}

// The same outcome at the bound; refused 4000 past it, answered to the same
// rqi where every token is short enough for the scan to take.
void CheckTheBound(const std::string& payload, const kiv::protocol::CseNames& names,
                   const kiv::protocol::Request& request) {
  using namespace kiv::protocol;
  if (payload.size() >= kDefaultMaxRequestBytes) return;  // refused for its size already
  const size_t bound = payload.size() + 1;
  Request atBound = ParseRequest(payload + " ", names, bound);
  if (atBound.handling != request.handling || atBound.refusal != request.refusal ||
      atBound.rqi != request.rqi) {
    abort();
  }
  Request past = ParseRequest(payload + "  ", names, bound);
  if (past.handling != Request::kRefused || past.refusal != kRscBadRequest) abort();
  bool scannable = payload.size() <= kLongestScannedString;
  if (scannable && !request.rqi.empty() && past.rqi != request.rqi) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kiv::protocol;
  static const CseNames kNames{"gw", "id-in", "cse-in"};
  const std::string payload(reinterpret_cast<const char*>(data), size);
  Request request = ParseRequest(payload, kNames);
  CheckTheBound(payload, kNames, request);
  if (request.rqi.empty()) return 0;  // nobody to answer
  const std::string to = request.from.empty() ? "console" : request.from;
  switch (request.handling) {
    case Request::kRefused:
      if (request.error.empty() || request.refusal < 4000) abort();
      CheckAnswer(ErrorBody(request.rqi, request.refusal, "/gw", to, request.error), request.rqi,
                  request.refusal);
      return 0;
    case Request::kCseBase:
      CheckAnswer(
          ResponseBody(request.rqi, kRscOk, "/gw", to, CseBaseResource(kNames, "mqtt://h:1", "t")),
          request.rqi, kRscOk);
      return 0;
    case Request::kRegistrarCsr:
      CheckAnswer(ResponseBody(request.rqi, kRscOk, "/gw", to, RegistrarCsrResource(kNames, "t")),
                  request.rqi, kRscOk);
      return 0;
    case Request::kGateway:
      break;
  }
  if (request.targets.size() > kMaxRequestedTypes) abort();
  for (const kiv::RequestContent& item : request.contents) {
    std::string body = ResponseBody(request.rqi, kRscOk, "gw", to, item.text);
    // cJSON reads at most 1000 levels and the answer wraps its content in one
    // more: a content near that depth is not checked (see CouldBeTooDeep).
    if (!CouldBeTooDeep(item.text)) CheckAnswer(body, request.rqi, kRscOk);
  }
  return 0;
}
