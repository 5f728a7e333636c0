// kiv::Proxy and kiv::Data against a real mosquitto, with a test client
// playing the platform.
#include "kiv/MqttClient.h"
#include "kiv/Proxy.h"

#include "PlatformClient.h"

#include "Descriptors.h"
#include "Gatewayd.h"
#include "LogCapture.h"
#include "ProxyRecorder.h"
#include "TestBroker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kiv::mqtt::Message;
using kivtest::ParseJson;

using Recorder = kivtest::ProxyRecorder;

// The platform's side: the shared platform client, listening to one filter.
class Platform {
public:
  Platform(const std::string& uri, const std::string& filter) : platform_(Options(uri)) {
    EXPECT_EQ(platform_.Connect(10s), 0);
    EXPECT_EQ(platform_.Subscribe(filter), 0);
  }
  static kiv::platform::Platform::Options Options(const std::string& uri) {
    kiv::platform::Platform::Options options;
    options.serverUri = uri;
    options.answerAsRegistrar = true;
    return options;
  }
  void Send(const std::string& topic, const std::string& payload) {
    ASSERT_EQ(platform_.client().PublishAndWait(topic, payload, 1, false, 10s), 0);
  }
  std::vector<Message> WaitFor(size_t count) {
    platform_.inbox().WaitFor(count);
    return platform_.inbox().Messages();
  }
  kiv::platform::Platform& platform() { return platform_; }

private:
  kiv::platform::Platform platform_;
};

class ProxyTest : public ::testing::Test {
protected:
  void SetUp() override {
    MakeProxy();
    // Like the gateway: retrieves that find something are answered, the rest
    // is left to the SDK; a content of type 99 makes the handler throw.
    recorder.onRequest = [this](const Recorder::Request& r) {
      if (r.op == kiv::kOperationRetrieve && !r.targets.empty()) {
        proxy->Response(r.rqi, "{ \"n\": 1 }\n", 15, true, nullptr);
      }
      if (!r.contents.empty() && r.contents[0].first == 99) throw std::runtime_error("boom");
    };
  }
  // A new proxy of the device in place of the last one (which stops).
  void MakeProxy() {
    proxy.reset();
    kiv::ProxyInfo info(kiv::kConnectionMqtt, "key", "token", broker.uri());
    info.SetDeviceId(kDevice);
    info.SetServiceEnabled(true);
    proxy = std::make_unique<kiv::Proxy>(info);
    proxy->SetCallback(recorder);
  }
  void ConnectProxy() {
    ASSERT_EQ(proxy->Connect(10, false, nullptr), "");
    ASSERT_TRUE(proxy->IsConnected());
  }
  const std::string kDevice = "gw-0001";
  const std::string kRequests = "/oneM2M/req/console/gw-0001/json";
  kivtest::TestBroker broker;
  Recorder recorder;
  std::unique_ptr<kiv::Proxy> proxy;
};

TEST_F(ProxyTest, ConnectsAndAnnouncesItsStatus) {
  Platform platform(broker.uri(), "/kiv/status/" + kDevice);
  EXPECT_FALSE(proxy->IsConnected());
  ConnectProxy();
  EXPECT_TRUE(kivtest::WaitUntil([&] { return recorder.connected == 1; }));
  auto messages = platform.WaitFor(1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].payload, "online");

  proxy->Disconnect();
  EXPECT_FALSE(proxy->IsConnected());
  messages = platform.WaitFor(2);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].payload, "offline");
  EXPECT_EQ(recorder.lost.load(), 0) << "a disconnection asked for is not a loss";
}

TEST_F(ProxyTest, LastWillSaysOfflineWhenTheConnectionBreaks) {
  Platform platform(broker.uri(), "/kiv/status/" + kDevice);
  auto platformSockets = kivtest::SocketsTo(broker.port());
  ConnectProxy();
  ASSERT_EQ(platform.WaitFor(1).size(), 1u);
  ASSERT_EQ(kivtest::ShutdownSocketsTo(broker.port(), platformSockets), 1);
  auto messages = platform.WaitFor(3);  // the will, then online again
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[1].payload, "offline");
  EXPECT_EQ(messages[2].payload, "online");
  EXPECT_TRUE(kivtest::WaitUntil([&] { return recorder.lost == 1 && recorder.connected == 2; }));
  EXPECT_TRUE(proxy->IsConnected());
}

TEST_F(ProxyTest, RecordsCarryTheTextByteForByteToTheRegistrar) {
  Platform platform(broker.uri(), "/oneM2M/req/" + kDevice + "/+/json");
  ConnectProxy();
  kiv::Data data(proxy.get());
  const std::string texts[] = {
      "{\"node\":1,\"t\":21.5}\n",
      std::string("quote\" backslash\\ slash/ tab\t cr\r nl\n ctl\x01\x1f del\x7f", 43),
      "unicode \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 %s %d %%",
      "",
  };
  for (const auto& text : texts) {
    EXPECT_EQ(data.Create(text, true).errorCode, 0);
    EXPECT_EQ(data.NotifyCreating(text, kiv::kNotificationCreateChild), kiv::kNotificationNotSent);
  }
  ASSERT_TRUE(kivtest::WaitUntil([&] { return platform.platform().Records(kDevice).size() == 4; }));
  auto records = platform.platform().Records(kDevice);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(records[i].text, texts[i]);
    EXPECT_EQ(records[i].to, "/id-in/cse-in/" + kDevice + "/data");
  }
  for (const Message& message : platform.WaitFor(5)) {
    Json::Value primitive = ParseJson(message.payload);
    EXPECT_EQ(message.topic, "/oneM2M/req/" + kDevice + "/id-in/json");
    EXPECT_EQ(primitive["rvi"], "3") << message.payload;
    EXPECT_EQ(primitive["fr"], "/" + kDevice) << message.payload;
  }
}

