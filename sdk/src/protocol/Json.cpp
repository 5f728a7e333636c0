#include "Json.h"

#include <string_view>

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

bool HoldsNulCharacter(const std::string& text) {
  if (text.find('\0') != std::string::npos) return true;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      inString = !inString;
    } else if (inString && text[i] == '\\') {
      if (text.compare(i + 1, 5, "u0000") == 0) return true;
      ++i;  // the escaped character, a backslash or a quote among them
    }
  }
  return false;
}

namespace {

// Walks the members of a JSON object text one after the other, stepping over
// their values without reading them.
class TopLevelScanner {
public:
  explicit TopLevelScanner(const std::string& text) : text_(text) {}

  // Calls take(name, valueToken) for each member whose value is a string,
  // with both as their string tokens; other members are named with an empty
  // token. Stops at the end of the object or where the text is not JSON.
  template <typename Take>
  void Members(Take take) {
    if (!Consume('{')) return;
    for (;;) {
      Blanks();
      std::string_view name = StringToken();
      if (name.empty() || !Consume(':')) return;
      Blanks();
      std::string_view value;
      if (at_ < text_.size() && text_[at_] == '"') {
        value = StringToken();
        if (value.empty()) return;
      } else if (!SkipValue()) {
        return;
      }
      take(name, value);
      if (!Consume(',')) return;
    }
  }

private:
  // Between tokens cJSON takes any byte up to a blank (NUL and control
  // characters too) as one: so does the scan, to find what a parse finds.
  void Blanks() {
    while (at_ < text_.size() && static_cast<unsigned char>(text_[at_]) <= ' ') ++at_;
  }
  bool Consume(char c) {
    Blanks();
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  // The string token at the cursor, quotes included; empty when there is
  // none or it does not end.
  std::string_view StringToken() {
    if (at_ >= text_.size() || text_[at_] != '"') return {};
    const size_t start = at_++;
    while (at_ < text_.size()) {
      char c = text_[at_++];
      if (c == '\\') {
        ++at_;
      } else if (c == '"') {
        return std::string_view(text_).substr(start, at_ - start);
      }
    }
    return {};
  }
  // Steps over a value that is not a string: up to the comma or brace that
  // ends it at this level, over nested arrays, objects and their strings.
  bool SkipValue() {
    size_t depth = 0;
    while (at_ < text_.size()) {
      char c = text_[at_];
      if (depth == 0 && (c == ',' || c == '}')) return true;
      if (c == '"') {
        if (StringToken().empty()) return false;
        continue;
      }
      if (c == '{' || c == '[') ++depth;
      if (c == '}' || c == ']') {
        if (depth == 0) return false;
        --depth;
      }
      ++at_;
    }
    return false;
  }

  const std::string& text_;
  size_t at_ = 0;
};

// A string token's value as cJSON reads it into *value; false (and *value
// untouched) for a token it refuses.
bool DecodeString(std::string_view token, std::string* value) {
  Json json(cJSON_ParseWithLength(token.data(), token.size()));
  if (!cJSON_IsString(json.get()) || json->valuestring == nullptr) return false;
  *value = json->valuestring;
  return true;
}

}  // namespace

std::vector<std::string> ScanTopLevelStrings(const std::string& text,
                                             std::initializer_list<const char*> names) {
  std::vector<std::string> found(names.size());
  std::string seen(names.size(), '\0');  // a flag for each name: its first member came
  TopLevelScanner(text).Members([&](std::string_view nameToken, std::string_view value) {
    std::string name;
    if (nameToken.size() > kLongestScannedString || !DecodeString(nameToken, &name)) return;
    size_t index = 0;
    while (index < names.size() && name != names.begin()[index]) ++index;
    if (index == names.size() || seen[index]) return;
    seen[index] = 1;
    if (value.empty() || value.size() > kLongestScannedString) return;
    DecodeString(value, &found[index]);  // a value cJSON refuses leaves ""
  });
  return found;
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

namespace {

// The escape of a byte in a JSON string, or null when it stands for itself.
const char* ShortEscape(char c) {
  switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    case '\b': return "\\b";
    case '\f': return "\\f";
    default: return nullptr;
  }
}

bool NeedsUnicodeEscape(unsigned char byte) { return byte < 0x20 || byte == 0x7f; }

}  // namespace

size_t JsonStringSize(const std::string& text) {
  size_t size = 2;
  for (char c : text) {
    if (ShortEscape(c) != nullptr) {
      size += 2;
    } else {
      size += NeedsUnicodeEscape(static_cast<unsigned char>(c)) ? 6 : 1;
    }
  }
  return size;
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (const char* escape = ShortEscape(c)) {
      out += escape;
    } else if (NeedsUnicodeEscape(byte)) {
      static const char kHex[] = "0123456789abcdef";
      const char escaped[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 15]};
      out.append(escaped, sizeof escaped);
    } else {
      out += c;
    }
  }
  out += '"';
}

std::string JsonString(const std::string& text) {
  std::string out;
  out.reserve(JsonStringSize(text));
  AppendJsonString(out, text);
  return out;
}

void JsonObject::Name(const char* name) {
  if (text_.empty()) {
    text_ += '{';
  } else if (!first_) {
    text_ += ',';
  }
  first_ = false;
  AppendJsonString(text_, name);
  text_ += ':';
}

JsonObject& JsonObject::String(const char* name, const std::string& value) {
  Name(name);
  AppendJsonString(text_, value);
  return *this;
}

JsonObject& JsonObject::Open(const char* name) {
  Name(name);
  text_ += '{';
  ++open_;
  first_ = true;
  return *this;
}

JsonObject& JsonObject::Close() {
  if (open_ == 0) return *this;
  text_ += '}';
  --open_;
  first_ = false;
  return *this;
}

JsonObject& JsonObject::Reserve(size_t bytes) {
  text_.reserve(bytes);
  return *this;
}

std::string JsonObject::Text() const {
  if (text_.empty()) return "{}";
  return text_ + std::string(open_ + 1, '}');
}

std::string JsonObject::Take() {
  if (text_.empty()) return "{}";
  text_.append(open_ + 1, '}');
  std::string text = std::move(text_);
  text_.clear();
  open_ = 0;
  first_ = true;
  return text;
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
  return JsonObject().Raw(name, Text()).Take();
}

std::string StringList(std::string_view item) {
  std::string list = "[";
  AppendJsonString(list, item);
  list += ']';
  return list;
}

}  // namespace protocol
}  // namespace kiv
