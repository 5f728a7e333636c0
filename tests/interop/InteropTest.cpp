// gatewayd against a real, independent oneM2M CSE on a private broker: it
// registers, its records are stored as content instances, the CSE forwards
// an application's requests to it, and the registration lives through the
// CSE's liveness checks and a restart of the CSE.
#include "CseFixture.h"
#include "Gatewayd.h"
#include "PlatformClient.h"
#include "Records.h"
#include "StandInCse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <set>
#include <thread>

namespace interop {
namespace {

using namespace std::chrono_literals;
using kivtest::Occurrences;
using kivtest::ParseJson;

const std::string kDevice = "02:00:5e:10:00:01";  // a MAC address, as on a board

class Interop : public kivtest::CseFixture {
protected:
  void TearDown() override {
    if (gateway_ && gateway_->Running()) {
      gateway_->Signal(SIGTERM);
      gateway_->Wait(kDeadline);
    }
    if (HasFailure() && gateway_) std::cerr << "gatewayd's log:\n" << gateway_->Stderr();
    CseFixture::TearDown();
  }

  // gatewayd in debug mode (its registration and the requests it serves are
  // logged), publishing every interval seconds.
  void StartGateway(const std::string& script, const std::string& interval) {
    kivtest::WriteNodeScript(folder_, script);
    gateway_ = kivtest::StartGatewayd(folder_, broker_->uri(), kDevice, {"-d", "on", "-i", interval});
  }
  bool WaitForLog(const std::string& text, size_t times = 1) {
    return gateway_->WaitForOutput(text, kDeadline, kivtest::Process::Stream::kErr, times);
  }

  kivtest::HttpResponse Http(const std::string& method, const std::string& target,
                             std::optional<std::string> body = std::nullopt) {
    kivtest::OneM2mHttpRequest request;
    request.method = method;
    request.target = target;
    request.body = std::move(body);
    return cse_->Request(request);
  }
  static std::string Rsc(const kivtest::HttpResponse& response) {
    return response.Header("X-M2M-RSC").value_or("none");
  }
  std::string Registration() const { return "/" + cse_->cseName() + "/" + kDevice; }

  // The records stored in the gateway's container, as the CSE lists them.
  std::vector<std::string> StoredRecords() { return cse_->Contents(Registration() + "/data"); }
  bool WaitForStoredRecords(size_t count, int upTo = 0) {
    auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (StoredRecords().size() < count || (upTo > 0 && !IsStored(upTo))) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(200ms);  // a poll of the CSE, not a wait for an event of ours
    }
    return true;
  }

  bool IsStored(int number) {
    std::vector<std::string> texts = StoredRecords();
    return std::find(texts.begin(), texts.end(), ExpectedRecord(number)) != texts.end();
  }
  // The number of the last record the node script produced.
  int Produced() const {
    int count = 0;
    std::sscanf(kivtest::ReadFile(folder_.File("count")).c_str(), "%d", &count);
    return count;
  }

  // Every answer to a record that reached the gateway, and every line the
  // gateway logged as an error.
  void ExpectNoErrorAnswers() {
    std::string log = gateway_->Stderr();
    EXPECT_EQ(interop::ErrorLines(log), 0u) << log;
    size_t answers = Occurrences(log, "ResponseArrived\nrequestId=");
    EXPECT_GT(answers, 0u);
    EXPECT_EQ(Occurrences(log, " ec=2001"), answers) << log;
  }

