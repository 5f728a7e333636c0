#include "ServerUri.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace kiv {

namespace {

// "unusable <what> "<text>": <why>". Appended, not formatted: the URI is
// shown whole, whatever bytes it holds.
std::string Unusable(const char* what, const std::string& text, const char* why) {
  std::string problem = "unusable ";
  problem += what;
  problem += " \"";
  problem += text;
  problem += "\": ";
  problem += why;
  return problem;
}

struct Scheme {
  const char* name;
  bool tls;
};
constexpr Scheme kSchemes[] = {{"tcp", false}, {"mqtt", false}, {"ssl", true}, {"mqtts", true}};

// The scheme a URI starts with (its first length bytes, in any case), or null.
const Scheme* SchemeOf(const std::string& uri, size_t length) {
  for (const Scheme& scheme : kSchemes) {
    if (length == std::strlen(scheme.name) && strncasecmp(uri.data(), scheme.name, length) == 0)
      return &scheme;
  }
  return nullptr;
}

// Reads uri into address: null when usable, else what is wrong with it.
const char* ReadServerUri(const std::string& uri, ServerAddress& address) {
  size_t schemeEnd = uri.find("://");
  if (schemeEnd == std::string::npos) return "expected scheme://host[:port]";
  address = ServerAddress();
  address.uri = uri;
  const Scheme* scheme = SchemeOf(uri, schemeEnd);
  if (scheme == nullptr) return "scheme must be tcp, mqtt, ssl or mqtts";
  address.tls = scheme->tls;
  std::string rest = uri.substr(schemeEnd + 3);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string port;
  bool portGiven = false;  // a ':' after the host, even with nothing behind it
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    if (close == std::string::npos) return "unclosed [ in the host";
    address.host = rest.substr(0, close + 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') return "unexpected text after the host";
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
    return "bad host";
  address.name = address.host[0] == '[' ? address.host.substr(1, address.host.size() - 2) : address.host;
  address.port = address.tls ? 8883 : 1883;
  if (portGiven) {
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
      return "bad port";
    address.port = std::atoi(port.c_str());  // at most five digits
    if (address.port < 1 || address.port > 65535) return "port out of range";
  }
  address.pahoUri = SchemeHostPort(address.tls ? "ssl" : "tcp", address);
  return nullptr;
}

}  // namespace

std::string SchemeHostPort(const char* scheme, const ServerAddress& address) {
  std::string text = scheme;
  text += "://";
  text += address.host;
  text += ':';
  text += std::to_string(address.port);
  return text;
}

std::string ParseServerUri(const std::string& uri, ServerAddress* address) {
  const char* problem = ReadServerUri(uri, *address);
  return problem == nullptr ? "" : Unusable("server URI", uri, problem);
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
      return Unusable("server URI list", uris, "an empty place");
    }
    item = item.substr(first, item.find_last_not_of(kBlanks) + 1 - first);
    addresses.emplace_back();
    std::string problem = ParseServerUri(item, &addresses.back());
    if (!problem.empty()) return problem;
    // A failover must not drop the encryption the first broker had.
    if (addresses.back().tls != addresses.front().tls) {
      return Unusable("server URI list", uris, "it mixes TLS and plain brokers");
    }
    if (comma == std::string::npos) return "";
    start = comma + 1;
  }
}

}  // namespace kiv
