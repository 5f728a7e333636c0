// The platform console gwctl as a program, against a proxy in this process
// that plays the gateway: what reaches the gateway, what gwctl prints, and
// its exit status. ConsoleTest.cpp has its command line and requests.
#include "kiv/Proxy.h"

#include "ProxyRecorder.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace std::chrono_literals;

class GwctlTest : public ::testing::Test {
protected:
  void SetUp() override { StartGateway(); }
  // A gateway that answers retrieves of something with a fixed document.
  void StartGateway() {
    proxy.reset();
    kiv::ProxyInfo info(kiv::kConnectionMqtt, "key", "token", broker.uri());
    info.SetDeviceId("gw-1");
    proxy = std::make_unique<kiv::Proxy>(info);
    gateway.onRequest = [this](const kivtest::ProxyRecorder::Request& r) {
      if (r.op == kiv::kOperationRetrieve && !r.targets.empty()) {
        proxy->Response(r.rqi, "{\"primitiveContent\":{\"anyOrAny\":[{\"resourceType\":14}]}}", 15,
                        true, nullptr);
      }
    };
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
  kivtest::ProxyRecorder gateway;
  std::unique_ptr<kiv::Proxy> proxy;
};

TEST_F(GwctlTest, RequestsRoundTripThroughTheGatewayWithTheirExitStatus) {
  struct Case {
    std::vector<std::string> words;
    int status;
    std::string request;  // the Summary() of what RequestArrived got ("": nothing)
    std::string message;  // what MessageArrived got ("": nothing)
    std::string output;   // part of what gwctl printed on standard output
    std::string error;    // part of what it printed on standard error
  } cases[] = {
      {{"retrieve", "gw-1", "1007", "14"}, 0, "6 1007 14", "", "\"resourceType\":\t14", ""},
      {{"control", "gw-1", "5", "on", "{\"a\":[1]}", "-2"},
       0,
       R"(4 12:{"execReqArgs":{"all":[{"anyArg":[{"value":5},{"value":"on"},{"value":{"a":[1]}},{"value":-2}]}]}})",
       "",
       "",
       ""},
      {{"request", "gw-1", R"({"rqi":"bad1","op":9})"},
       4,
       "",
       R"({"rqi":"bad1","op":9})",
       "",
       "gwctl: gw-1 answered 4000"},
      {{"-t", "1", "retrieve", "nobody", "14"}, 3, "", "", "", "gwctl: no reply from nobody in 1 s"},
      {{"retrieve", "gw-1"}, 1, "", "", "", "\n\nusage: gwctl"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.words));
    size_t requests = gateway.Get(gateway.requests).size();
    size_t messages = gateway.Get(gateway.messages).size();
    kivtest::Process gwctl(Command(c.words));
    EXPECT_EQ(gwctl.Wait(60s), c.status) << gwctl.Stderr();
    EXPECT_NE(gwctl.Stdout().find(c.output), std::string::npos) << gwctl.Stdout();
    EXPECT_NE(gwctl.Stderr().find(c.error), std::string::npos) << gwctl.Stderr();
    // The proxy may record it after gwctl had its answer.
    kivtest::WaitUntil([&] {
      return gateway.Get(gateway.requests).size() > requests || gateway.Get(gateway.messages).size() > messages ||
             (c.request.empty() && c.message.empty());
    });
    std::vector<kivtest::ProxyRecorder::Request> got = gateway.Get(gateway.requests);
    EXPECT_EQ(got.size() > requests ? got.back().Summary() : "", c.request);
    std::vector<std::string> raw = gateway.Get(gateway.messages);
    EXPECT_EQ(raw.size() > messages ? raw.back() : "", c.message);
  }
}

TEST_F(GwctlTest, WatchPrintsEveryRecord) {
  kivtest::Process watch(Command({"-a", "-n", "2", "-t", "60", "watch", "gw-1"}));
  ASSERT_TRUE(watch.WaitForOutput("gw-1 is online", 30s, kivtest::Process::Stream::kErr)) << watch.Stderr();
  // A gateway that registers now that the console stands in for the registrar.
  StartGateway();
  kiv::Data data(proxy.get());
  ASSERT_EQ(data.Create("first \"record\"", true).errorCode, 0);
  ASSERT_EQ(data.Create("second", true).errorCode, 0);
  EXPECT_EQ(watch.Wait(30s), 0) << watch.Stderr();
  std::string out = watch.Stdout();
  EXPECT_NE(out.find(R"("con":"first \"record\""}})"), std::string::npos) << out;
  EXPECT_NE(out.find(R"("con":"second"}})"), std::string::npos) << out;
}

}  // namespace
