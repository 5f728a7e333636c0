// gatewayd's settings globals as one comparable value, for the tests of its
// command line and configuration file.
#ifndef KIV_TEST_GATEWAY_SETTINGS_H
#define KIV_TEST_GATEWAY_SETTINGS_H

#include "Gateway.h"

#include <ostream>
#include <string>

namespace kivtest {

struct GatewaySettings {
  std::string gatewayId, tokenId, key, serverURI, user, pass, interval;
  bool debug = false;
  std::string nodeTimeout = "", nodeOutputBytes = "";  // empty: not given
  bool operator==(const GatewaySettings& other) const;
};
std::ostream& operator<<(std::ostream& out, const GatewaySettings& settings);

GatewaySettings CurrentGatewaySettings();
void SetGatewaySettings(const GatewaySettings& settings);

}  // namespace kivtest

#endif
