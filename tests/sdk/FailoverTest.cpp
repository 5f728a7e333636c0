// A gateway given two brokers bridged to each other, as the nodes of a
// cluster are, with the platform on the second: when the broker in use goes
// away, the gateway moves to the other node, registers there under that
// node's address, its records keep reaching the platform intact and once
// each, and its requests are served again.
#include "kiv/Proxy.h"

#include "PlatformClient.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <map>
#include <mutex>
#include <set>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Answers retrieves as the gateway does.
class Gateway : public kiv::Proxy::Callback {
public:
  void RequestArrived(const std::string& requestId, int op, std::list<kiv::RequestTarget>&,
                      std::list<kiv::RequestContent>&) override {
    if (op == kiv::kOperationRetrieve) proxy->Response(requestId, "{\"n\":1}", 15, true, nullptr);
  }
  kiv::Proxy* proxy = nullptr;
};

class FailoverTest : public ::testing::Test {
protected:
  void SetUp() override {
    first.BridgeTo(second.port());
    kiv::ProxyInfo info(kiv::kConnectionMqtt, "key", "token", first.uri() + "," + second.uri());
    info.SetDeviceId(kDevice);
    kiv::platform::Platform::Options options;
    options.serverUri = second.uri();
    options.answerAsRegistrar = true;
    platform = std::make_unique<kiv::platform::Platform>(options);
    ASSERT_EQ(platform->Connect(10s), 0);
    ASSERT_EQ(platform->Watch(kDevice), 0);
    proxy = std::make_unique<kiv::Proxy>(info);
    gateway.proxy = proxy.get();
    proxy->SetCallback(gateway);
    ASSERT_EQ(proxy->Connect(10, false, nullptr), "");
  }
  void TearDown() override {
    platform.reset();
    proxy.reset();
  }

