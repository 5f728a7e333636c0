// kiv::mqtt::Client against a real mosquitto on a free loopback port.
#include "kiv/MqttClient.h"

#include "PlatformClient.h"

#include "Descriptors.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kiv::mqtt::Client;
using kiv::mqtt::Message;
using kiv::mqtt::Options;

Options FastOptions(const std::string& uri) {
  Options options;
  options.serverUri = uri;
  options.minRetry = 100ms;
  options.maxRetry = 400ms;
  return options;
}

using kiv::platform::Inbox;

TEST(MqttClientTest, AnUnusableServerUriIsRefusedAtOnce) {
  Options options;
  options.serverUri = "http://127.0.0.1:80";
  EXPECT_THROW(Client{options}, std::invalid_argument);
}

TEST(MqttClientTest, GeneratedClientIdsAreUnique) {
  Client a(FastOptions("tcp://127.0.0.1:1"));
  Client b(FastOptions("tcp://127.0.0.1:1"));
  EXPECT_FALSE(a.clientId().empty());
  EXPECT_NE(a.clientId(), b.clientId());
  Options named = FastOptions("tcp://127.0.0.1:1");
  named.clientId = "gateway-7";
  EXPECT_EQ(Client(named).clientId(), "gateway-7");
}

TEST(MqttClientTest, PublishesAndReceivesBytesUnchanged) {
  kivtest::TestBroker broker;
  Inbox inbox;  // outlives the client that delivers to it
  Client receiver(FastOptions(broker.uri()));
  receiver.OnMessage(inbox.Handler());
  ASSERT_EQ(receiver.Connect(10s), kiv::mqtt::kOk);
  ASSERT_EQ(receiver.Subscribe("kiv/test/#", 1), kiv::mqtt::kOk);

  Client sender(FastOptions(broker.uri()));
  std::string error;
  ASSERT_EQ(sender.Connect(10s, &error), kiv::mqtt::kOk) << error;
  EXPECT_TRUE(sender.IsConnected());
  std::string payload("bin\0ary \xff\xfe %s\n", 14);
  ASSERT_EQ(sender.PublishAndWait("kiv/test/a", payload, 1, false, 10s, &error), 0) << error;
  ASSERT_EQ(sender.Publish("kiv/test/b", "", 0, false), 0);
  ASSERT_TRUE(inbox.WaitFor(2));
  auto messages = inbox.Messages();
  EXPECT_EQ(messages[0].topic, "kiv/test/a");
  EXPECT_EQ(messages[0].payload, payload);
  EXPECT_EQ(messages[0].qos, 1);
  EXPECT_EQ(messages[1].payload, "");
}

// Past its topic's bound a message arrives cut one byte past it, with its
// whole size; a bound of 0 keeps all of it.
TEST(MqttClientTest, MessagesPastTheirTopicsBoundArriveCut) {
  kivtest::TestBroker broker;
  Inbox inbox;
  Options options = FastOptions(broker.uri());
  options.maxPayloadBytes = 50;  // the topic's bound decides instead
  options.maxPayloadBytesOn = [](const std::string& topic) -> size_t {
    return topic == "kiv/test/small" ? 10 : 0;
  };
  Client receiver(options);
  receiver.OnMessage(inbox.Handler());
  ASSERT_EQ(receiver.Connect(10s), kiv::mqtt::kOk);
  ASSERT_EQ(receiver.Subscribe("kiv/test/#", 1), kiv::mqtt::kOk);
  Client sender(FastOptions(broker.uri()));
  ASSERT_EQ(sender.Connect(10s), kiv::mqtt::kOk);
  const std::string payload(100, 'p');
  ASSERT_EQ(sender.PublishAndWait("kiv/test/small", payload, 1, false, 10s), 0);
  ASSERT_EQ(sender.PublishAndWait("kiv/test/large", payload, 1, false, 10s), 0);
  ASSERT_TRUE(inbox.WaitFor(2));
  auto messages = inbox.Messages();
  EXPECT_EQ(messages[0].payload, payload.substr(0, 11));
  EXPECT_EQ(messages[0].size, 100u);
  EXPECT_EQ(messages[1].payload, payload);
  EXPECT_EQ(messages[1].size, 100u);
}

