// Who may send the gateway requests: its registrar and its own entities,
// and whoever the operator's patterns name. The originator checked is the
// request topic's level O (/oneM2M/req/O/D/json), which a broker's ACL can
// tie to the MQTT user name. A request the registrar forwards comes on its
// topic with the asker in "fr": the registrar itself or one of its entities
// (/<registrar>/..., or relative to it), whose access the registrar checks;
// or another CSE registered there (/X/..., a peer gateway), which the
// patterns judge as if it had asked directly, for the registrar forwards
// any registered CSE's requests.
#ifndef KIV_SDK_PROTOCOL_ORIGINATORS_H
#define KIV_SDK_PROTOCOL_ORIGINATORS_H

#include <string>
#include <vector>

namespace kiv {
namespace protocol {

class OriginatorAllowList {
public:
  // patterns: separated by blanks or commas; in each, '*' stands for any
  // run of characters (none included), every other character for itself.
  // No pattern at all lets everyone in.
  OriginatorAllowList(const std::string& registrarId, const std::string& patterns);

  // from: the request's "fr" (a forwarded request's asker).
  bool Allows(const std::string& originator, const std::string& from = "") const;
  bool NamesNoOne() const { return patterns_.empty(); }
  const std::vector<std::string>& Patterns() const { return patterns_; }
  // "everyone", or the registrar and the patterns, for the log.
  std::string Describe() const;

private:
  std::string registrarId_;
  std::vector<std::string> patterns_;
};

// Whether text matches pattern, '*' standing for any run of characters.
bool MatchesPattern(const std::string& pattern, const std::string& text);

}  // namespace protocol
}  // namespace kiv

#endif
