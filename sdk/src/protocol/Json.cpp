#include "Json.h"

#include <cstdio>

namespace kiv {
namespace protocol {

bool IsJsonBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

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
  // Compared, not rounded: std::floor would bring the floating-point
  // library's addition and subtraction into the SDK. NaN fails the range.
  double value = item->valuedouble;
  if (!(value >= -2147483648.0 && value <= 2147483647.0)) return std::nullopt;
  int whole = static_cast<int>(value);
  if (static_cast<double>(whole) != value) return std::nullopt;
  return whole;
}

std::string StringMember(const cJSON* object, const char* name) {
  const cJSON* item = Member(object, name);
  return cJSON_IsString(item) && item->valuestring ? item->valuestring : "";
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

void JsonObject::Name(const char* name) {
  text_ += text_.empty() ? "{" : ",";
  text_ += JsonString(name);
  text_ += ':';
}

JsonObject& JsonObject::String(const char* name, const std::string& value) {
  Name(name);
  text_ += JsonString(value);
  return *this;
}

JsonObject& JsonObject::Number(const char* name, long long value) {
  Name(name);
  text_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Bool(const char* name, bool value) {
  Name(name);
  text_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::Raw(const char* name, const std::string& value) {
  Name(name);
  text_ += value;
  return *this;
}

std::string JsonObject::Wrapped(const char* name) const {
  return JsonObject().Raw(name, Text()).Text();
}

std::string StringList(const std::string& item) { return "[" + JsonString(item) + "]"; }

}  // namespace protocol
}  // namespace kiv