TEST(MqttClientTest, RefusesBadCallsWithCodes) {
  kivtest::TestBroker broker;
  Client client(FastOptions(broker.uri()));
  std::string error;
  EXPECT_EQ(client.Publish("t", "x", 1, false, &error), kiv::mqtt::kErrorNotConnected);
  EXPECT_FALSE(error.empty());
  ASSERT_EQ(client.Connect(10s), 0);
  EXPECT_EQ(client.Publish("a/+/b", "x", 1, false), kiv::mqtt::kErrorInvalid);
  EXPECT_EQ(client.Publish("", "x", 1, false), kiv::mqtt::kErrorInvalid);
  EXPECT_EQ(client.Publish("t", "x", 3, false), kiv::mqtt::kErrorInvalid);
  EXPECT_EQ(client.Subscribe("", 1), kiv::mqtt::kErrorInvalid);
  client.Disconnect();
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(client.Publish("t", "x", 1, false), kiv::mqtt::kErrorNotConnected);
}

TEST(MqttClientTest, HandlerMayPublishButNotWait) {
  kivtest::TestBroker broker;
  std::atomic<int> waitResult{1};
  Client echo(FastOptions(broker.uri()));
  echo.OnMessage([&](const Message& m) {
    waitResult = echo.PublishAndWait("kiv/x", "y", 1, false, 1s);
    echo.Publish("kiv/echo", m.payload, 1, false);
  });
  ASSERT_EQ(echo.Connect(10s), 0);
  ASSERT_EQ(echo.Subscribe("kiv/ping", 1), 0);

  Inbox inbox;
  Client requester(FastOptions(broker.uri()));
  requester.OnMessage(inbox.Handler());
  ASSERT_EQ(requester.Connect(10s), 0);
  ASSERT_EQ(requester.Subscribe("kiv/echo", 1), 0);
  ASSERT_EQ(requester.Publish("kiv/ping", "hello", 1, false), 0);
  ASSERT_TRUE(inbox.WaitFor(1));
  EXPECT_EQ(inbox.Messages()[0].payload, "hello");
  EXPECT_EQ(waitResult.load(), kiv::mqtt::kErrorInvalid);
}

TEST(MqttClientTest, RefusedCredentialsFailAtOnceWithTheReason) {
  kivtest::TestBroker broker;
  broker.RequirePasswords({{"alice", "secret"}});
  struct Case {
    std::optional<std::string> user, password;
    bool connects;
  } cases[] = {
      {"alice", "secret", true}, {"alice", "wrong", false}, {std::nullopt, std::nullopt, false}};
  for (const auto& c : cases) {
    Options options = FastOptions(broker.uri());
    options.username = c.user;
    options.password = c.password;
    Client client(options);
    std::string error;
    auto start = std::chrono::steady_clock::now();
    int rc = client.Connect(20s, &error);
    EXPECT_EQ(rc, c.connects ? kiv::mqtt::kOk : kiv::mqtt::kErrorRefused) << error;
    if (!c.connects) {
      EXPECT_LT(std::chrono::steady_clock::now() - start, 15s) << "a refusal is final for Connect";
      EXPECT_NE(error.find("refused by the broker"), std::string::npos) << error;
    }
  }
}

