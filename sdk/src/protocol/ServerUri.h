// The broker address a server URI names: tcp://, mqtt://, ssl:// or mqtts://,
// a host (name, IPv4 or [IPv6]) and an optional port. Pure parsing, shared
// by the MQTT client and the oneM2M point of access.
#ifndef KIV_SDK_SERVER_URI_H
#define KIV_SDK_SERVER_URI_H

#include <string>

namespace kiv {

struct ServerAddress {
  std::string host;     // as written; an IPv6 address keeps its brackets
  int port = 0;         // 1883, or 8883 with TLS, when the URI names none
  bool tls = false;
  std::string pahoUri;  // tcp:// or ssl://host:port, the form the MQTT library takes
};

// Throws std::invalid_argument, naming the URI and what is wrong with it.
ServerAddress ParseServerUri(const std::string& uri);

}  // namespace kiv

#endif
