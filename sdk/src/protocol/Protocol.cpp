#include "Protocol.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kiv {
namespace protocol {
namespace {

struct JsonDeleter {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

bool IsJsonBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// One whole JSON value, nothing but blanks after it; null otherwise.
Json ParseWhole(const std::string& text) {
  const char* end = nullptr;
  Json json(cJSON_ParseWithLengthOpts(text.data(), text.size(), &end, 0));
  if (!json || end == nullptr) return nullptr;
  const char* last = text.data() + text.size();
  while (end < last && IsJsonBlank(*end)) ++end;
  return end == last ? std::move(json) : nullptr;
}

std::string Compact(const cJSON* item) {
  char* printed = cJSON_PrintUnformatted(item);
  if (printed == nullptr) return std::string();
  std::string text(printed);
  cJSON_free(printed);
  return text;
}

const cJSON* Member(const cJSON* object, const char* name) {
  return cJSON_GetObjectItemCaseSensitive(object, name);
}

std::optional<int> AsInt(const cJSON* item) {
  if (!cJSON_IsNumber(item)) return std::nullopt;
  double value = item->valuedouble;
  if (value != std::floor(value) || value < -2147483648.0 || value > 2147483647.0)
    return std::nullopt;
  return static_cast<int>(value);
}

std::string StringMember(const cJSON* object, const char* name) {
  const cJSON* item = Member(object, name);
  return cJSON_IsString(item) && item->valuestring ? item->valuestring : "";
}

int OperationFor(int wireOperation) {
  switch (wireOperation) {
    case kWireCreate: return kOperationCreate;
    case kWireRetrieve: return kOperationRetrieve;
    case kWireUpdate: return kOperationUpdate;
    case kWireDelete: return kOperationDelete;
    case kWireNotify: return kOperationNotify;
    default: return 0;
  }
}

// fc.ty: one type code or an array of them, in order.
std::string ReadTargets(const cJSON* request, std::list<RequestTarget>& targets) {
  const cJSON* filter = Member(request, "fc");
  if (filter == nullptr) return "";
  if (!cJSON_IsObject(filter)) return "\"fc\" is not an object";
  const cJSON* types = Member(filter, "ty");
  if (types == nullptr) return "";
  if (cJSON_IsNumber(types)) {
    auto type = AsInt(types);
    if (!type) return "\"fc.ty\" is not an integer";
    targets.push_back(RequestTarget{*type});
    return "";
  }
  if (!cJSON_IsArray(types)) return "\"fc.ty\" is neither a type code nor an array of them";
  for (const cJSON* item = types->child; item != nullptr; item = item->next) {
    auto type = AsInt(item);
    if (!type) return "\"fc.ty\" holds an item that is not an integer";
    targets.push_back(RequestTarget{*type});
  }
  return "";
}

std::string ReadContentItem(const cJSON* item, std::list<RequestContent>& contents) {
  if (!cJSON_IsObject(item)) return "a \"pc\" item is not an object";
  auto type = AsInt(Member(item, "ty"));
  const cJSON* content = Member(item, "con");
  if (!type) return "a \"pc\" item has no integer \"ty\"";
  if (content == nullptr) return "a \"pc\" item has no \"con\"";
  RequestContent entry;
  entry.type = *type;
  entry.text = cJSON_IsString(content) ? content->valuestring : Compact(content);
  contents.push_back(std::move(entry));
  return "";
}

// pc: an array of {"ty", "con"} items (a single item is taken as well).
std::string ReadContents(const cJSON* request, std::list<RequestContent>& contents) {
  const cJSON* items = Member(request, "pc");
  if (items == nullptr) return "";
  if (cJSON_IsObject(items)) return ReadContentItem(items, contents);
  if (!cJSON_IsArray(items)) return "\"pc\" is not an array of items";
  for (const cJSON* item = items->child; item != nullptr; item = item->next) {
    std::string error = ReadContentItem(item, contents);
    if (!error.empty()) return error;
  }
  return "";
}

std::string Envelope(const std::string& rqi, int operationOrStatus, bool isResponse,
                     const std::string& from, const std::string& to, const std::string& extra,
                     const std::string& pc) {
  std::string body = "{\"rqi\":" + JsonString(rqi);
  body += isResponse ? ",\"rsc\":" : ",\"op\":";
  body += std::to_string(operationOrStatus);
  body += ",\"fr\":" + JsonString(from) + ",\"to\":" + JsonString(to) + extra;
  if (!pc.empty()) body += ",\"pc\":" + pc;
  body += "}";
  return body;
}

}  // namespace

std::string RequestFilter(const std::string& device) { return "/oneM2M/req/+/" + device + "/json"; }
std::string ResponseFilter(const std::string& device) {
  return "/oneM2M/resp/" + device + "/+/json";
}
std::string RequestTopic(const std::string& from, const std::string& to) {
  return "/oneM2M/req/" + from + "/" + to + "/json";
}
std::string ResponseTopic(const std::string& to, const std::string& from) {
  return "/oneM2M/resp/" + to + "/" + from + "/json";
}
std::string StatusTopic(const std::string& device) { return "/kiv/status/" + device; }

std::optional<std::string> RequestOriginator(const std::string& topic, const std::string& device) {
  static const std::string kPrefix = "/oneM2M/req/";
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

bool IsResponseTo(const std::string& topic, const std::string& device) {
  const std::string prefix = "/oneM2M/resp/" + device + "/";
  return topic.size() > prefix.size() + 5 && topic.compare(0, prefix.size(), prefix) == 0 &&
         topic.compare(topic.size() - 5, 5, "/json") == 0;
}

bool IsTopicLevel(const std::string& id) {
  return !id.empty() && id.find_first_of(std::string("/+#\0", 4)) == std::string::npos;
}

std::string JsonString(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char escaped[8];
          snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

Request ParseRequest(const std::string& payload) {
  Request request;
  Json json = ParseWhole(payload);
  if (!json || !cJSON_IsObject(json.get())) {
    request.error = "not a JSON object";
    return request;
  }
  const cJSON* root = json.get();
  request.rqi = StringMember(root, "rqi");
  request.from = StringMember(root, "fr");
  request.to = StringMember(root, "to");
  if (request.rqi.empty()) {
    request.error = "no request id \"rqi\"";
    return request;
  }
  const cJSON* op = Member(root, "op");
  if (op == nullptr) {
    request.error = "no operation \"op\"";
    return request;
  }
  auto wire = AsInt(op);
  request.operation = wire ? OperationFor(*wire) : 0;
  if (request.operation == 0) {
    request.error = "unknown operation " + Compact(op);
    return request;
  }
  request.wireOperation = *wire;
  if (request.operation == kOperationRetrieve) {
    request.error = ReadTargets(root, request.targets);
  } else if (request.operation != kOperationNotify) {
    request.error = ReadContents(root, request.contents);
  }
  return request;
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
  std::string trimmed = content.substr(first, last - first);
  // JSON content travels as it is (no reformatting, no loss of number
  // precision); anything else as a string.
  if (trimmed.empty()) return Envelope(rqi, rsc, true, from, to, "", "");
  std::string pc = ParseWhole(trimmed) ? trimmed : JsonString(content);
  return Envelope(rqi, rsc, true, from, to, "", pc);
}

std::string ErrorBody(const std::string& rqi, int rsc, const std::string& from,
                      const std::string& to, const std::string& reason) {
  return Envelope(rqi, rsc, true, from, to, "", "{\"m2m:dbg\":" + JsonString(reason) + "}");
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

std::string RecordCreateBody(const std::string& rqi, const std::string& from, const std::string& to,
                             const std::string& text) {
  return Envelope(rqi, kWireCreate, false, from, to, ",\"ty\":4",
                  "{\"m2m:cin\":{\"con\":" + JsonString(text) + "}}");
}

std::string RecordNotifyBody(const std::string& rqi, const std::string& from, const std::string& to,
                             const std::string& text, int eventType) {
  return Envelope(rqi, kWireNotify, false, from, to, "",
                  "{\"m2m:sgn\":{\"nev\":{\"rep\":{\"m2m:cin\":{\"con\":" + JsonString(text) +
                      "}},\"net\":" + std::to_string(eventType) + "}}}");
}

std::optional<ResponseStatus> ParseResponseStatus(const std::string& payload) {
  Json json = ParseWhole(payload);
  if (!json || !cJSON_IsObject(json.get())) return std::nullopt;
  ResponseStatus status;
  status.rqi = StringMember(json.get(), "rqi");
  auto rsc = AsInt(Member(json.get(), "rsc"));
  if (status.rqi.empty() || !rsc) return std::nullopt;
  status.rsc = *rsc;
  return status;
}

}  // namespace protocol
}  // namespace kiv
