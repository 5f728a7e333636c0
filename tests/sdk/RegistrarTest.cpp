// The registration state machine on a virtual clock: what is sent to the
// platform's CSE, when records are held and released, how failures are
// retried and logged.
#include "Registrar.h"

#include "kiv/Proxy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kiv::Registrar;
using Step = Registrar::Step;

class RegistrarTest : public ::testing::Test {
protected:
  RegistrarTest() : registrar(Registrar::Timing(), [this] { return "r" + std::to_string(++ids); }) {}

  // Sends what the output asks and returns the step sent (if any).
  std::optional<Step> Take(const Registrar::Output& output) {
    if (output.logCategory != 0) logs.push_back(output.log);
    if (output.flush) {
      for (const auto& body : registrar.TakeHeld(now)) sent.push_back(body);
      registrar.Flushed();
    }
    if (!output.send) return std::nullopt;
    lastRqi = output.send->rqi;
    return output.send->step;
  }
  std::optional<Step> Answer(int rsc) { return Take(registrar.Answer(lastRqi, rsc, now)); }
  std::optional<Step> After(Registrar::Duration wait) {
    now += wait;
    return Take(registrar.Tick(now));
  }
  // A record of the gateway: true when it went out at once.
  bool Record(const std::string& body) {
    bool now_ = registrar.Record("rec-" + body, body, now);
    if (now_) sent.push_back(body);
    return now_;
  }
  void Register() {
    ASSERT_EQ(Take(registrar.Connected(now)), Step::kCreate);
    ASSERT_EQ(Answer(2001), Step::kContainer);
    ASSERT_EQ(Answer(2001), std::nullopt);
    ASSERT_TRUE(registrar.IsRegistered());
  }

  int ids = 0;
  Registrar registrar;
  Registrar::TimePoint now = Registrar::TimePoint() + 1h;
  std::string lastRqi;
  std::vector<std::string> sent, logs;
};

TEST_F(RegistrarTest, RecordsWaitForTheContainerThenGoInOrder) {
  ASSERT_EQ(Take(registrar.Connected(now)), Step::kCreate);
  EXPECT_FALSE(Record("a"));
  EXPECT_FALSE(Record("b"));
  EXPECT_EQ(Answer(2001), Step::kContainer);
  EXPECT_FALSE(Record("c"));
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(Answer(2001), std::nullopt);
  EXPECT_EQ(sent, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(Record("d"));
  EXPECT_EQ(logs.size(), 1u) << "registered";
}

TEST_F(RegistrarTest, AnExistingRegistrationIsUpdatedAndItsContainerKept) {
  ASSERT_EQ(Take(registrar.Connected(now)), Step::kCreate);
  EXPECT_EQ(Answer(4105), Step::kUpdate);
  EXPECT_EQ(Answer(2004), Step::kContainer);
  EXPECT_EQ(Answer(4105), std::nullopt);
  EXPECT_TRUE(registrar.IsRegistered());
}

TEST_F(RegistrarTest, WithoutAnAnswerRecordsGoAnywayAndFailuresAreLoggedOncePerConnection) {
  ASSERT_EQ(Take(registrar.Connected(now)), Step::kCreate);
  EXPECT_FALSE(Record("a"));
  ASSERT_TRUE(registrar.NextDeadline());
  EXPECT_EQ(*registrar.NextDeadline(), now + 2s) << "the hold ends first";
  EXPECT_EQ(After(2s), std::nullopt);
  EXPECT_EQ(sent, std::vector<std::string>{"a"});
  EXPECT_TRUE(Record("b")) << "no longer held";
  // No answer in 10 s: one error line, then attempts with a doubling delay.
  EXPECT_EQ(After(8s), std::nullopt);
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_NE(logs[0].find("no answer"), std::string::npos) << logs[0];
  Registrar::Duration expected[] = {15s, 30s, 60s, 120s, 240s, 300s, 300s};
  for (auto delay : expected) {
    EXPECT_EQ(After(delay - 1s), std::nullopt);
    EXPECT_EQ(After(1s), Step::kCreate) << delay.count();
    EXPECT_EQ(After(10s), std::nullopt);
  }
  EXPECT_EQ(logs.size(), 1u);
  // A new connection logs its own failure once more.
  registrar.Disconnected();
  EXPECT_EQ(Take(registrar.Connected(now)), Step::kCreate);
  EXPECT_EQ(Answer(4000), std::nullopt);
  EXPECT_EQ(logs.size(), 2u);
}

TEST_F(RegistrarTest, ALostRegistrationIsRenewedAndItsRecordSentOnceMore) {
  Register();
  now += 1min;
  ASSERT_TRUE(Record("a"));
  // The registrar restarted: 4004 for the record.
  EXPECT_EQ(Take(registrar.Answer("rec-a", 4004, now)), Step::kCreate);
  EXPECT_FALSE(Record("b"));
  EXPECT_EQ(Answer(2001), Step::kContainer);
  EXPECT_EQ(Answer(2001), std::nullopt);
  EXPECT_EQ(sent, (std::vector<std::string>{"a", "a", "b"}));
  // A second 4004 for the same record is the gateway's to hear.
  Registrar::Output again = registrar.Answer("rec-a", 4004, now);
  ASSERT_TRUE(again.report);
  EXPECT_EQ(*again.report, 4004);
  // Answers to records are passed on, known or not.
  EXPECT_EQ(registrar.Answer("rec-b", 2001, now).report, 2001);
  EXPECT_EQ(registrar.Answer("never-sent", 2001, now).report, 2001);
}

TEST_F(RegistrarTest, TheRegistrationIsLookedAtNowAndThen) {
  Register();
  EXPECT_EQ(After(5min), Step::kCheck);
  EXPECT_EQ(Answer(2000), std::nullopt);
  EXPECT_TRUE(Record("a")) << "records flow during a check";
  EXPECT_EQ(After(5min), Step::kCheck);
  EXPECT_EQ(Answer(4004), Step::kCreate);
  EXPECT_FALSE(registrar.IsRegistered());
}

TEST_F(RegistrarTest, AnswersAfterADisconnectionChangeNothing) {
  ASSERT_EQ(Take(registrar.Connected(now)), Step::kCreate);
  registrar.Disconnected();
  EXPECT_EQ(Answer(2001), std::nullopt);
  EXPECT_FALSE(registrar.IsRegistered());
  EXPECT_FALSE(registrar.NextDeadline());
}

}  // namespace
