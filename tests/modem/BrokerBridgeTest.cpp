// The simulator's MQTT bridge to a real broker (a private mosquitto), driven
// with AT commands in process: subscriptions, publishes, and a broker that
// goes away, as modemctl sees them on its line.
#include "ModemEngine.h"
#include "MqttNetwork.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <mutex>

namespace {

using kivtest::TestBroker;

const std::chrono::milliseconds kAnswerDeadline(30000);

// The engine over the bridge; what it sends to the line is collected, also
// from the bridge's own threads (messages, a lost connection).
class BridgedModem {
public:
  explicit BridgedModem(const std::string& brokerUri)
      : network_(brokerUri), engine_(network_, {}, [this](const std::string& bytes) {
          std::lock_guard<std::mutex> lock(mutex_);
          line_ += bytes;
        }) {}
  // The bridge's threads stop before the engine they call goes.
  ~BridgedModem() {
    for (int i = 0; i < modemsim::kSockets; ++i) network_.Close(i);
  }
  BridgedModem(const BridgedModem&) = delete;
  BridgedModem& operator=(const BridgedModem&) = delete;

  // Sends one command (the engine answers before this returns, the broker
  // included) and tells whether the line shows text since then.
  bool Answers(const std::string& command, const std::string& text) {
    size_t from = Line().size();
    engine_.Feed(command + "\r\n");
    return Line().find(text, from) != std::string::npos;
  }

  bool Shows(const std::string& text) {
    return kivtest::WaitUntil([&] { return Line().find(text) != std::string::npos; }, kAnswerDeadline);
  }

  std::string Line() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return line_;
  }

private:
  mutable std::mutex mutex_;
  std::string line_;
  modemsim::MqttNetwork network_;
  modemsim::ModemEngine engine_;
};

const std::string kOpenSocket0 = "AT+QMTOPEN=0,\"127.0.0.1\",1883";

TEST(ModemBridge, PublishesReachTheBrokerAndSubscribedMessagesComeBack) {
  TestBroker broker;
  BridgedModem modem(broker.uri());
  ASSERT_TRUE(modem.Answers(kOpenSocket0, "+QMTOPEN: 0,0"));
  ASSERT_TRUE(modem.Answers("AT+QMTCONN=0,\"reader\"", "+QMTCONN: 0,0,0"));
  ASSERT_TRUE(modem.Answers("AT+QMTSUB=0,3,\"/t/+\",1", "+QMTSUB: 0,3,0,1"));
  ASSERT_TRUE(modem.Answers("AT+QMTOPEN=1,\"127.0.0.1\",1883", "+QMTOPEN: 1,0"));
  ASSERT_TRUE(modem.Answers("AT+QMTCONN=1,\"writer\",\"u\", \"p\"", "+QMTCONN: 1,0,0"));
  EXPECT_TRUE(modem.Answers("AT+QMTPUB=1,4,1,0,\"/t/a\",\"from the broker\"", "+QMTPUB: 1,4,0"));
  EXPECT_TRUE(modem.Shows("\r\n+QMTRECV: 0,1,\"/t/a\",\"from the broker\"\r\n")) << modem.Line();
}

TEST(ModemBridge, LostBrokerIsReportedAndTheClientConnectsAgainOnceItIsBack) {
  TestBroker broker;
  BridgedModem modem(broker.uri());
  ASSERT_TRUE(modem.Answers(kOpenSocket0, "+QMTOPEN: 0,0"));
  ASSERT_TRUE(modem.Answers("AT+QMTCONN=0,\"KivClient\"", "+QMTCONN: 0,0,0"));
  broker.Stop();
  EXPECT_TRUE(modem.Shows("\r\n+QMTSTAT: 0,1\r\n")) << modem.Line();
  EXPECT_FALSE(modem.Answers("AT+QMTCONN?", "+QMTCONN: 0,3"));
  broker.Start();
  EXPECT_TRUE(modem.Answers(kOpenSocket0, "+QMTOPEN: 0,0"));
  EXPECT_TRUE(modem.Answers("AT+QMTCONN=0,\"KivClient\"", "+QMTCONN: 0,0,0"));
  EXPECT_TRUE(modem.Answers("AT+QMTCONN?", "+QMTCONN: 0,3"));
}

TEST(ModemBridge, UnreachableBrokerFailsTheOpen) {
  TestBroker broker;
  std::string uri = broker.uri();
  broker.Stop();
  BridgedModem modem(uri);
  EXPECT_TRUE(modem.Answers(kOpenSocket0, "+QMTOPEN: 0,-1"));
  EXPECT_TRUE(modem.Answers("AT+QMTCONN=0,\"KivClient\"", "ERROR"));  // nothing opened
}

}  // namespace
