#include "Protocol.h"

#include "kiv/Proxy.h"

namespace kiv {
namespace protocol {
namespace {

std::string ResponseEnvelope(const std::string& rqi, int rsc, const std::string& from,
                             const std::string& to, const std::string& pc) {
  JsonObject body;
  body.String("rqi", rqi).Number("rsc", rsc).String("rvi", kReleaseVersion);
  body.String("fr", from).String("to", to);
  if (!pc.empty()) body.Raw("pc", pc);
  return body.Take();
}

}  // namespace

std::string RequestFilter(const std::string& device) { return "/oneM2M/req/+/" + device + "/json"; }
std::string RequestTopic(const std::string& from, const std::string& to) {
  return "/oneM2M/req/" + from + "/" + to + "/json";
}
std::string ResponseTopic(const std::string& to, const std::string& from) {
  return "/oneM2M/resp/" + to + "/" + from + "/json";
}
std::string StatusTopic(const std::string& device) { return "/kiv/status/" + device; }

std::optional<std::string> RequestOriginator(const std::string& topic, const std::string& device) {
  constexpr std::string_view kPrefix = "/oneM2M/req/";
  const std::string suffix = "/" + device + "/json";
  if (topic.size() <= kPrefix.size() + suffix.size() ||
      topic.compare(0, kPrefix.size(), kPrefix) != 0 ||
      topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return std::nullopt;
  }
  std::string originator =
      topic.substr(kPrefix.size(), topic.size() - kPrefix.size() - suffix.size());
  if (!IsTopicLevel(originator)) return std::nullopt;
  return originator;
}

std::vector<std::string> Levels(const std::string& text) {
  std::vector<std::string> levels;
  size_t start = 0;
  for (;;) {
    size_t slash = text.find('/', start);
    levels.push_back(text.substr(start, slash - start));
    if (slash == std::string::npos) return levels;
    start = slash + 1;
  }
}

bool IsTopicLevel(const std::string& id) {
  return !id.empty() && id.find_first_of(std::string("/+#\0", 4)) == std::string::npos;
}

bool IsPortableTopicLevel(const std::string& id) {
  return IsTopicLevel(id) && id.find('.') == std::string::npos;
}

std::string RequestPrimitive(int op, const std::string& to, const std::string& from,
                             const std::string& rqi, int type, const std::string& pc,
                             const std::string& fc) {
  JsonObject body;
  RequestHead(body, op, to, from, rqi, type);
  if (!pc.empty()) body.Raw("pc", pc);
  if (!fc.empty()) body.Raw("fc", fc);
  return body.Take();
}

void RequestHead(JsonObject& body, int op, const std::string& to, const std::string& from,
                 const std::string& rqi, int type) {
  body.Number("op", op).String("to", to).String("fr", from).String("rqi", rqi);
  body.String("rvi", kReleaseVersion);
  if (type != 0) body.Number("ty", type);
}

std::optional<int> ResponseStatusCode(int status) {
  if (status == kStatusOk) return kRscOk;
  if (status >= 1000 && status <= 6999) return status;  // already a oneM2M status code
  return std::nullopt;
}

std::string ResponseBody(const std::string& rqi, int rsc, const std::string& from,
                         const std::string& to, const std::string& content) {
  size_t first = 0;
  size_t last = content.size();
  while (first < last && IsJsonBlank(content[first])) ++first;
  while (last > first && IsJsonBlank(content[last - 1])) --last;
  std::string pc = content.substr(first, last - first);
  // JSON content travels as it is (no reformatting, no loss of number
  // precision); anything else as a string. No content, no pc.
  if (!pc.empty() && !ParseWhole(pc)) pc = JsonString(content);
  return ResponseEnvelope(rqi, rsc, from, to, pc);
}

std::string ErrorBody(const std::string& rqi, int rsc, const std::string& from,
                      const std::string& to, const std::string& reason) {
  return ResponseEnvelope(rqi, rsc, from, to, JsonObject().String("m2m:dbg", reason).Text());
}

std::optional<int> DefaultStatus(int wireOperation) {
  switch (wireOperation) {
    case kWireCreate: return kRscCreated;
    case kWireUpdate: return kRscUpdated;
    case kWireDelete: return kRscDeleted;
    case kWireRetrieve: return std::nullopt;
    default: return kRscOk;
  }
}

namespace {

std::optional<Reply> ReadReply(const std::string& payload, bool withContent) {
  Json json = ParseWhole(payload);
  if (!json || !cJSON_IsObject(json.get())) return std::nullopt;
  Reply reply;
  reply.rqi = StringMember(json.get(), "rqi");
  std::optional<int> rsc = AsInt(Member(json.get(), "rsc"));
  if (reply.rqi.empty() || !rsc) return std::nullopt;
  reply.rsc = *rsc;
  const cJSON* pc = Member(json.get(), "pc");
  if (cJSON_IsString(pc)) {
    if (withContent) reply.content = pc->valuestring;
  } else if (pc != nullptr && !cJSON_IsNull(pc)) {
    if (withContent) reply.content = Compact(pc);
    reply.debug = StringMember(pc, "m2m:dbg");
  }
  return reply;
}

}  // namespace

std::optional<Reply> ParseReply(const std::string& payload) { return ReadReply(payload, true); }
std::optional<Reply> ParseAnswer(const std::string& payload) { return ReadReply(payload, false); }

}  // namespace protocol
}  // namespace kiv
