#include "GatewaySettings.h"

#include <tuple>

namespace kivtest {

bool GatewaySettings::operator==(const GatewaySettings& o) const {
  return std::tie(gatewayId, tokenId, key, serverURI, user, pass, interval, debug, nodeTimeout,
                  nodeOutputBytes) == std::tie(o.gatewayId, o.tokenId, o.key, o.serverURI, o.user,
                                               o.pass, o.interval, o.debug, o.nodeTimeout,
                                               o.nodeOutputBytes);
}

std::ostream& operator<<(std::ostream& out, const GatewaySettings& s) {
  return out << "{gatewayId='" << s.gatewayId << "' tokenId='" << s.tokenId << "' key='" << s.key
             << "' serverURI='" << s.serverURI << "' user='" << s.user << "' pass='" << s.pass
             << "' interval='" << s.interval << "' debug=" << s.debug << " nodeTimeout='"
             << s.nodeTimeout << "' nodeOutputBytes='" << s.nodeOutputBytes << "'}";
}

GatewaySettings CurrentGatewaySettings() {
  return {g_gatewayId, g_tokenId, g_key,      g_serverURI,   g_user,
          g_pass,      g_interval, g_debug_enable, g_nodeTimeout, g_nodeOutputBytes};
}

void SetGatewaySettings(const GatewaySettings& s) {
  g_gatewayId = s.gatewayId;
  g_tokenId = s.tokenId;
  g_key = s.key;
  g_serverURI = s.serverURI;
  g_user = s.user;
  g_pass = s.pass;
  g_interval = s.interval;
  g_debug_enable = s.debug;
  g_nodeTimeout = s.nodeTimeout;
  g_nodeOutputBytes = s.nodeOutputBytes;
}

}  // namespace kivtest