  kivtest::TempDir folder_;
  std::unique_ptr<kivtest::Process> gateway_;
};

TEST_F(Interop, RegistersAndStoresEveryRecordByteForByte) {
  StartGateway(kCounterScript, "1");
  ASSERT_TRUE(WaitForLog(kRegistered)) << gateway_->Stderr();
  kivtest::HttpResponse registration = Http("GET", Registration());
  ASSERT_EQ(Rsc(registration), "2000") << registration.body;
  Json::Value csr = ParseJson(registration.body)["m2m:csr"];
  EXPECT_EQ(csr["csi"], "/" + kDevice);
  EXPECT_EQ(csr["cb"], "/" + kDevice + "/gateway");
  EXPECT_EQ(csr["poa"][0], "mqtt://127.0.0.1:" + std::to_string(broker_->port()));
  EXPECT_TRUE(csr["rr"].asBool());

  ASSERT_TRUE(WaitForStoredRecords(3)) << gateway_->Stderr();
  std::set<int> numbers;
  for (const std::string& text : StoredRecords()) {
    int number = 0;
    ASSERT_EQ(sscanf(text.c_str(), "record %d", &number), 1) << text;
    EXPECT_EQ(text, ExpectedRecord(number));
    numbers.insert(number);
  }
  // Each cycle once, none missing from the first on.
  EXPECT_EQ(*numbers.begin(), 1);
  EXPECT_EQ(*numbers.rbegin(), static_cast<int>(numbers.size()));
  gateway_->Signal(SIGTERM);
  EXPECT_EQ(gateway_->Wait(kDeadline), 0);
  ExpectNoErrorAnswers();
}

TEST_F(Interop, ServesWhatTheCseForwardsAndSchedulesSentDirectly) {
  StartGateway("true\n", "60");
  ASSERT_TRUE(WaitForLog(kRegistered)) << gateway_->Stderr();
  const std::string base = "/~/" + kDevice + "/gateway";

  kivtest::HttpResponse retrieve = Http("GET", base + "?fu=1&ty=14&ty=1007&ty=1001");
  ASSERT_EQ(Rsc(retrieve), "2000") << retrieve.body;
  EXPECT_EQ(ParseJson(retrieve.body),
            kivtest::ReplyDocument({kivtest::kNode, kivtest::kDeviceInfo, kivtest::kFirmware}));
  kivtest::HttpResponse cseBase = Http("GET", base);
  ASSERT_EQ(Rsc(cseBase), "2000") << cseBase.body;
  EXPECT_EQ(ParseJson(cseBase.body)["m2m:cb"]["csi"], "/" + kDevice);

  kivtest::HttpResponse command =
      Http("PUT", base, R"({"m2m:mgc":{"exra":{"all":[{"anyArg":[{"value":"on"},{"value":5}]}]}}})");
  EXPECT_EQ(Rsc(command), "2004") << command.body;
  ASSERT_TRUE(gateway_->WaitForOutput("input =5\n", kDeadline)) << gateway_->Stdout();
  std::string out = gateway_->Stdout();
  EXPECT_LT(out.find("input =\"on\"\n"), out.find("input =5\n")) << out;

  // This CSE does not host schedules: they are sent to the gateway directly.
  kiv::platform::Platform::Options options;
  options.serverUri = broker_->uri();
  kiv::platform::Platform platform(options);
  ASSERT_EQ(platform.Connect(kDeadline), 0);
  std::optional<std::string> created = platform.Ask(
      kDevice, kiv::platform::ScheduleCreate(platform.HeaderFor(kDevice), "0 0 7 * * *"), kDeadline);
  ASSERT_TRUE(created);
  EXPECT_EQ(kiv::platform::ParseReply(*created)->rsc, 2001) << *created;
  EXPECT_TRUE(WaitForLog("RequestArrived: create new configuration = 0 0 7 * * *\n"));

  kivtest::HttpResponse deletion = Http("DELETE", base + "/morning");
  EXPECT_EQ(Rsc(deletion), "2002") << deletion.body;
  EXPECT_TRUE(WaitForLog("TODO - delete the config with name = morning")) << gateway_->Stderr();
  EXPECT_EQ(interop::ErrorLines(gateway_->Stderr()), 0u);
}

class InteropWithFrequentChecks : public Interop {
protected:
  InteropWithFrequentChecks() { checkIntervalSeconds_ = 2; }
};

TEST_F(InteropWithFrequentChecks, StaysRegisteredThroughChecksAndRegistersAgainAfterARestart) {
  StartGateway(kCounterScript, "1");
  ASSERT_TRUE(WaitForLog(kRegistered)) << gateway_->Stderr();
  // The CSE's liveness checks retrieve its own registration at the gateway.
  ASSERT_TRUE(WaitForLog("op 2 to \"id-in\" from id-in", 3)) << gateway_->Stderr();
  EXPECT_EQ(Rsc(Http("GET", Registration())), "2000") << "dropped after a check";

  cse_->Restart();
  ASSERT_TRUE(WaitForLog(kRegistered, 2)) << gateway_->Stderr();
  EXPECT_EQ(Rsc(Http("GET", Registration())), "2000");
  // What was held through the restart is delivered before the stop, which
  // would otherwise cut the delivery off.
  ASSERT_TRUE(WaitForStoredRecords(2, Produced())) << gateway_->Stderr();
  for (const std::string& text : StoredRecords()) {
    int number = 0;
    ASSERT_EQ(sscanf(text.c_str(), "record %d", &number), 1) << text;
    EXPECT_EQ(text, ExpectedRecord(number));
  }
  gateway_->Signal(SIGTERM);
  EXPECT_EQ(gateway_->Wait(kDeadline), 0);
  ExpectNoErrorAnswers();
}

// A CSE that refuses the records container under a remoteCSE, as a widely
// deployed one does (5203 and a text): gatewayd says so once, moves its
// records under an <AE> of its own and stores them there in order.
TEST(InteropStandIn, RecordsMoveUnderTheAppWhereTheContainerIsRefusedUnderTheRemoteCse) {
  const std::string device = "gw-moves";
  kivtest::StandInCse cse({device});
  cse.registrar().Refuse(kiv::platform::kContainerCreate, 5203, 1,
                         "request ty creating can not create under parent resource");
  kivtest::TempDir folder;
  kivtest::WriteNodeScript(folder, kCounterScript);
  auto gateway = kivtest::StartGatewayd(folder, cse.broker().uri(), device, {"-i", "1"});
  ASSERT_TRUE(kivtest::WaitUntil([&] { return cse.registrar().Records(device).size() >= 3; }, kDeadline))
      << gateway->Stderr();
  gateway->Signal(SIGTERM);
  EXPECT_EQ(gateway->Wait(kDeadline), 0);
  std::vector<kiv::platform::StandInRegistrar::StoredRecord> records = cse.registrar().Records(device);
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].text, ExpectedRecord(static_cast<int>(i) + 1));
  }
  const std::string log = gateway->Stderr();
  EXPECT_EQ(Occurrences(log, "5203 \"request ty creating can not create under parent resource\"): "
                             "records are kept under the gateway's AE from now on"),
            1u)
      << log;
  const kiv::platform::SentRequests& sent = cse.registrar().sent();
  EXPECT_EQ(sent.Total(kiv::platform::kAppCreate), 1u);
  EXPECT_EQ(sent.Total(kiv::platform::kContainerCreate), 2u) << "refused under the remoteCSE, made under the AE";
  cse.ExpectNoRequestIdSentTwice();
}

}  // namespace
}  // namespace interop