// A record produced is kept whatever the connection's state: taken before
// the first connection, delivered in order once registered. That records
// wait, and that they went, is in the default log (errors only) too.
TEST_F(ProxyTest, RecordsProducedWhileNotConnectedAreKeptAndDelivered) {
  kivtest::LogCapture log(kiv::kLogFatal | kiv::kLogCritical | kiv::kLogError);
  kiv::Data data(proxy.get());
  const std::vector<std::string> texts = {"early 1", "early 2", "early 3"};
  for (const std::string& text : texts) {
    auto result = data.Create(text, false);
    EXPECT_EQ(result.errorCode, 0) << result.message;
    EXPECT_FALSE(result.requestId.empty());
  }
  Platform platform(broker.uri(), "/oneM2M/req/" + kDevice + "/+/json");
  ConnectProxy();
  ASSERT_TRUE(kivtest::WaitUntil([&] { return platform.platform().Records(kDevice).size() >= 3; }));
  std::vector<kiv::platform::Record> records = platform.platform().Records(kDevice);
  ASSERT_EQ(records.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(records[i].text, texts[i]);
  auto logged = [&](const std::string& text) {
    for (const std::string& line : log.Messages("Registration")) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  };
  EXPECT_TRUE(logged(": 1 record waiting for the platform"));
  EXPECT_TRUE(kivtest::WaitUntil([&] { return logged(": delivered 3 records held during the outage"); }));
}

// Who answers what: the gateway (a retrieve that found something), the SDK on
// its behalf (what the gateway took without answering, or failed on), or the
// SDK itself (its own resources, refusals). How requests are mapped is
// ProtocolTest's.
TEST_F(ProxyTest, RequestsAreAnsweredByTheGatewayOrTheSdk) {
  Platform platform(broker.uri(), "/oneM2M/resp/console/" + kDevice + "/json");
  ConnectProxy();
  struct Case {
    std::string payload;
    int rsc;               // of the answer the platform gets; 0: none
    bool reachesGateway;
    std::string resource;  // what pc holds ("" for none)
  } cases[] = {
      {R"({"rqi":"r1","op":2,"fc":{"ty":[1007,14]}})", 2000, true, "n"},
      {R"({"rqi":"r2","op":3,"pc":[{"ty":12,"con":{"execReqArgs":{}}}]})", 2004, true, ""},
      {R"({"rqi":"r3","op":1,"ty":18,"pc":{"m2m:sch":{"se":{"sce":["* 0 *"]}}}})", 2001, true, ""},
      {R"({"rqi":"r4","op":4,"to":"/gw-0001/gateway/s1"})", 2002, true, ""},
      {R"({"rqi":"r5","op":5,"fr":"console"})", 2000, true, ""},
      {R"({"rqi":"r6","op":2})", 0, true, ""},
      {R"({"rqi":"r7","op":3,"pc":[{"ty":99,"con":0}]})", 5000, false, "m2m:dbg"},
      {R"({"rqi":"r8","op":2,"to":"id-in","rvi":"3"})", 2000, false, "m2m:csr"},
      {R"({"rqi":"r9","op":2,"to":"/gw-0001/gateway"})", 2000, false, "m2m:cb"},
      {R"({"rqi":"r10","op":4,"to":"/gw-0001/gateway"})", 4005, false, "m2m:dbg"},
  };
  for (const auto& c : cases) platform.Send(kRequests, c.payload);
  size_t answered =
      std::count_if(std::begin(cases), std::end(cases), [](const auto& c) { return c.rsc != 0; });
  auto replies = platform.WaitFor(answered);
  ASSERT_EQ(replies.size(), answered);
  std::vector<std::string> reached;
  for (const auto& request : recorder.Get(recorder.requests)) reached.push_back(request.rqi);
  size_t nextReply = 0;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    std::string rqi = "r" + std::to_string(i + 1);
    bool reached_ = std::find(reached.begin(), reached.end(), rqi) != reached.end();
    // The throwing handler is reached, but records nothing.
    EXPECT_EQ(reached_, c.reachesGateway) << c.payload;
    if (c.rsc == 0) continue;  // a retrieve that found nothing stays unanswered
    Json::Value reply = ParseJson(replies[nextReply++].payload);
    EXPECT_EQ(reply["rqi"], rqi);
    EXPECT_EQ(reply["rsc"], c.rsc) << c.payload;
    EXPECT_EQ(reply["rvi"], "3");
    EXPECT_EQ(reply["fr"], "/" + kDevice);
    EXPECT_EQ(reply["to"], "console");
    EXPECT_EQ(reply.isMember("pc"), !c.resource.empty()) << c.payload;
    if (!c.resource.empty()) {
      EXPECT_TRUE(reply["pc"].isMember(c.resource)) << c.payload;
    }
  }
  // Refused, hence also passed on raw (just after its answer went out).
  EXPECT_TRUE(kivtest::WaitUntil([&] { return !recorder.Get(recorder.messages).empty(); }));
  EXPECT_EQ(recorder.Get(recorder.messages), std::vector<std::string>{cases[9].payload});
}

