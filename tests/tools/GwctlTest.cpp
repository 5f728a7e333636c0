// The platform console gwctl as a program, against a proxy in this process
// that plays the gateway: what reaches the gateway, what gwctl prints, and
// its exit status. ConsoleTest.cpp has its command line and requests.
#include "kiv/Proxy.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A gateway that answers retrieves of something with a fixed document and
// notes every request and message.
class Gateway : public kiv::Proxy::Callback {
public:
  kiv::Proxy* proxy = nullptr;
  void RequestArrived(const std::string& requestId, int op, std::list<kiv::RequestTarget>& targets,
                      std::list<kiv::RequestContent>& contents) override {
    std::string seen = std::to_string(op);
    for (const auto& t : targets) seen += " " + std::to_string(t.type);
    for (const auto& c : contents) seen += " " + std::to_string(c.type) + ":" + c.text;
    Add(seen);
    if (op == kiv::kOperationRetrieve && !targets.empty()) {
      proxy->Response(requestId, "{\"primitiveContent\":{\"anyOrAny\":[{\"resourceType\":14}]}}",
                      15, true, nullptr);
    }
  }
  void MessageArrived(const std::string& message) override { Add("message " + message); }
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

private:
  void Add(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(text);
  }
  std::mutex mutex_;
  std::vector<std::string> seen_;
};

class GwctlTest : public ::testing::Test {
protected:
  void SetUp() override {
    kiv::ProxyInfo info(kiv::kConnectionMqtt, "key", "token", broker.uri());
    info.SetDeviceId("gw-1");
    proxy = std::make_unique<kiv::Proxy>(info);
    gateway.proxy = proxy.get();
    proxy->SetCallback(gateway);
    ASSERT_EQ(proxy->Connect(10, false, nullptr), "");
  }
  std::vector<std::string> Command(const std::vector<std::string>& words) {
    std::vector<std::string> argv = kivtest::ProgramCommand("tools/gwctl/gwctl");
    argv.push_back("-s");
    argv.push_back(broker.uri());
    argv.insert(argv.end(), words.begin(), words.end());
    return argv;
  }
  kivtest::TestBroker broker;
  Gateway gateway;
  std::unique_ptr<kiv::Proxy> proxy;
};

TEST_F(GwctlTest, RequestsRoundTripThroughTheGatewayWithTheirExitStatus) {
  struct Case {
    std::vector<std::string> words;
    int status;
    std::string seen;    // what RequestArrived or MessageArrived got ("": nothing)
    std::string output;  // part of what gwctl printed on standard output
    std::string error;   // part of what it printed on standard error
  } cases[] = {
      {{"retrieve", "gw-1", "1007", "14"}, 0, "6 1007 14", "\"resourceType\":\t14", ""},
      {{"control", "gw-1", "5", "on", "{\"a\":[1]}", "-2"},
       0,
       R"(4 12:{"execReqArgs":{"all":[{"anyArg":[{"value":5},{"value":"on"},{"value":{"a":[1]}},{"value":-2}]}]}})",
       "",
       ""},
      {{"request", "gw-1", R"({"rqi":"bad1","op":9})"},
       4,
       "message {\"rqi\":\"bad1\",\"op\":9}",
       "",
       "gwctl: gw-1 answered 4000"},
      {{"-t", "1", "retrieve", "nobody", "14"}, 3, "", "", "gwctl: no reply from nobody in 1 s"},
      {{"retrieve", "gw-1"}, 1, "", "", "\n\nusage: gwctl"},
  };
  size_t seenBefore = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.words));
    kivtest::Process gwctl(Command(c.words));
    EXPECT_EQ(gwctl.Wait(60s), c.status) << gwctl.Stderr();
    EXPECT_NE(gwctl.Stdout().find(c.output), std::string::npos) << gwctl.Stdout();
    EXPECT_NE(gwctl.Stderr().find(c.error), std::string::npos) << gwctl.Stderr();
    if (c.seen.empty()) continue;
    ASSERT_TRUE(kivtest::WaitUntil([&] { return gateway.Seen().size() > seenBefore; }));
    EXPECT_EQ(gateway.Seen()[seenBefore], c.seen);
    seenBefore = gateway.Seen().size();
  }
}

TEST_F(GwctlTest, WatchPrintsEveryRecord) {
  kivtest::Process watch(Command({"-n", "2", "-t", "60", "watch", "gw-1"}));
  ASSERT_TRUE(watch.WaitForOutput("gw-1 is online", 30s, kivtest::Process::Stream::kErr)) << watch.Stderr();
  kiv::Data data(proxy.get());
  ASSERT_EQ(data.Create("first \"record\"", true).errorCode, 0);
  ASSERT_EQ(data.Create("second", true).errorCode, 0);
  EXPECT_EQ(watch.Wait(30s), 0) << watch.Stderr();
  std::string out = watch.Stdout();
  EXPECT_NE(out.find(R"({"m2m:cin":{"con":"first \"record\""}})"), std::string::npos) << out;
  EXPECT_NE(out.find(R"({"m2m:cin":{"con":"second"}})"), std::string::npos) << out;
}

}  // namespace