  // Sends a record as the gateway does; remembers it when the SDK took it.
  bool Send(const std::string& text, bool waitForDelivery) {
    if (kiv::Data(proxy.get()).Create(text, waitForDelivery).errorCode != 0) return false;
    std::lock_guard<std::mutex> lock(mutex);
    sent.insert(text);
    return true;
  }
  static size_t Count(const std::vector<kiv::platform::Record>& records, const std::string& prefix) {
    size_t count = 0;
    for (const auto& record : records) count += record.text.rfind(prefix, 0) == 0;
    return count;
  }
  size_t Received(const std::string& prefix) const {
    return Count(platform->Records(kDevice), prefix);
  }
  // Sends records "prefix N", one each time the platform's inbox stays quiet
  // for a moment (the gateway's records are paced too), until count of them
  // arrived.
  bool SendUntilReceived(const std::string& prefix, size_t count, bool waitForDelivery) {
    auto arrived = [&](const std::vector<kiv::mqtt::Message>& messages) {
      return Count(kiv::platform::RecordsIn(messages, kDevice), prefix) >= count;
    };
    for (int n = 1; n <= kMaxRecords; ++n) {
      std::string text = prefix + std::to_string(n);
      Send(text, waitForDelivery);
      if (platform->inbox().WaitUntil(arrived, 50ms)) return true;
    }
    return false;
  }
  // From since to the arrival of the first record "prefix...".
  long MillisecondsToFirst(const std::string& prefix, Clock::time_point since) const {
    std::vector<kiv::mqtt::Message> messages = platform->inbox().Messages();
    std::vector<Clock::time_point> arrivals = platform->inbox().Arrivals();
    for (size_t i = 0; i < messages.size() && i < arrivals.size(); ++i) {
      std::optional<kiv::platform::Record> record = kiv::platform::ParseRecord(messages[i].payload);
      if (record && record->text.rfind(prefix, 0) == 0) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(arrivals[i] - since).count();
      }
    }
    return -1;
  }
  std::string Messages() const {
    std::string all;
    for (const auto& m : platform->inbox().Messages()) all += m.topic + " " + m.payload + "\n";
    return all;
  }
  bool Registered(const kivtest::TestBroker& broker) const {
    const std::string poa = "\"poa\":[\"mqtt://127.0.0.1:" + std::to_string(broker.port()) + "\"]";
    for (const auto& message : platform->inbox().Messages()) {
      if (message.payload.find("\"m2m:csr\"") != std::string::npos &&
          message.payload.find(poa) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  const std::string kDevice = "gw-failover";
  static constexpr int kMaxRecords = 1200;  // a minute of records at most
  kivtest::TestBroker second, first;  // the gateway starts on first
  Gateway gateway;
  std::unique_ptr<kiv::Proxy> proxy;
  std::unique_ptr<kiv::platform::Platform> platform;
  std::mutex mutex;
  std::set<std::string> sent;
};

TEST_F(FailoverTest, RecordsAndRequestsMoveToTheOtherBroker) {
  // Acknowledged records only, until the bridge carries them: none is in
  // flight when the broker goes.
  ASSERT_TRUE(SendUntilReceived("before ", 1, true));

  first.Stop();
  auto stopped = Clock::now();
  ASSERT_TRUE(SendUntilReceived("after ", 3, false));
  RecordProperty("failover_ms", static_cast<int>(MillisecondsToFirst("after ", stopped)));

  EXPECT_TRUE(kivtest::WaitUntil([&] { return Registered(second); }))
      << "the registration names the broker connected to" << Messages();
  kiv::platform::Header header = platform->HeaderFor(kDevice);
  std::optional<std::string> reply =
      platform->Ask(kDevice, kiv::platform::Retrieve(header, {14}), 10s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(kiv::platform::ParseReply(*reply)->rsc, 2000);

  // Every record the SDK took arrives, those taken just before the broker
  // went away included; nothing arrives that was not sent, or twice.
  std::map<std::string, int> seen;
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_TRUE(kivtest::WaitUntil([&] {
    seen.clear();
    for (const auto& record : platform->Records(kDevice)) ++seen[record.text];
    for (const std::string& text : sent)
      if (seen.count(text) == 0) return false;
    return true;
  })) << "records taken by the SDK were lost";
  for (const auto& [text, times] : seen) {
    EXPECT_EQ(sent.count(text), 1u) << "unknown or corrupted record: " << text;
    EXPECT_EQ(times, 1) << text;
  }
}

// A broker that hangs (SIGSTOP: its socket stays open, nothing answers) is
// noticed by the keep-alive and left for the next node; the registration
// there names the address set for the platform, not the node's.
TEST(FrozenBroker, IsLeftWithinTwoKeepAlivePeriodsForTheNextNode) {
  kivtest::ScopedEnvironment environment(
      {{"KIV_KEEPALIVE_SECONDS", "5"}, {"KIV_POINT_OF_ACCESS", "mqtt://cluster.example"}});
  kivtest::TestBroker frozen, spare;
  kiv::platform::Platform::Options options;
  options.serverUri = spare.uri();
  options.answerAsRegistrar = true;
  kiv::platform::Platform platform(options);
  ASSERT_EQ(platform.Connect(10s), 0);
  ASSERT_EQ(platform.Watch("gw-frozen"), 0);
  kiv::ProxyInfo info(kiv::kConnectionMqtt, "key", "token", frozen.uri() + "," + spare.uri());
  info.SetDeviceId("gw-frozen");
  kiv::Proxy proxy(info);
  ASSERT_EQ(proxy.Connect(10, false, nullptr), "");

  frozen.Signal(SIGSTOP);
  auto start = Clock::now();
  auto registeredWithSetAddress = [](const std::vector<kiv::mqtt::Message>& messages) {
    for (const auto& message : messages) {
      if (message.payload.find("\"poa\":[\"mqtt://cluster.example:1883\"]") != std::string::npos)
        return true;
    }
    return false;
  };
  bool moved = platform.inbox().WaitUntil(registeredWithSetAddress, 60s);
  frozen.Signal(SIGCONT);
  ASSERT_TRUE(moved);
  RecordProperty("frozen_broker_left_ms",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      Clock::now() - start).count()));
}

}  // namespace