TEST_F(ProxyTest, BadRequestsAreAnsweredAndPassedOnRaw) {
  Platform platform(broker.uri(), "/oneM2M/resp/console/" + kDevice + "/json");
  ConnectProxy();
  struct Case {
    std::string payload;
    std::string answeredRqi;  // empty: no request id to answer
  } cases[] = {
      {"not json", ""},
      {std::string("\x00\xff{\"rqi\":", 9), ""},
      {"[1,2]", ""},
      {R"({"op":2})", ""},
      {R"({"rqi":7,"op":2})", ""},
      {R"({"rqi":"b1"})", "b1"},
      {R"({"rqi":"b2","op":9})", "b2"},
      {R"({"rqi":"b3","op":"2"})", "b3"},
      {R"({"rqi":"b4","op":2,"fc":{"ty":["x"]}})", "b4"},
      {R"({"rqi":"b5","op":3,"pc":[{"con":1}]})", "b5"},
      {R"({"rqi":"b6","op":2} trailing)", ""},
      {R"({"rqi":"","op":2})", ""},
      {R"({"rqi":"b7","op":2.5})", "b7"},
      {std::string(5000, '[') + std::string(5000, ']'), ""},
  };
  for (const auto& c : cases) platform.Send(kRequests, c.payload);
  ASSERT_TRUE(kivtest::WaitUntil(
      [&] { return recorder.Get(recorder.messages).size() == std::size(cases); }));
  auto messages = recorder.Get(recorder.messages);
  auto replies = platform.WaitFor(6);
  ASSERT_EQ(replies.size(), 6u);
  size_t reply = 0;
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(messages[i], cases[i].payload);
    if (cases[i].answeredRqi.empty()) continue;
    Json::Value answer = ParseJson(replies[reply++].payload);
    EXPECT_EQ(answer["rqi"], cases[i].answeredRqi);
    EXPECT_EQ(answer["rsc"], 4000);
    EXPECT_TRUE(answer["pc"]["m2m:dbg"].isString()) << answer;
  }
  EXPECT_TRUE(recorder.Get(recorder.requests).empty());
  // Still serving after the garbage.
  platform.Send(kRequests, R"({"rqi":"ok","op":2,"fc":{"ty":[14]}})");
  EXPECT_EQ(platform.WaitFor(7).size(), 7u);
}

// A request past the bound arrives cut (past the record queue's bound too,
// which only the registrar's answers may reach); its refusal names its
// whole size.
TEST_F(ProxyTest, ARequestPastTheBoundIsRefusedWithItsWholeSize) {
  Platform platform(broker.uri(), "/oneM2M/resp/console/" + kDevice + "/json");
  ConnectProxy();
  const size_t size = 2 << 20;
  std::string payload = R"({"rqi":"huge","op":3,"pc":{"con":")";
  payload.append(size - payload.size() - 3, 'h').append("\"}}");
  platform.Send(kRequests, payload);
  auto replies = platform.WaitFor(1);
  ASSERT_EQ(replies.size(), 1u);
  Json::Value answer = ParseJson(replies[0].payload);
  EXPECT_EQ(answer["rqi"], "huge");
  EXPECT_EQ(answer["rsc"], 4000);
  EXPECT_EQ(answer["pc"]["m2m:dbg"], "the request has 2097152 bytes, more than the limit of 65536");
}

TEST_F(ProxyTest, RetainedRequestsAreNotReplayed) {
  {
    kiv::platform::Platform stale(Platform::Options(broker.uri()));
    ASSERT_EQ(stale.Connect(10s), 0);
    ASSERT_EQ(stale.client().PublishAndWait(kRequests, R"({"rqi":"old","op":3})", 1, true, 10s), 0);
  }
  ConnectProxy();
  ASSERT_TRUE(kivtest::WaitUntil([&] { return recorder.Get(recorder.messages).size() == 1; }));
  EXPECT_EQ(recorder.Get(recorder.messages)[0], R"({"rqi":"old","op":3})");
  EXPECT_TRUE(recorder.Get(recorder.requests).empty());
}

