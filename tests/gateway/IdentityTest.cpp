// The identity step of the run loop: derived token and key, checked against
// an independent MD5.
#include "Gateway.h"
#include "LogCapture.h"
#include "System.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using kivtest::LogCapture;

using kivtest::Md5Hex;

namespace {

TEST(Identity, DerivesTokenAndKeyFromTheGivenId) {
  init();
  g_gatewayId = "a1b2c3d4e5";
  LogCapture log;
  CompleteIdentity();
  EXPECT_EQ(g_gatewayId, "a1b2c3d4e5");
  EXPECT_EQ(g_tokenId, Md5Hex("a1b2c3d4e5LINKSALT"));
  EXPECT_EQ(g_key, "C" + Md5Hex("a1b2c3d4e5NODEMARKS"));
  EXPECT_EQ(log.Messages("Start"),
            (std::vector<std::string>{"gatewayId: a1b2c3d4e5\n", "tokenId: " + g_tokenId + "\n",
                                      "key: " + g_key + "\n"}));
}

TEST(Identity, KeepsGivenValues) {
  init();
  g_gatewayId = "id";
  g_tokenId = "given-token";
  g_key = "given-key";
  CompleteIdentity();
  EXPECT_EQ(g_tokenId, "given-token");
  EXPECT_EQ(g_key, "given-key");
}

TEST(Identity, UsesTheEth0AddressWithoutAnId) {
  init();
  LogCapture log;
  std::string mac = System::GetIfMacAddr("eth0");  // "" on a machine without eth0
  log.Clear();
  CompleteIdentity();
  EXPECT_EQ(g_gatewayId, mac);
  EXPECT_EQ(g_tokenId, Md5Hex(mac + "LINKSALT"));
  EXPECT_EQ(g_key, "C" + Md5Hex(mac + "NODEMARKS"));
  EXPECT_TRUE(log.Has(kiv::kLogInformation, "Start", "use MAC address as a gatewayId value\n"));
  bool reported = false;
  for (const kiv::LogRecord& line : log.Records()) {
    reported |= line.category == kiv::kLogError && line.function == "Start" &&
                line.message.find("no gatewayId") == 0;
  }
  EXPECT_EQ(reported, mac.empty());
}

}  // namespace
