// The broker addresses a server URI names: tcp://, mqtt://, ssl:// or
// mqtts://, a host (name, IPv4 or [IPv6]) and an optional port; a list of
// such URIs separated by commas names the nodes of a broker cluster. Pure
// parsing, shared by the MQTT client, the oneM2M point of access and the
// modem simulator's broker bridge.
#ifndef KIV_SDK_SERVER_URI_H
#define KIV_SDK_SERVER_URI_H

#include <string>
#include <vector>

namespace kiv {

struct ServerAddress {
  std::string uri;      // the URI as written (without blanks around it)
  std::string host;     // as written; an IPv6 address keeps its brackets
  std::string name;     // the host as a resolver takes it: without brackets
  int port = 0;         // 1883, or 8883 with TLS, when the URI names none
  bool tls = false;
  std::string pahoUri;  // tcp:// or ssl://host:port, the form the MQTT library takes
};

// One URI into *address. "" when usable, else what is wrong with it (naming
// the URI).
std::string ParseServerUri(const std::string& uri, ServerAddress* address);

// The address as scheme://host:port, its port always written.
std::string SchemeHostPort(const char* scheme, const ServerAddress& address);

// One URI or several separated by commas (blanks around each are ignored),
// into *addresses in their order. Every one must be usable, and either all
// use TLS or none does: "" when so, else the first URI that is not usable
// and why, or what is wrong with the list.
std::string ParseServerUriList(const std::string& uris, std::vector<ServerAddress>* addresses);

}  // namespace kiv

#endif
