// Server URI lists: the brokers of a cluster, in order, each one checked.
#include "ServerUri.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

TEST(ServerUriTest, AListNamesItsBrokersInOrderAndRefusesAnyBadPlace) {
  struct Case {
    const char* uris;
    std::vector<std::string> brokers;  // pahoUri of each; empty: refused
  } cases[] = {
      {"tcp://a:1", {"tcp://a:1"}},
      {"tcp://a:1,tcp://b", {"tcp://a:1", "tcp://b:1883"}},
      {" mqtt://a:1 ,\tmqtt://[::1]:2 ", {"tcp://a:1", "tcp://[::1]:2"}},
      {"ssl://a,mqtts://b:9", {"ssl://a:8883", "ssl://b:9"}},
      {"tcp://a:1,tcp://a:1", {"tcp://a:1", "tcp://a:1"}},
      {"", {}},
      {"tcp://a:1,", {}},
      {",tcp://a:1", {}},
      {"tcp://a:1,,tcp://b:2", {}},
      {"tcp://a:1, ", {}},
      {"tcp://a:1,b:2", {}},
      {"tcp://a:1,http://b:2", {}},
      {"tcp://a:1;tcp://b:2", {}},
      {"tcp://a:1,ssl://b:2", {}},  // a failover must not drop TLS
      {"ssl://a:1,tcp://b:2", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uris);
    std::vector<kiv::ServerAddress> parsed;
    std::string problem = kiv::ParseServerUriList(c.uris, &parsed);
    if (c.brokers.empty()) {
      EXPECT_NE(problem, "");
      continue;
    }
    EXPECT_EQ(problem, "");
    std::vector<std::string> brokers;
    for (const kiv::ServerAddress& address : parsed) brokers.push_back(address.pahoUri);
    EXPECT_EQ(brokers, c.brokers);
  }
}

// What the client reports as the broker in use (the registration's point of
// access is made from it), and the name the modem simulator resolves.
TEST(ServerUriTest, EachBrokerKeepsItsUriAsWrittenAndItsHostName) {
  std::vector<kiv::ServerAddress> brokers;
  ASSERT_EQ(kiv::ParseServerUriList("MQTT://a:1/ , mqtt://[::1]", &brokers), "");
  ASSERT_EQ(brokers.size(), 2u);
  EXPECT_EQ(brokers[0].uri, "MQTT://a:1/");
  EXPECT_EQ(brokers[1].uri, "mqtt://[::1]");
  EXPECT_EQ(brokers[1].name, "::1") << "as a resolver takes it";
}

}  // namespace