// With an allow-list, the registrar and the listed patterns reach the
// gateway; anyone else is answered 4103 and logged at most once a minute.
TEST_F(ProxyTest, OnlyAllowedOriginatorsReachTheGateway) {
  Platform platform(broker.uri(), "/oneM2M/resp/+/" + kDevice + "/json");
  kivtest::ScopedEnvironment allowList({{"KIV_ALLOWED_ORIGINATORS", std::string("gwctl-*, C*")}});
  kiv::ProxyInfo info(kiv::kConnectionMqtt, "key", "token", broker.uri());
  info.SetDeviceId(kDevice);
  proxy = std::make_unique<kiv::Proxy>(info);
  proxy->SetCallback(recorder);
  kivtest::LogCapture log;
  ConnectProxy();
  struct Case {
    std::string originator;
    bool allowed;
  } cases[] = {
      {"id-in", true},  {"gwctl-42-ab12", true}, {"gwctl-", true},  {"CAdmin", true},
      {"console", false}, {"gwctl", false},     {"Gwctl-1", false}, {"xgwctl-1", false},
      {"id-in2", false},
  };
  for (const auto& c : cases) {
    platform.Send("/oneM2M/req/" + c.originator + "/" + kDevice + "/json",
                  R"({"rqi":")" + c.originator + R"(","op":5})");
  }
  auto replies = platform.WaitFor(std::size(cases));
  ASSERT_EQ(replies.size(), std::size(cases));
  std::map<std::string, int> statusOf;
  for (const auto& reply : replies) {
    Json::Value answer = ParseJson(reply.payload);
    statusOf[answer["rqi"].asString()] = answer["rsc"].asInt();
  }
  std::set<std::string> reached;
  for (const auto& request : recorder.Get(recorder.requests)) reached.insert(request.rqi);
  for (const auto& c : cases) {
    EXPECT_EQ(statusOf[c.originator], c.allowed ? 2000 : 4103) << c.originator;
    EXPECT_EQ(reached.count(c.originator), c.allowed ? 1u : 0u) << c.originator;
  }
  EXPECT_TRUE(recorder.Get(recorder.messages).empty());
  // The first refusal is logged; the others of the same minute are counted.
  std::vector<std::string> lines = log.Messages("RequestArrived");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "request refused (4103): not an allowed originator: console");
}

// A setting that would silently let everyone in, or put records where no
// one looks, stops the connection with a line naming it.
TEST_F(ProxyTest, SettingsThatWouldMisleadStopTheConnection) {
  struct Case {
    const char* variable;
    const char* value;
  } cases[] = {
      {"KIV_ALLOWED_ORIGINATORS", ""},
      {"KIV_ALLOWED_ORIGINATORS", " , "},
      {"KIV_RECORDS_PLACEMENT", "AE"},
  };
  for (const Case& c : cases) {
    kivtest::ScopedEnvironment setting({{c.variable, std::string(c.value)}});
    kiv::ProxyInfo info(kiv::kConnectionMqtt, "key", "token", broker.uri());
    info.SetDeviceId(kDevice);
    kiv::Proxy refused(info);
    std::string error = refused.Connect(5, false, nullptr);
    EXPECT_NE(error.find(c.variable), std::string::npos) << "\"" << c.value << "\": " << error;
    EXPECT_FALSE(refused.IsConnected());
  }
}

TEST_F(ProxyTest, ResponsesToRecordsReachResponseArrived) {
  Platform platform(broker.uri(), "unused/#");
  ConnectProxy();
  // Only the registrar's answers count: another client's never do.
  platform.Send("/oneM2M/resp/" + kDevice + "/intruder/json", R"({"rqi":"x0","rsc":2001})");
  platform.Send("/oneM2M/resp/" + kDevice + "/id-in/json", R"({"rqi":"x1","rsc":2001})");
  platform.Send("/oneM2M/resp/" + kDevice + "/id-in/json", "garbage");
  ASSERT_TRUE(kivtest::WaitUntil([&] { return recorder.Get(recorder.messages).size() == 1; }));
  EXPECT_EQ(recorder.Get(recorder.responses), std::vector<std::string>{"x1 2001"});
  EXPECT_EQ(recorder.Get(recorder.messages)[0], "garbage");
}

