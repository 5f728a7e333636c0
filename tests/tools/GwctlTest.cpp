// The platform console gwctl, run as a real program against a proxy in this
// process that plays the gateway.
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
  std::vector<std::string> Command(std::vector<std::string> words, const std::string& uri = "") {
    std::vector<std::string> argv = kivtest::ProgramCommand("tools/gwctl/gwctl");
    argv.push_back("-s");
    argv.push_back(uri.empty() ? broker.uri() : uri);
    argv.insert(argv.end(), words.begin(), words.end());
    return argv;
  }
  struct Outcome {
    int status;
    std::string out, err;
  };
  Outcome Run(std::vector<std::string> words, const std::string& uri = "") {
    kivtest::Process gwctl(Command(std::move(words), uri));
    auto status = gwctl.Wait(60s);
    return Outcome{status.value_or(-1), gwctl.Stdout(), gwctl.Stderr()};
  }
  kivtest::TestBroker broker;
  Gateway gateway;
  std::unique_ptr<kiv::Proxy> proxy;
};

TEST_F(GwctlTest, RequestsRoundTripThroughTheGateway) {
  struct Case {
    std::vector<std::string> words;
    int status;
    std::string seen;    // what RequestArrived or MessageArrived got
    std::string output;  // part of what gwctl printed
  } cases[] = {
      {{"retrieve", "gw-1", "1007", "14"}, 0, "6 1007 14", "\"resourceType\":\t14"},
      {{"control", "gw-1", "5", "on", "{\"a\":[1]}", "-2"},
       0,
       R"(4 12:{"execReqArgs":{"all":[{"anyArg":[{"value":5},{"value":"on"},{"value":{"a":[1]}},{"value":-2}]}]}})",
       ""},
      {{"schedule", "create", "gw-1", "0 7 * * *"},
       0,
       R"(1 18:{"scheduleElement":{"scheduleEntry":["0 7 * * *"]}})",
       ""},
      {{"schedule", "update", "gw-1", "x"},
       0,
       R"(4 18:{"scheduleElement":{"scheduleEntry":["x"]}})",
       ""},
      {{"schedule", "delete", "gw-1", "morning"}, 0, R"(2 18:{"resourceName":"morning"})", ""},
      {{"-t", "2", "request", "gw-1", R"({"rqi":"raw1","op":2})"}, 3, "6", ""},
      {{"request", "gw-1", R"({"rqi":"bad1","op":9})"},
       4,
       "message {\"rqi\":\"bad1\",\"op\":9}",
       ""},
      {{"-t", "2", "request", "gw-1", "not json"}, 3, "message not json", ""},
  };
  size_t seenBefore = 0;
  for (const auto& c : cases) {
    Outcome outcome = Run(c.words);
    std::string command = c.words[0] + " " + c.words.back();
    EXPECT_EQ(outcome.status, c.status) << command << "\n" << outcome.err;
    EXPECT_NE(outcome.out.find(c.output), std::string::npos) << command << "\n" << outcome.out;
    ASSERT_TRUE(kivtest::WaitUntil([&] { return gateway.Seen().size() > seenBefore; })) << command;
    EXPECT_EQ(gateway.Seen()[seenBefore], c.seen) << command;
    seenBefore = gateway.Seen().size();
    if (c.status != 0) {
      EXPECT_NE(outcome.err.find("gwctl: "), std::string::npos) << outcome.err;
    }
  }
}

TEST_F(GwctlTest, FailuresHaveTheirOwnStatusAndMessage) {
  struct Case {
    std::vector<std::string> words;
    std::string uri;
    int status;
    std::string message;
  } cases[] = {
      {{"-t", "1", "retrieve", "nobody", "14"}, "", 3, "no reply from nobody"},
      {{"-t", "1", "retrieve", "gw-1", "14"},
       "tcp://127.0.0.1:" + std::to_string(kivtest::FreeLoopbackPort()),
       2,
       "not connected"},
      {{"retrieve", "gw-1", "x"}, "", 1, "not a number"},
      {{"retrieve", "gw-1"}, "", 1, "at least one"},
      {{"-t", "0", "watch", "gw-1"}, "", 1, "bad timeout"},
      {{"schedule", "remove", "gw-1", "x"}, "", 1, "schedule create"},
      {{"frobnicate", "gw-1"}, "", 1, "unknown command"},
      {{"watch", "a/b"}, "", 1, "device id"},
      {{"watch", "gw-1"}, "ftp://x", 1, "unusable server URI"},
  };
  for (const auto& c : cases) {
    Outcome outcome = Run(c.words, c.uri);
    EXPECT_EQ(outcome.status, c.status) << c.words[0] << "\n" << outcome.err;
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
  }
}

TEST_F(GwctlTest, WatchPrintsEveryRecord) {
  kivtest::Process watch(Command({"-n", "2", "-t", "60", "watch", "gw-1"}));
  ASSERT_TRUE(watch.WaitForOutput("gw-1 is online", 30s, true)) << watch.Stderr();
  kiv::Data data(proxy.get());
  ASSERT_EQ(data.Create("first \"record\"", true).errorCode, 0);
  ASSERT_EQ(data.Create("second", true).errorCode, 0);
  EXPECT_EQ(watch.Wait(30s), 0) << watch.Stderr();
  std::string out = watch.Stdout();
  EXPECT_NE(out.find(R"({"m2m:cin":{"con":"first \"record\""}})"), std::string::npos) << out;
  EXPECT_NE(out.find(R"({"m2m:cin":{"con":"second"}})"), std::string::npos) << out;
}

}  // namespace
