// gatewayd publishing every second through what a platform goes through,
// against two independent CSEs: the CSE away for 15 s, the CSE restarted with
// its storage or without it, the gateway restarted. The broker stays up, and
// the CSEs take no messages the broker kept for them: only the gateway can
// keep the records meanwhile. Every record it produced is stored exactly
// once, in order, and no registration step is refused.
#include "CseFixture.h"
#include "Gatewayd.h"
#include "Records.h"
#include "TinyIotCse.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <optional>
#include <thread>

namespace interop {
namespace {

using namespace std::chrono_literals;
using kivtest::Occurrences;

// A record unanswered for 10 s, then 15 s until the next registration: the
// CSE's answers are back well within this.
constexpr std::chrono::milliseconds kRecovery = 90s;
constexpr std::chrono::seconds kOutage = 15s;

// The story both CSEs go through, on each placement of the records (the
// parameter: under the gateway's remoteCSE or under its AE), with what tells
// one CSE from the other left to the derived fixtures.
class Outage : public ::testing::WithParamInterface<const char*> {
protected:
  virtual ~Outage() = default;
  virtual std::vector<std::string> StoredRecords() = 0;

  // The resource the records container is under, named at the CSEBase.
  std::string RecordsParent() const {
    return std::string(GetParam()) == "ae" ? "C" + device_ : device_;
  }
  void StartGateway(const std::string& device, const std::map<std::string, std::string>& platform) {
    device_ = device;
    platform_ = platform;
    platform_["KIV_RECORDS_PLACEMENT"] = GetParam();
    platform_["STATE_DIRECTORY"] = state_.path();  // the queue is kept across a restart
    kivtest::WriteNodeScript(folder_, kCounterScript);
    gateway_ = kivtest::StartGatewayd(folder_, brokerUri_, device_, {"-d", "on", "-i", "1"}, platform_);
  }
  void RestartGateway() {
    StopGateway();
    gateway_ = kivtest::StartGatewayd(folder_, brokerUri_, device_, {"-d", "on", "-i", "1"}, platform_);
  }
  void StopGateway() {
    if (!gateway_) return;
    gateway_->Signal(SIGTERM);
    EXPECT_EQ(gateway_->Wait(kDeadline), 0);
    earlierLogs_ += gateway_->Stderr();
    gateway_.reset();
  }
  std::string Log() const { return earlierLogs_ + (gateway_ ? gateway_->Stderr() : ""); }
  bool WaitForRegistration(size_t times) {
    return gateway_->WaitForOutput(kRegistered, kRecovery, kivtest::Process::Stream::kErr, times);
  }

  // How many records the node script produced so far.
  int Produced() const {
    int count = 0;
    std::sscanf(kivtest::ReadFile(folder_.File("count")).c_str(), "%d", &count);
    return count;
  }
  // The numbers of the stored records, in the order stored; a text that is
  // not a whole record fails the test.
  std::vector<int> StoredNumbers() {
    std::vector<int> numbers;
    for (const std::string& text : StoredRecords()) {
      int number = 0;
      EXPECT_EQ(std::sscanf(text.c_str(), "record %d", &number), 1) << text;
      EXPECT_EQ(text, ExpectedRecord(number));
      numbers.push_back(number);
    }
    return numbers;
  }
  // Waits until every record produced by now is stored (a few more too).
  bool WaitUntilStoredUpTo(int number) {
    auto deadline = std::chrono::steady_clock::now() + kRecovery;
    for (;;) {
      std::vector<int> numbers = StoredNumbers();
      if (!numbers.empty() && numbers.back() >= number) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(250ms);  // a poll of the CSE, not a wait for an event of ours
    }
  }
  // Each record once, in order, from first on.
  void ExpectStoredOnceInOrderFrom(int first) {
    std::vector<int> numbers = StoredNumbers();
    ASSERT_FALSE(numbers.empty());
    EXPECT_LE(numbers.front(), first);
    for (size_t i = 1; i < numbers.size(); ++i) {
      ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << "lost, stored twice or out of order at " << i;
    }
    std::cout << "stored records " << numbers.front() << " to " << numbers.back() << " of "
              << Produced() << " produced, each once, in order\n";
  }
  void ExpectNothingRefused() {
    std::string log = Log();
    EXPECT_EQ(interop::ErrorLines(log), 0u) << log;
    // A 4000 only where a warning tells what was refused: tinyIoT refuses
    // the container's reference to the access control policy.
    EXPECT_EQ(Occurrences(log, " rsc 4000"), Occurrences(log, " (4000 \"")) << log;
  }

