// Small helpers over cJSON shared by the protocol code: owned documents,
// strict parsing of one whole value, typed member access and JSON string
// literals that keep every byte of a text.
#ifndef KIV_SDK_PROTOCOL_JSON_H
#define KIV_SDK_PROTOCOL_JSON_H

#include <cjson/cJSON.h>

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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
// The same literal appended to out, and its length in bytes (at most six
// times the text's, plus two): a caller can reserve the room first.
void AppendJsonString(std::string& out, std::string_view text);
size_t JsonStringSize(const std::string& text);

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
                                             std::initializer_list<const char*> names);

// Writes a JSON object member by member, in the order given, into one
// string: the protocol's primitives and resource representations are built
// with it. A member that is an object of its own is written in place
// (Open ... Close), so a large value is copied once, into the text.
class JsonObject {
public:
  JsonObject& String(const char* name, const std::string& value);
  JsonObject& Number(const char* name, long long value);
  JsonObject& Bool(const char* name, bool value);
  // value is JSON text already (an object, an array, a number).
  JsonObject& Raw(const char* name, const std::string& value);
  // Starts a member whose value is an object: the members that follow go
  // into it until Close.
  JsonObject& Open(const char* name);
  JsonObject& Close();
  // Room for a text of this many bytes, taken at once.
  JsonObject& Reserve(size_t bytes);
  // {"name": this object}, the form of a oneM2M resource representation.
  std::string Wrapped(const char* name) const;
  // The text, every object still open closed. Take hands it over and leaves
  // the object empty.
  std::string Text() const;
  std::string Take();

private:
  void Name(const char* name);
  std::string text_;
  size_t open_ = 0;    // objects opened and not closed
  bool first_ = true;  // the next member is the first of its object
};

// ["item"]: a JSON array of one string.
std::string StringList(std::string_view item);

}  // namespace protocol
}  // namespace kiv

#endif
