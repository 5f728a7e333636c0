// Small helpers over cJSON shared by the protocol code: owned documents,
// strict parsing of one whole value, typed member access and JSON string
// literals that keep every byte of a text.
#ifndef KIV_SDK_PROTOCOL_JSON_H
#define KIV_SDK_PROTOCOL_JSON_H

#include <cjson/cJSON.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kiv {
namespace protocol {

struct JsonDeleter {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

// One whole JSON value with nothing but blanks after it; null otherwise.
// The text is read with its length, so any bytes are safe.
Json ParseWhole(const std::string& text);

// The compact JSON text of item ("" when it cannot be printed).
std::string Compact(const cJSON* item);

// Member name of object, matched exactly (case matters on the wire).
const cJSON* Member(const cJSON* object, const char* name);

// A JSON number that is a whole int.
std::optional<int> AsInt(const cJSON* item);

// The member's text when it is a JSON string, else "".
std::string StringMember(const cJSON* object, const char* name);

// text as a JSON string literal (quotes included); bytes of valid UTF-8 stay
// as they are, control characters (NUL too) and DEL are escaped.
std::string JsonString(const std::string& text);

// JSON blanks (space, tab, CR, LF).
bool IsJsonBlank(char c);

// Whether a string of JSON text holds a NUL character, as a raw byte or as
// the escape \u0000. cJSON keeps C strings, which end at a NUL: the rest of
// such a string would be lost without a word.
bool HoldsNulCharacter(const std::string& text);

// The longest string token (quotes and escapes included) ScanTopLevelStrings
// takes.
constexpr size_t kLongestScannedString = 1024;

// The values of the named string members at the top level of a JSON object
// text, found without building the document: one pass, memory for the values
// only, for a text too large to parse. The first member of each name decides
// (one that is not a string, or is longer than kLongestScannedString, gives
// nothing); the scan ends where the text stops looking like a JSON object.
// Values are decoded as cJSON decodes them, one for each name, in the order
// of names ("" for a name not found).
std::vector<std::string> ScanTopLevelStrings(const std::string& text,
                                             const std::vector<std::string>& names);

// Writes a JSON object member by member, in the order given: the protocol's
// primitives and resource representations are built with it.
class JsonObject {
public:
  JsonObject& String(const char* name, const std::string& value);
  JsonObject& Number(const char* name, long long value);
  JsonObject& Bool(const char* name, bool value);
  // value is JSON text already (an object, an array, a number).
  JsonObject& Raw(const char* name, const std::string& value);
  // {"name": this object}, the form of a oneM2M resource representation.
  std::string Wrapped(const char* name) const;
  std::string Text() const { return text_.empty() ? "{}" : text_ + "}"; }

private:
  void Name(const char* name);
  std::string text_;
};

// ["item"]: a JSON array of one string.
std::string StringList(const std::string& item);

}  // namespace protocol
}  // namespace kiv

#endif