TEST_F(ProxyTest, ResponseRefusesUnknownRequestsAndStatuses) {
  ConnectProxy();
  auto unknown = proxy->Response("never-seen", "{}", 15, true, nullptr);
  EXPECT_LT(unknown.errorCode, 0);
  EXPECT_EQ(unknown.requestId, "never-seen");
  EXPECT_FALSE(unknown.message.empty());

  std::atomic<int> failures{0};
  struct Cb : kiv::Proxy::ResultCb {
    explicit Cb(std::atomic<int>& n) : count(n) {}
    void OnFailure(const std::string&, int) override { ++count; }
    std::atomic<int>& count;
  } cb(failures);
  recorder.onRequest = [&](const Recorder::Request& r) {
    proxy->Response(r.rqi, "x", 99, true, &cb);         // no such status
    proxy->Response(r.rqi, "late", 15, true, nullptr);  // answered
    proxy->Response(r.rqi, "again", 15, true, &cb);     // already answered
  };
  Platform platform(broker.uri(), "/oneM2M/resp/console/" + kDevice + "/json");
  platform.Send(kRequests, R"({"rqi":"q","op":2,"fc":{"ty":[14]}})");
  auto replies = platform.WaitFor(1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(ParseJson(replies[0].payload)["pc"], "late");
  // The handler's last call may still run when the answer arrives.
  EXPECT_TRUE(kivtest::WaitUntil([&] { return failures.load() == 2; }));
}

// The proxy remembers up to 1024 unanswered requests. An id answered once and
// then reused must be remembered once only: a stale second place in the
// eviction order would drop the live request before its turn.
TEST_F(ProxyTest, AnIdReusedAfterItsAnswerStaysAnswerable) {
  Platform platform(broker.uri(), "/oneM2M/resp/console/" + kDevice + "/json");
  ConnectProxy();
  platform.Send(kRequests, R"({"rqi":"reused","op":2,"fc":{"ty":[14]}})");  // answered at once
  ASSERT_EQ(platform.WaitFor(1).size(), 1u);
  // Retrieves without targets stay unanswered and fill the memory up to its bound.
  platform.Send(kRequests, R"({"rqi":"reused","op":2})");
  const size_t kFillers = 1023;
  for (size_t i = 0; i < kFillers; ++i) {
    platform.Send(kRequests, R"({"rqi":"filler)" + std::to_string(i) + R"(","op":2})");
  }
  ASSERT_TRUE(kivtest::WaitUntil(
      [&] { return recorder.Get(recorder.requests).size() == kFillers + 2; }, 60s));
  EXPECT_EQ(proxy->Response("reused", "{}", 15, true, nullptr).errorCode, 0);
  EXPECT_EQ(proxy->Response("filler0", "{}", 15, true, nullptr).errorCode, 0);
}

// The gateway answers from a thread of its own while the SDK answers for it
// once RequestArrived returned: whichever comes first answers, the other
// finds nothing, in every round.
TEST_F(ProxyTest, ARequestAnsweredFromTwoThreadsAtOnceGetsOneAnswer) {
  Platform platform(broker.uri(), "/oneM2M/resp/console/" + kDevice + "/json");
  ConnectProxy();
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<std::string> toAnswer;
  // Returns once the gateway's thread took the id, so that both answers
  // start together; or after a moment, as the gateway's thread may wait for
  // the MQTT library, which waits for this handler.
  recorder.onRequest = [&](const Recorder::Request& r) {
    std::unique_lock<std::mutex> lock(mutex);
    toAnswer.push_back(r.rqi);
    arrived.notify_all();
    arrived.wait_for(lock, 5ms, [&] { return toAnswer.empty(); });
  };
  const int kRounds = 400;
  std::atomic<int> gatewayAnswers{0};
  std::thread gateway([&] {
    for (int answered = 0; answered < kRounds; ++answered) {
      std::unique_lock<std::mutex> lock(mutex);
      arrived.wait(lock, [&] { return !toAnswer.empty(); });
      std::string rqi = toAnswer.front();
      toAnswer.pop_front();
      arrived.notify_all();
      lock.unlock();
      if (proxy->Response(rqi, "{}", 15, true, nullptr).errorCode == 0) ++gatewayAnswers;
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    platform.Send(kRequests, R"({"rqi":"n)" + std::to_string(round) + R"(","op":5})");
  }
  gateway.join();
  // Answered after all the others: a second answer to any of them would
  // have come before this one's.
  recorder.onRequest = nullptr;
  platform.Send(kRequests, R"({"rqi":"last","op":5})");
  std::map<std::string, int> answers;
  for (const Message& reply : platform.WaitFor(kRounds + 1)) {
    ++answers[ParseJson(reply.payload)["rqi"].asString()];
  }
  ASSERT_EQ(answers.count("last"), 1u);
  EXPECT_EQ(answers.size(), static_cast<size_t>(kRounds + 1));
  for (const auto& [rqi, count] : answers) EXPECT_EQ(count, 1) << rqi;
  RecordProperty("rounds", kRounds);
  RecordProperty("answered_by_the_gateway", gatewayAnswers.load());
}

// A request id is unique per originator only: the same id from two
// originators is two requests, each answered to its own originator.
TEST_F(ProxyTest, OneRequestIdFromTwoOriginatorsIsTwoRequests) {
  Platform platform(broker.uri(), "/oneM2M/resp/+/" + kDevice + "/json");
  ConnectProxy();
  const std::string alice = "/oneM2M/req/alice/" + kDevice + "/json";
  const std::string bob = "/oneM2M/req/bob/" + kDevice + "/json";
  platform.Send(alice, R"({"rqi":"same","op":2})");  // no target: left waiting
  ASSERT_TRUE(kivtest::WaitUntil([&] { return recorder.Get(recorder.requests).size() == 1; }));
  platform.Send(bob, R"({"rqi":"same","op":2,"fc":{"ty":[14]}})");  // answered in RequestArrived
  auto replies = platform.WaitFor(1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].topic, "/oneM2M/resp/bob/" + kDevice + "/json");

  EXPECT_EQ(proxy->Response("same", "{}", 15, true, nullptr).errorCode, 0);
  replies = platform.WaitFor(2);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[1].topic, "/oneM2M/resp/alice/" + kDevice + "/json");
  EXPECT_EQ(ParseJson(replies[1].payload)["to"], "alice");
  EXPECT_EQ(proxy->Response("same", "{}", 15, true, nullptr).errorCode, kiv::mqtt::kErrorInvalid);
}

TEST_F(ProxyTest, ReconnectsByItselfAndServesAgain) {
  ConnectProxy();
  for (int round = 1; round <= 2; ++round) {
    broker.Stop();
    ASSERT_TRUE(kivtest::WaitUntil([&] { return !proxy->IsConnected(); }));
    EXPECT_TRUE(kivtest::WaitUntil([&] { return recorder.lost == round; }));
    broker.Start();
    ASSERT_TRUE(kivtest::WaitUntil([&] { return proxy->IsConnected(); }, 60s));
    EXPECT_TRUE(kivtest::WaitUntil([&] { return recorder.connected == round + 1; }));
    Platform platform(broker.uri(), "/oneM2M/resp/console/" + kDevice + "/json");
    platform.Send(kRequests, R"({"rqi":"again","op":2,"fc":{"ty":[14]}})");
    EXPECT_EQ(platform.WaitFor(1).size(), 1u);
  }
}

// Requests the broker kept for the gateway's session while it was away
// arrive right after it connects again, and are answered.
TEST_F(ProxyTest, RequestsKeptForTheSessionAreAnsweredWhenItIsBack) {
  ConnectProxy();  // a persistent session: its subscriptions stay at the broker
  MakeProxy();     // the first proxy stops; the broker keeps what comes for it
  Platform platform(broker.uri(), "/oneM2M/resp/console/" + kDevice + "/json");
  for (int i = 1; i <= 3; ++i) {
    platform.Send(kRequests, R"({"rqi":"kept)" + std::to_string(i) + R"(","op":2,"fc":{"ty":[1007]}})");
  }
  ConnectProxy();
  auto replies = platform.WaitFor(3);
  ASSERT_EQ(replies.size(), 3u);
  std::set<std::string> answered;  // the broker may hand them over in any order
  for (const Message& message : replies) {
    Json::Value reply = ParseJson(message.payload);
    EXPECT_EQ(reply["rsc"], 2000);
    answered.insert(reply["rqi"].asString());
  }
  EXPECT_EQ(answered, (std::set<std::string>{"kept1", "kept2", "kept3"}));
}

// Once Disconnect returned, no callback runs or will run: the gateway may
// free its receiver, even while requests keep coming.
TEST_F(ProxyTest, NoCallbackRunsAfterDisconnectReturned) {
  std::atomic<bool> stopped{false};
  std::atomic<int> late{0};
  recorder.onRequest = [&](const Recorder::Request&) {
    if (stopped) ++late;
    std::this_thread::sleep_for(2ms);  // a handler that takes a moment widens the window
  };
  ConnectProxy();
  Platform platform(broker.uri(), "/oneM2M/resp/console/" + kDevice + "/json");
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    for (int i = 0; flooding; ++i) {
      platform.platform().client().Publish(kRequests, R"({"rqi":"f)" + std::to_string(i) + R"(","op":5})", 1, false);
      std::this_thread::sleep_for(1ms);
    }
  });
  ASSERT_TRUE(kivtest::WaitUntil([&] { return recorder.Get(recorder.requests).size() >= 20; }));
  proxy->Disconnect();
  stopped = true;
  std::this_thread::sleep_for(200ms);  // requests still arriving must find no receiver
  flooding = false;
  flood.join();
  EXPECT_EQ(late, 0);
}

