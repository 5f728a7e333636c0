// The CSE fixture itself: the CSE answers on HTTP and on MQTT, and a restart
// leaves it empty.
#include "CseFixture.h"

#include <gtest/gtest.h>

namespace interop {
namespace {

const char* const kRemoteCseId = "id-kivtest";
const char* const kRemoteCseName = "kivtest";

// A remote CSE's registration (op 1, ty 16) as a primitive on MQTT.
Json::Value RegistrationPrimitive(const kivtest::TestCse& cse, const std::string& requestId) {
  Json::Value csr;
  csr["rn"] = kRemoteCseName;
  csr["csi"] = std::string("/") + kRemoteCseId;
  csr["cb"] = std::string("/") + kRemoteCseId + "/" + kRemoteCseName;
  csr["cst"] = 2;
  csr["rr"] = true;
  csr["srv"].append("3");
  csr["poa"].append("mqtt://127.0.0.1:" + std::to_string(cse.mqttPort()));
  Json::Value primitive;
  primitive["op"] = 1;
  primitive["ty"] = 16;
  primitive["to"] = "/" + cse.cseId() + "/" + cse.cseName();
  primitive["fr"] = std::string("/") + kRemoteCseId;
  primitive["rqi"] = requestId;
  primitive["rvi"] = "3";
  primitive["pc"]["m2m:csr"] = csr;
  return primitive;
}

// Registers over MQTT and returns the response status (0 when none came).
int Register(MqttOriginator& originator, const kivtest::TestCse& cse, const std::string& requestId) {
  originator.Send(RegistrationPrimitive(cse, requestId));
  auto response = originator.Response(requestId);
  return response ? (*response)["rsc"].asInt() : 0;
}

std::string Rsc(const kivtest::HttpResponse& response) {
  return response.Header("x-m2m-rsc").value_or("none");
}

class CseFixtureTest : public CseFixture {};

TEST_F(CseFixtureTest, AnswersOnHttpAndRegistersARemoteCseOverMqtt) {
  auto base = cse_->Retrieve("/" + cse_->cseName());
  EXPECT_EQ(base.status, 200);
  EXPECT_EQ(Rsc(base), "2000");
  EXPECT_EQ(ParseJson(base.body)["m2m:cb"]["csi"], "/" + cse_->cseId()) << base.body;

  MqttOriginator originator(broker_->uri(), kRemoteCseId, cse_->cseId());
  ASSERT_EQ(Register(originator, *cse_, "register-1"), 2001);
  auto registration = cse_->Retrieve("/" + cse_->cseName() + "/" + kRemoteCseName);
  EXPECT_EQ(Rsc(registration), "2000") << registration.body;
  EXPECT_EQ(ParseJson(registration.body)["m2m:csr"]["csi"], std::string("/") + kRemoteCseId);
}

TEST_F(CseFixtureTest, RestartForgetsTheRegistrationAndAnswersAgain) {
  MqttOriginator originator(broker_->uri(), kRemoteCseId, cse_->cseId());
  ASSERT_EQ(Register(originator, *cse_, "before-restart"), 2001);

  cse_->Restart();
  auto registration = cse_->Retrieve("/" + cse_->cseName() + "/" + kRemoteCseName);
  EXPECT_EQ(registration.status, 404);
  EXPECT_EQ(Rsc(registration), "4004");
  EXPECT_EQ(Register(originator, *cse_, "after-restart"), 2001);
}

}  // namespace
}  // namespace interop
