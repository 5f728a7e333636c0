// The stand-in registrar on a broker: its answers reach the gateway, those
// it was told to delay once they fall due, in order.
#include "Cse.h"
#include "StandInCse.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(StandInOnTheBroker, SendsDelayedAnswersOnceTheyAreDue) {
  kivtest::StandInCse cse({"gw-1"});
  cse.registrar().Delay(kiv::platform::kRecordCreate, 300ms);
  kiv::mqtt::Options options;
  options.serverUri = cse.broker().uri();
  options.clientId = "gw-1";
  kiv::mqtt::Client gateway(options);
  kiv::platform::Inbox answers;
  gateway.OnMessage(answers.Handler());
  ASSERT_EQ(gateway.Connect(10s), 0);
  ASSERT_EQ(gateway.Subscribe("/oneM2M/resp/gw-1/id-in/json", 1), 0);

  const kiv::protocol::CseNames names{"gw-1", "id-in", "cse-in"};
  const std::string topic = "/oneM2M/req/gw-1/id-in/json";
  Clock::time_point sent = Clock::now();
  for (const std::string& request :
       {kiv::protocol::RegistrationCreate(names, "r1", "mqtt://127.0.0.1:1"),
        kiv::protocol::ContainerCreate(names, "r2"),
        kiv::protocol::ContentInstanceCreate(names, "r3", "rec-1", "one"),
        kiv::protocol::ContentInstanceCreate(names, "r4", "rec-2", "two")}) {
    ASSERT_EQ(gateway.Publish(topic, request, 1, false), 0);
  }
  ASSERT_TRUE(answers.WaitFor(4));

  std::vector<kiv::mqtt::Message> messages = answers.Messages();
  std::vector<Clock::time_point> arrivals = answers.Arrivals();
  const char* const expectedOrder[] = {"r1", "r2", "r3", "r4"};
  for (size_t i = 0; i < 4; ++i) {
    std::optional<kiv::protocol::Reply> reply = kiv::protocol::ParseReply(messages[i].payload);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->rqi, expectedOrder[i]);
    EXPECT_EQ(reply->rsc, 2001);
    if (i >= 2) {
      EXPECT_GE(arrivals[i] - sent, 300ms) << "answer " << reply->rqi << " came early";
    }
  }
  EXPECT_EQ(cse.registrar().Records("gw-1").size(), 2u);
}

}  // namespace