// Two gateways with one id take the connection from each other: the log
// says so once, naming the likely cause, and both back off.
TEST_F(ProxyTest, ASecondClientWithTheSameIdIsNamedInTheLog) {
  kivtest::LogCapture log;
  ConnectProxy();
  kiv::ProxyInfo info(kiv::kConnectionMqtt, "key", "token", broker.uri());
  info.SetDeviceId(kDevice);
  kiv::Proxy twin(info);
  ASSERT_EQ(twin.Connect(10, false, nullptr), "");
  auto named = [&] {
    for (const std::string& line : log.Messages("ConnectionLost")) {
      if (line.find("another client uses the client id \"" + kDevice + "\"") != std::string::npos) return true;
    }
    return false;
  };
  EXPECT_TRUE(kivtest::WaitUntil(named, 60s));
  twin.Disconnect();
}

// Records the SDK took just before the broker went away, unanswered then,
// stay queued until the registrar has them: after the broker is back each
// arrives, once.
TEST_F(ProxyTest, RecordsTakenBeforeTheBrokerWentAreDeliveredOnceWhenItIsBack) {
  kiv::Data data(proxy.get());
  {
    Platform registrar(broker.uri(), "/oneM2M/req/" + kDevice + "/+/json");
    ConnectProxy();
    ASSERT_EQ(data.Create("stored", true).errorCode, 0);
  }  // nothing answers records now
  const std::vector<std::string> taken = {"queued 1", "queued 2", "queued 3"};
  for (const std::string& text : taken) ASSERT_EQ(data.Create(text, false).errorCode, 0);
  broker.Stop();
  ASSERT_TRUE(kivtest::WaitUntil([&] { return !proxy->IsConnected(); }));
  broker.Start();
  Platform platform(broker.uri(), "/oneM2M/req/" + kDevice + "/+/json");
  auto texts = [&] {
    std::multiset<std::string> all;
    for (const auto& record : platform.platform().Records(kDevice)) all.insert(record.text);
    return all;
  };
  // Within a registration retry should the gateway be back before the registrar.
  EXPECT_TRUE(kivtest::WaitUntil([&] { return texts().count(taken.back()) == 1; }, 60s));
  for (const std::string& text : taken) EXPECT_EQ(texts().count(text), 1u) << text;
}