  std::string brokerUri_;
  std::string device_;
  std::map<std::string, std::string> platform_;
  kivtest::TempDir folder_, state_;
  std::unique_ptr<kivtest::Process> gateway_;
  std::string earlierLogs_;
};

// ---- ACME: in memory, so a restart loses every resource ---------------------------

class AcmeOutage : public kivtest::CseFixture, public Outage {
protected:
  void SetUp() override {
    CseFixture::SetUp();
    if (IsSkipped()) return;
    brokerUri_ = broker_->uri();
  }
  void TearDown() override {
    if (HasFailure()) std::cerr << "gatewayd's log:\n" << Log();
    StopGateway();
    CseFixture::TearDown();
  }
  std::vector<std::string> StoredRecords() override {
    return cse_->Contents("/" + cse_->cseName() + "/" + RecordsParent() + "/data");
  }
};

TEST_P(AcmeOutage, StoresEveryRecordOnceThroughAnOutageAndAGatewayRestart) {
  StartGateway("02:00:5e:10:00:02", {});
  ASSERT_TRUE(WaitForRegistration(1)) << Log();
  ASSERT_TRUE(WaitUntilStoredUpTo(3)) << Log();

  int storedBefore = StoredNumbers().back();
  cse_->Stop();
  std::this_thread::sleep_for(kOutage);
  cse_->Start();
  ASSERT_TRUE(WaitUntilStoredUpTo(Produced() + 2)) << Log();
  // The restarted CSE holds what came after the last record it had stored
  // (one more may have been stored as it was stopped, and lost with it).
  ExpectStoredOnceInOrderFrom(storedBefore + 2);

  RestartGateway();
  ASSERT_TRUE(WaitForRegistration(1)) << Log();
  ASSERT_TRUE(WaitUntilStoredUpTo(Produced() + 2)) << Log();
  ExpectStoredOnceInOrderFrom(storedBefore + 2);
  StopGateway();
  ExpectNothingRefused();
}

// ---- tinyIoT: stored in SQLite, kept across a restart in the same folder ----------

class TinyIotOutage : public ::testing::Test, public Outage {
protected:
  void SetUp() override {
    if (auto why = kivtest::TinyIotCse::Unavailable()) GTEST_SKIP() << *why;
    brokerUri_ = broker_.uri();
    cse_.emplace(broker_.port());
  }
  void TearDown() override {
    if (HasFailure()) std::cerr << "gatewayd's log:\n" << Log() << (cse_ ? cse_->Log() : "");
    StopGateway();
  }
  std::vector<std::string> StoredRecords() override {
    std::vector<std::string> texts;
    for (const auto& instance : cse_->Instances(RecordsParent() + "/data")) texts.push_back(instance.content);
    return texts;
  }

  kivtest::TestBroker broker_;
  std::optional<kivtest::TinyIotCse> cse_;
};

TEST_P(TinyIotOutage, StoresEveryRecordOnceThroughOutagesAndRestarts) {
  // Resource names of this CSE take unreserved characters only: the device
  // id as the gateway makes it from its MAC address.
  StartGateway("02005E100003", {{"KIV_PLATFORM_ID", "tinyiot"}, {"KIV_PLATFORM_CSE_NAME", "TinyIoT"}});
  ASSERT_TRUE(WaitForRegistration(1)) << Log();
  kivtest::HttpResponse registration = cse_->Retrieve("/TinyIoT/" + device_);
  EXPECT_NE(registration.body.find("\"csi\":\"/" + device_ + "\""), std::string::npos) << registration.body;
  ASSERT_TRUE(WaitUntilStoredUpTo(3)) << Log();
  ExpectStoredOnceInOrderFrom(1);

  {
    SCOPED_TRACE("the CSE away for 15 s, back with its storage");
    cse_->Stop();
    std::this_thread::sleep_for(kOutage);
    cse_->Start();
    ASSERT_TRUE(WaitUntilStoredUpTo(Produced() + 2)) << Log();
    ExpectStoredOnceInOrderFrom(1);
  }
  {
    SCOPED_TRACE("the gateway restarted: its registration updated, its queue kept");
    RestartGateway();
    ASSERT_TRUE(WaitForRegistration(1)) << Log();
    ASSERT_TRUE(WaitUntilStoredUpTo(Produced() + 2)) << Log();
    ExpectStoredOnceInOrderFrom(1);
  }
  {
    SCOPED_TRACE("the CSE restarted without its storage");
    size_t registrations = Occurrences(gateway_->Stderr(), kRegistered);
    cse_->StartFresh();
    ASSERT_TRUE(WaitForRegistration(registrations + 1)) << Log();
    ASSERT_TRUE(WaitUntilStoredUpTo(Produced() + 2)) << Log();
    std::vector<int> numbers = StoredNumbers();
    for (size_t i = 1; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], numbers[i - 1] + 1);
  }
  StopGateway();
  ExpectNothingRefused();
}

INSTANTIATE_TEST_SUITE_P(Placements, AcmeOutage, ::testing::Values("remote-cse", "ae"));
INSTANTIATE_TEST_SUITE_P(Placements, TinyIotOutage, ::testing::Values("remote-cse", "ae"));

}  // namespace
}  // namespace interop
