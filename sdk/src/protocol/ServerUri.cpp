#include "ServerUri.h"

#include <algorithm>
#include <cstdlib>

namespace kiv {

namespace {

std::string Unusable(const std::string& uri, const char* why) {
  return "unusable server URI \"" + uri + "\": " + why;
}

}  // namespace

std::string ParseServerUri(const std::string& uri, ServerAddress* parsed) {
  auto bad = [&uri](const char* why) { return Unusable(uri, why); };
  size_t schemeEnd = uri.find("://");
  if (schemeEnd == std::string::npos) return bad("expected scheme://host[:port]");
  std::string scheme = uri.substr(0, schemeEnd);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), ::tolower);
  ServerAddress& address = *parsed;
  address = ServerAddress();
  address.uri = uri;
  if (scheme == "ssl" || scheme == "mqtts") {
    address.tls = true;
  } else if (scheme != "tcp" && scheme != "mqtt") {
    return bad("scheme must be tcp, mqtt, ssl or mqtts");
  }
  std::string rest = uri.substr(schemeEnd + 3);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string port;
  bool portGiven = false;  // a ':' after the host, even with nothing behind it
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    if (close == std::string::npos) return bad("unclosed [ in the host");
    address.host = rest.substr(0, close + 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') return bad("unexpected text after the host");
      portGiven = true;
      port = rest.substr(close + 2);
    }
  } else {
    size_t colon = rest.find(':');
    address.host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      portGiven = true;
      port = rest.substr(colon + 1);
    }
  }
  if (address.host.empty() || address.host.find_first_of("/?#@, ") != std::string::npos)
    return bad("bad host");
  address.name = address.host[0] == '[' ? address.host.substr(1, address.host.size() - 2) : address.host;
  address.port = address.tls ? 8883 : 1883;
  if (portGiven) {
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
      return bad("bad port");
    address.port = std::atoi(port.c_str());  // at most five digits
    if (address.port < 1 || address.port > 65535) return bad("port out of range");
  }
  address.pahoUri =
      (address.tls ? "ssl://" : "tcp://") + address.host + ":" + std::to_string(address.port);
  return "";
}

std::string ParseServerUriList(const std::string& uris, std::vector<ServerAddress>* parsed) {
  static const char kBlanks[] = " \t";
  std::vector<ServerAddress>& addresses = *parsed;
  addresses.clear();
  size_t start = 0;
  for (;;) {
    size_t comma = uris.find(',', start);
    std::string item = uris.substr(start, comma == std::string::npos ? comma : comma - start);
    size_t first = item.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
      return "unusable server URI list \"" + uris + "\": an empty place";
    }
    item = item.substr(first, item.find_last_not_of(kBlanks) + 1 - first);
    addresses.emplace_back();
    std::string problem = ParseServerUri(item, &addresses.back());
    if (!problem.empty()) return problem;
    // A failover must not drop the encryption the first broker had.
    if (addresses.back().tls != addresses.front().tls) {
      return "unusable server URI list \"" + uris + "\": it mixes TLS and plain brokers";
    }
    if (comma == std::string::npos) return "";
    start = comma + 1;
  }
}

}  // namespace kiv