// Records the registrar has not stored when the proxy stops are kept in the
// state folder, and the next proxy of the device delivers them first, under
// their own names (one stored meanwhile would be refused as a duplicate).
TEST_F(ProxyTest, RecordsNotStoredAtAStopAreDeliveredAfterTheNextStart) {
  kivtest::TempDir state;
  kivtest::ScopedEnvironment environment({{"STATE_DIRECTORY", state.path()}});
  MakeProxy();
  ConnectProxy();  // no registrar on the broker: the records wait
  kiv::Data(proxy.get()).Create("kept 1", false);
  kiv::Data(proxy.get()).Create("kept 2", false);
  proxy.reset();
  ASSERT_TRUE(std::filesystem::exists(state.File("records.journal")));

  Platform platform(broker.uri(), "/oneM2M/req/" + kDevice + "/+/json");
  MakeProxy();
  ConnectProxy();
  ASSERT_TRUE(kivtest::WaitUntil([&] { return platform.platform().Records(kDevice).size() >= 2; }));
  std::vector<kiv::platform::Record> records = platform.platform().Records(kDevice);
  EXPECT_EQ(records[0].text, "kept 1");
  EXPECT_EQ(records[1].text, "kept 2");
  // Gone once the gateway heard the last answer (a moment after the platform saw it).
  EXPECT_TRUE(kivtest::WaitUntil([&] { return !std::filesystem::exists(state.File("records.journal")); }));
}

TEST_F(ProxyTest, LogConfigChoosesTheTraceShown) {
  struct Case {
    int trace, mask, paho;
    bool sdkTrace, pahoTrace;
  } cases[] = {{3, 31, 1, true, true}, {0, 7, 0, false, false}, {1, 7, 0, true, false}};
  for (const auto& c : cases) {
    kivtest::LogCapture log(c.mask, c.trace, c.paho);
    {
      kiv::ProxyInfo info(kiv::kConnectionMqtt, "key", "token", broker.uri());
      kiv::Proxy traced(info);
      ASSERT_EQ(traced.Connect(10, false, nullptr), "");
      traced.Disconnect();
    }
    std::set<std::string> tags;
    for (const kiv::LogRecord& r : log.Records()) {
      if (r.level >= 0) tags.insert(r.tag);
    }
    EXPECT_EQ(tags.count("mqtt") + tags.count("sdk") > 0, c.sdkTrace) << c.trace;
    EXPECT_EQ(tags.count("paho") > 0, c.pahoTrace) << c.paho;
  }
}

TEST(ProxyConnectTest, SignsInWithDeviceIdAndTokenUnlessToldOtherwise) {
  kivtest::TestBroker broker;
  broker.RequirePasswords({{"gw-7", "token-7"}, {"operator", "op-pass"}});
  struct Case {
    std::string token, user, password;
    bool connects;
  } cases[] = {
      {"token-7", "", "", true},  // device id and token
      {"wrong", "", "", false},           {"wrong", "operator", "op-pass", true},
      {"token-7", "operator", "", false},  // operator with the token as password
      {"token-7", "", "op-pass", false},   // device id with another password
  };
  for (const auto& c : cases) {
    kiv::ProxyInfo info(kiv::kConnectionMqtt, "device-key", c.token, broker.uri());
    info.SetDeviceId("gw-7");
    if (!c.user.empty()) info.SetUsername(c.user);
    if (!c.password.empty()) info.SetPassword(c.password);
    kiv::Proxy proxy(info);
    auto start = std::chrono::steady_clock::now();
    std::string error = proxy.Connect(10, false, nullptr);
    std::string what = c.token + "/" + c.user + "/" + c.password;
    EXPECT_EQ(error.empty(), c.connects) << what << ": " << error;
    if (!c.connects) {
      EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms) << what;
      EXPECT_NE(error.find("refused"), std::string::npos) << error;
    }
    proxy.Disconnect();
  }
}

// A setting that can never connect is said once, not at every call of the
// gateway's loop (once a minute, RepeatedLine's test shows).
TEST(ProxyConnectTest, AnUnusableSettingIsLoggedOnceForRepeatedConnects) {
  const std::string devices[] = {"gw-ok", "gw/with/slashes"};
  const std::string uris[] = {"not a uri", "tcp://127.0.0.1:1883"};
  for (int i = 0; i < 2; ++i) {
    kivtest::LogCapture log;
    kiv::ProxyInfo info(kiv::kConnectionMqtt, "k", "t", uris[i]);
    info.SetDeviceId(devices[i]);
    kiv::Proxy proxy(info);
    std::string reason = proxy.Connect(10, false, nullptr);
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(proxy.Connect(10, false, nullptr), reason);
    EXPECT_EQ(log.Messages("Connect"), std::vector<std::string>{reason}) << uris[i];
  }
}

