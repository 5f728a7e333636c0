// The command layer through the simulator to a real broker (a private
// mosquitto): subscriptions, publishes and a broker that goes away.
#include "ModemTestSupport.h"
#include "modemctl.h"

#include <gtest/gtest.h>

namespace {

using kivtest::ConsoleCapture;
using kivtest::ModemLine;
using kivtest::Process;
using kivtest::TestBroker;

const std::chrono::milliseconds kDeadline(30000);

std::vector<std::string> Publisher(const TestBroker& broker, const std::string& topic,
                                   const std::string& message) {
  return {"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()),
          "-q",            "1",  "-t",        topic, "-m", message};
}

// mosquitto_sub on topic, once it is known to be subscribed: it also
// listens on /probe, where probes go until one comes back.
std::unique_ptr<Process> ReadySubscriber(const TestBroker& broker, const std::string& topic) {
  auto subscriber = std::make_unique<Process>(std::vector<std::string>{
      "mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-q", "1", "-t",
      topic, "-t", "/probe", "-v"});
  for (int attempt = 0; attempt < 30; ++attempt) {
    Process(Publisher(broker, "/probe", "ready")).Wait(kDeadline);
    if (subscriber->WaitForOutput("/probe ready", std::chrono::milliseconds(1000))) break;
  }
  return subscriber;
}

std::string received;

void Keep(int, int, char* data, int) { received = data; }

TEST(ModemBridge, SubscribedMessagesArriveAndPublishesReachTheBroker) {
  TestBroker broker;
  ModemLine line({"--broker", broker.uri()});
  ASSERT_EQ(0, line.Subscribe());
  std::unique_ptr<Process> subscriber = ReadySubscriber(broker, "/t");
  ASSERT_TRUE(subscriber->WaitForOutput("/probe ready", kDeadline));
  ASSERT_EQ(0, Process(Publisher(broker, "/t", "from the broker")).Wait(kDeadline));
  received.clear();
  nb_set_onmessage_callback(Keep);
  EXPECT_TRUE(kivtest::WaitUntil(
      [] {
        nb_loop_read();
        return !received.empty();
      },
      kDeadline));
  nb_set_onmessage_callback(nullptr);
  EXPECT_EQ("\"from the broker\"\r\n", received);

  EXPECT_EQ(0, line.Publish(4));
  EXPECT_TRUE(subscriber->WaitForOutput("/t hi\n", kDeadline)) << subscriber->Stdout();
}

TEST(ModemBridge, LostBrokerIsReportedAndTheNextPublishConnectsAgain) {
  TestBroker broker;
  ModemLine line({"--broker", broker.uri()});
  ASSERT_EQ(0, line.Connect());
  ConsoleCapture console;
  broker.Stop();
  EXPECT_TRUE(kivtest::WaitUntil(
      [&] {
        nb_loop_read();
        return console.Text().find("+QMTSTAT: 0,1") != std::string::npos;
      },
      kDeadline));
  broker.Start();
  std::string before = line.simulator.Transcript();
  EXPECT_EQ(0, line.Publish(5));
  EXPECT_EQ(before + "AT\r\nAT\r\nAT+QMTCONN?\r\nAT+QMTOPEN=0,\"127.0.0.1\",1883\r\n"
                     "AT+QMTCONN=0,\"KivClient\"\r\nAT+QMTPUB=0,5,1,0,\"/t\",\"hi\"\r\n",
            line.simulator.Transcript());
}

TEST(ModemBridge, UnreachableBrokerFailsTheOpenAndTheConnect) {
  TestBroker broker;
  std::string uri = broker.uri();
  broker.Stop();
  ModemLine line({"--broker", uri});
  ConsoleCapture console;
  EXPECT_EQ(-1, line.Connect());
  EXPECT_NE(std::string::npos, console.Text().find("+QMTOPEN: 0,-1"));
}

}  // namespace
