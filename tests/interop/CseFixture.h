// What interoperability tests against a real oneM2M CSE share: a private
// broker with the CSE on it for each test, and an MQTT client that speaks
// to the CSE as a oneM2M originator.
#ifndef KIV_INTEROP_CSE_FIXTURE_H
#define KIV_INTEROP_CSE_FIXTURE_H

#include "TestCse.h"
#include "TestSupport.h"
#include "kiv/MqttClient.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace interop {

// Skips the test with one line when the CSE cannot run here (no CSE folder,
// no Python packages, an emulated build). On a failure prints the CSE's log.
class CseFixture : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  int checkIntervalSeconds_ = 30;  // a derived fixture may shorten the CSE's liveness checks
  std::optional<kivtest::TestBroker> broker_;
  std::optional<kivtest::TestCse> cse_;
};

// Parses JSON text (throws std::runtime_error when it is not JSON).
Json::Value ParseJson(const std::string& text);

// Sends request primitives to the CSE on /oneM2M/req/<originator>/<cse>/json
// and collects its responses from /oneM2M/resp/<originator>/<cse>/json.
class MqttOriginator {
public:
  // originator: a CSE-ID or AE-ID without its leading slash. Throws when it
  // cannot connect.
  MqttOriginator(const std::string& brokerUri, const std::string& originator, const std::string& cseId);
  ~MqttOriginator();

  void Send(const Json::Value& primitive);
  // The response with that request identifier once it arrived within timeout.
  std::optional<Json::Value> Response(const std::string& requestId,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(15)) const;

private:
  void Receive(const kiv::mqtt::Message& message);

  std::string requestTopic_;
  std::string responseTopic_;
  mutable std::mutex mutex_;
  std::map<std::string, Json::Value> responses_;
  kiv::mqtt::Client client_;  // last: its handler threads stop first
};

}  // namespace interop

#endif