TEST(ProxyConnectTest, FailuresTakeTheirTimeAndNeverCrash) {
  struct Case {
    std::string uri;
    int timeout;
    std::chrono::milliseconds atLeast;
  } cases[] = {
      {"tcp://127.0.0.1:" + std::to_string(kivtest::FreeLoopbackPort()), 2, 1900ms},
      {"not a uri", 10, 900ms},
      {"http://127.0.0.1:80", 10, 900ms},
  };
  for (const auto& c : cases) {
    kiv::ProxyInfo info(kiv::kConnectionMqtt, "k", "t", c.uri);
    kiv::Proxy proxy(info);
    auto start = std::chrono::steady_clock::now();
    std::string error = proxy.Connect(c.timeout, false, nullptr);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(error.empty()) << c.uri;
    EXPECT_GE(took, c.atLeast) << c.uri;
    EXPECT_LT(took, std::chrono::seconds(c.timeout + 5)) << c.uri;
    EXPECT_FALSE(proxy.IsConnected());
  }
}

// Two threads connect one proxy at once: one makes the client, both see the
// connection. Several proxies, for the race to have its chance.
TEST(ProxyConnectTest, TwoThreadsMayConnectAtOnce) {
  kivtest::TestBroker broker;
  for (int round = 0; round < 10; ++round) {
    kiv::ProxyInfo info(kiv::kConnectionMqtt, "k", "t", broker.uri());
    info.SetDeviceId("gw-twice-" + std::to_string(round));
    kiv::Proxy proxy(info);
    std::string errors[2];
    std::thread second([&] { errors[1] = proxy.Connect(10, false, nullptr); });
    errors[0] = proxy.Connect(10, false, nullptr);
    second.join();
    EXPECT_EQ(errors[0], "");
    EXPECT_EQ(errors[1], "");
    EXPECT_TRUE(proxy.IsConnected());
  }
}

// A stop disconnects from another thread while Connect waits for a broker
// that is away or never answers: Connect returns at once, and so does every
// later one. The bound is far below Connect's own 30 s.
TEST(ProxyConnectTest, DisconnectEndsAWaitingConnect) {
  int silentPort = 0;
  int silent = kivtest::LoopbackListener(&silentPort);  // accepts, never answers MQTT
  const std::string uris[] = {
      "tcp://127.0.0.1:" + std::to_string(kivtest::FreeLoopbackPort()),
      "tcp://127.0.0.1:" + std::to_string(silentPort),
  };
  for (const std::string& uri : uris) {
    kiv::ProxyInfo info(kiv::kConnectionMqtt, "k", "t", uri);
    kiv::Proxy proxy(info);
    std::string error;
    std::thread connecting([&] { error = proxy.Connect(30, false, nullptr); });
    if (uri.find(std::to_string(silentPort)) != std::string::npos) {
      // Connect waits for the answer to its MQTT CONNECT now.
      ASSERT_TRUE(kivtest::WaitUntil([&] { return !kivtest::SocketsTo(silentPort).empty(); }));
    }
    auto start = std::chrono::steady_clock::now();
    proxy.Disconnect();
    connecting.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << uri;
    EXPECT_FALSE(error.empty()) << uri;
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(proxy.Connect(30, false, nullptr), "disconnected") << uri;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << uri;
  }
  close(silent);
}

// A gateway without an identifier gets the SDK's: the same on every start
// where a state folder keeps it, a new one on each start without.
TEST(ProxyConnectTest, AGeneratedDeviceIdLastsWhereAStateFolderIs) {
  kivtest::TestBroker broker;
  Platform platform(broker.uri(), "/kiv/status/+");
  kivtest::TempDir state;
  struct Case {
    bool stateFolder;
    const char* written;  // into the folder's file before the start; nullptr: left as it is
    bool sameAsBefore;
  } cases[] = {
      {true, nullptr, false},  // the first start draws it
      {true, nullptr, true},   // the next one finds it
      {false, nullptr, false},
      {true, "not an id\n", false},  // replaced
      {true, nullptr, true},
  };
  std::string before;
  for (const Case& c : cases) {
    if (c.written != nullptr) kivtest::WriteFile(state.File("device-id"), c.written);
    kivtest::ScopedEnvironment env(
        {{"STATE_DIRECTORY", c.stateFolder ? std::optional<std::string>(state.path()) : std::nullopt}});
    size_t seen = platform.platform().inbox().Messages().size();
    {
      kiv::ProxyInfo info(kiv::kConnectionMqtt, "k", "t", broker.uri());
      kiv::Proxy proxy(info);
      ASSERT_EQ(proxy.Connect(10, false, nullptr), "");
      proxy.Disconnect();
    }
    auto messages = platform.WaitFor(seen + 2);  // online, offline
    ASSERT_EQ(messages.size(), seen + 2);
    std::string id = messages[seen].topic.substr(std::string("/kiv/status/").size());
    EXPECT_EQ(kivtest::RegexSearch(id, "^kiv-[0-9a-f]{12}$"), 0u) << id;
    EXPECT_EQ(id == before, c.sameAsBefore) << id;
    before = id;
  }
}

}  // namespace