TEST(MqttClientTest, ConnectToClosedPortWaitsItsTimeoutWithoutSpinning) {
  int port = kivtest::FreeLoopbackPort();
  Client client(FastOptions("tcp://127.0.0.1:" + std::to_string(port)));
  timespec cpuBefore{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuBefore);
  auto start = std::chrono::steady_clock::now();
  std::string error;
  EXPECT_EQ(client.Connect(2s, &error), kiv::mqtt::kErrorTimeout);
  auto took = std::chrono::steady_clock::now() - start;
  timespec cpuAfter{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuAfter);
  double cpuSeconds = static_cast<double>(cpuAfter.tv_sec - cpuBefore.tv_sec) +
                      static_cast<double>(cpuAfter.tv_nsec - cpuBefore.tv_nsec) / 1e9;
  EXPECT_GE(took, 1900ms);
  EXPECT_LE(took, 6s);
  EXPECT_LT(cpuSeconds, 1.0) << "connecting must wait, not spin";
  EXPECT_NE(error.find("not connected"), std::string::npos) << error;
  EXPECT_FALSE(client.IsConnected());
}

TEST(MqttClientTest, TcpNoDelayIsSetOnTheConnectionWhenAsked) {
  kivtest::TestBroker broker;
  for (bool noDelay : {true, false}) {
    Options options = FastOptions(broker.uri());
    options.tcpNoDelay = noDelay;
    Client client(options);
    ASSERT_EQ(client.Connect(10s), 0);
    std::vector<int> flags = kivtest::NoDelayFlagsOfSocketsTo(broker.port());
    ASSERT_EQ(flags.size(), 1u);
    EXPECT_EQ(flags[0] != 0, noDelay);
    client.Disconnect();
  }
}

TEST(MqttClientTest, ReconnectsAfterBrokerRestartAndSubscribesAgain) {
  kivtest::TestBroker broker;
  Inbox inbox;
  std::atomic<int> connects{0}, reconnects{0}, losses{0};
  Client client(FastOptions(broker.uri()));
  client.OnMessage(inbox.Handler());
  client.OnConnected([&](bool again) { ++(again ? reconnects : connects); });
  client.OnConnectionLost([&](const std::string&) { ++losses; });
  ASSERT_EQ(client.Connect(10s), 0);
  ASSERT_EQ(client.Subscribe("kiv/in", 1), 0);

  for (int round = 1; round <= 2; ++round) {
    broker.Stop();
    ASSERT_TRUE(kivtest::WaitUntil([&] { return !client.IsConnected(); }));
    broker.Start();
    ASSERT_TRUE(kivtest::WaitUntil([&] { return reconnects == round; }, 30s));
    EXPECT_TRUE(client.IsConnected());
    EXPECT_EQ(losses.load(), round);
    EXPECT_TRUE(kivtest::NoDelayFlagsOfSocketsTo(broker.port()) == std::vector<int>{1});

    Client sender(FastOptions(broker.uri()));
    ASSERT_EQ(sender.Connect(10s), 0);
    ASSERT_EQ(sender.PublishAndWait("kiv/in", "after " + std::to_string(round), 1, false, 10s), 0);
    ASSERT_TRUE(inbox.WaitFor(static_cast<size_t>(round)));
    EXPECT_EQ(inbox.Messages().back().payload, "after " + std::to_string(round));
  }
  EXPECT_EQ(connects.load(), 1);
}

// Filters subscribed one after the other while the broker restarts, some of
// them while a new session renews the others: every filter whose Subscribe
// succeeded delivers after the reconnections.
TEST(MqttClientTest, FiltersSubscribedAcrossBrokerRestartsAllDeliver) {
  kivtest::TestBroker broker;
  Inbox inbox;
  std::atomic<int> reconnects{0};
  Client client(FastOptions(broker.uri()));
  client.OnMessage(inbox.Handler());
  client.OnConnected([&](bool again) { reconnects += again ? 1 : 0; });
  ASSERT_EQ(client.Connect(10s), 0);
  std::atomic<bool> restarting{true};
  std::vector<std::string> subscribed;  // the subscriber's until it is joined
  std::thread subscriber([&] {
    for (int i = 0; restarting; ++i) {
      std::string filter = "kiv/f" + std::to_string(i);
      if (client.Subscribe(filter, 1) == 0) subscribed.push_back(filter);
      std::this_thread::sleep_for(2ms);  // a pace, so that the filters stay a few thousand
    }
  });
  const int kRestarts = 3;
  for (int round = 1; round <= kRestarts; ++round) {
    broker.Stop();
    ASSERT_TRUE(kivtest::WaitUntil([&] { return !client.IsConnected(); }));
    broker.Start();
    ASSERT_TRUE(kivtest::WaitUntil([&] { return reconnects == round; }, 30s));
  }
  restarting = false;
  subscriber.join();

  Client sender(FastOptions(broker.uri()));
  ASSERT_EQ(sender.Connect(10s), 0);
  for (const std::string& filter : subscribed) {
    ASSERT_EQ(sender.PublishAndWait(filter, filter, 1, false, 10s), 0);
  }
  inbox.WaitFor(subscribed.size(), 30s);
  std::set<std::string> delivered;
  for (const Message& m : inbox.Messages()) delivered.insert(m.topic);
  for (const std::string& filter : subscribed) EXPECT_EQ(delivered.count(filter), 1u) << filter;
  RecordProperty("filters", static_cast<int>(subscribed.size()));
}

// A list names a cluster's nodes: the first that answers is used, and after
// a loss the next one, in turn; the socket of the broker actually connected
// to gets TCP_NODELAY.
TEST(MqttClientTest, FailsOverToTheNextBrokerOfTheListInTurn) {
  kivtest::TestBroker first, second;
  const std::string silent = "tcp://127.0.0.1:" + std::to_string(kivtest::FreeLoopbackPort());
  std::atomic<int> reconnects{0};
  Client client(FastOptions(silent + ", " + first.uri() + "," + second.uri()));
  client.OnConnected([&](bool again) { reconnects += again; });
  ASSERT_EQ(client.Connect(10s), 0);
  EXPECT_EQ(client.serverUri(), first.uri()) << "the first broker that answers";

  struct Handover {
    kivtest::TestBroker& stop;
    kivtest::TestBroker& next;
  } steps[] = {{first, second}, {second, first}};
  for (int round = 1; round <= 2; ++round) {
    const Handover& step = steps[round - 1];
    step.next.Start();
    step.stop.Stop();
    ASSERT_TRUE(kivtest::WaitUntil([&] { return reconnects == round; }, 30s));
    EXPECT_EQ(client.serverUri(), step.next.uri());
    EXPECT_EQ(kivtest::NoDelayFlagsOfSocketsTo(step.next.port()), std::vector<int>{1});
  }
}

TEST(MqttClientTest, LastWillAnnouncesALostClient) {
  kivtest::TestBroker broker;
  Inbox inbox;
  std::atomic<int> losses{0};
  Client watcher(FastOptions(broker.uri()));
  watcher.OnMessage(inbox.Handler());
  ASSERT_EQ(watcher.Connect(10s), 0);
  ASSERT_EQ(watcher.Subscribe("kiv/status", 1), 0);

  Options options = FastOptions(broker.uri());
  options.will = kiv::mqtt::Will{"kiv/status", "offline", 1, false};
  options.autoReconnect = false;
  Client client(options);
  client.OnConnectionLost([&](const std::string&) { ++losses; });
  auto watcherSockets = kivtest::SocketsTo(broker.port());
  ASSERT_EQ(client.Connect(10s), 0);
  // Break the connection under the library, as a network fault would.
  ASSERT_EQ(kivtest::ShutdownSocketsTo(broker.port(), watcherSockets), 1);
  ASSERT_TRUE(inbox.WaitFor(1));
  EXPECT_EQ(inbox.Messages()[0].payload, "offline");
  EXPECT_TRUE(kivtest::WaitUntil([&] { return losses == 1; }));
  EXPECT_FALSE(client.IsConnected());
}

}  // namespace
