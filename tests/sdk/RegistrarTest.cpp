// The registration and record delivery state machine on a virtual clock:
// what is sent to the platform's CSE and when, which answers keep a record
// queued and which drop it, how failures are retried and what is logged.
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
  explicit RegistrarTest(kiv::RecordQueue::Limits limits = {})
      : registrar(Registrar::Timing(), limits, [this] { return "q" + std::to_string(++ids); }) {}

  // Keeps what the output asks to send, report and log.
  Registrar::Output Take(Registrar::Output output) {
    for (const auto& line : output.logs) logs.push_back(line.text);
    for (const auto& report : output.reports) reports.push_back(report.id + " " + std::to_string(report.rsc));
    if (output.send) {
      steps.push_back(output.send->step);
      stepRqi = output.send->rqi;
    }
    if (output.record) {
      sent.push_back(output.record->text);
      rqis.push_back(output.record->rqi);
      names.push_back(output.record->name);
    }
    return output;
  }
  std::optional<Step> StepSent(const Registrar::Output& output) {
    return output.send ? std::optional<Step>(output.send->step) : std::nullopt;
  }
  std::optional<Step> AnswerStep(int rsc) { return StepSent(Take(registrar.Answer(stepRqi, rsc, now))); }
  void AnswerRecord(int rsc) { Take(registrar.Answer(rqis.back(), rsc, now)); }
  std::optional<Step> After(Registrar::Duration wait) {
    now += wait;
    return StepSent(Take(registrar.Tick(now)));
  }
  void Record(const std::string& text) { Take(registrar.Record({"id-" + text, "rn-" + text, text}, now)); }
  void Register() {
    ASSERT_EQ(StepSent(Take(registrar.Connected(now))), Step::kCreate);
    ASSERT_EQ(AnswerStep(2001), Step::kContainer);
    ASSERT_EQ(AnswerStep(2001), std::nullopt);
    ASSERT_TRUE(registrar.IsRegistered());
  }
  size_t Creates() const { return static_cast<size_t>(std::count(steps.begin(), steps.end(), Step::kCreate)); }
  bool Logged(const std::string& text) const {
    return std::any_of(logs.begin(), logs.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
  }

  int ids = 0;
  Registrar registrar;
  Registrar::TimePoint now = Registrar::TimePoint() + 1h;
  std::string stepRqi;
  std::vector<Step> steps;
  std::vector<std::string> sent, rqis, names, reports, logs;
};

TEST_F(RegistrarTest, RecordsWaitForTheRegistrationThenGoOneAtATimeInOrder) {
  ASSERT_EQ(StepSent(Take(registrar.Connected(now))), Step::kCreate);
  Record("a");
  Record("b");
  EXPECT_EQ(AnswerStep(2001), Step::kContainer);
  EXPECT_TRUE(sent.empty()) << "not before the container exists";
  EXPECT_EQ(AnswerStep(2001), std::nullopt);
  EXPECT_EQ(sent, std::vector<std::string>{"a"}) << "one at a time";
  EXPECT_EQ(rqis.back(), "id-a") << "the first send goes under Create's id";
  EXPECT_EQ(names.back(), "rn-a");
  AnswerRecord(2001);
  AnswerRecord(2001);
  EXPECT_EQ(sent, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(reports, (std::vector<std::string>{"id-a 2001", "id-b 2001"}));
  EXPECT_TRUE(registrar.queue().Empty());
  EXPECT_EQ(logs, std::vector<std::string>{"registered with the platform's CSE"})
      << "waiting for the first registration is no outage";
}

TEST_F(RegistrarTest, AnExistingRegistrationIsUpdatedAndItsContainerKept) {
  ASSERT_EQ(StepSent(Take(registrar.Connected(now))), Step::kCreate);
  EXPECT_EQ(AnswerStep(4105), Step::kUpdate);
  EXPECT_EQ(AnswerStep(2004), Step::kContainer);
  EXPECT_EQ(AnswerStep(4105), std::nullopt);
  EXPECT_TRUE(registrar.IsRegistered());
}

// Each answer to a record: does it leave the queue, and what does the gateway hear.
TEST_F(RegistrarTest, ARecordLeavesTheQueueOnlyWhenStoredOrRefusedForGood) {
  struct Case {
    const char* what;
    std::optional<int> rsc;  // nothing: no answer in time
    bool kept;
    const char* report;  // "" for none
  } cases[] = {
      {"stored", 2001, false, "id-a 2001"},
      {"stored by an earlier send", 4105, false, "id-a 2001"},
      {"refused", 4000, false, "id-a 4000"},
      {"no privilege", 4103, false, "id-a 4103"},
      {"internal error", 5000, true, ""},
      {"request timeout", 4008, true, ""},
      {"no answer", std::nullopt, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Registrar fresh(Registrar::Timing(), {}, [this] { return "q" + std::to_string(++ids); });
    std::swap(registrar, fresh);
    reports.clear();
    sent.clear();
    rqis.clear();
    Register();
    Record("a");
    if (c.rsc) {
      AnswerRecord(*c.rsc);
    } else {
      After(10s);
    }
    EXPECT_EQ(registrar.Queued("id-a"), c.kept);
    EXPECT_EQ(reports, c.report[0] ? std::vector<std::string>{c.report} : std::vector<std::string>{});
    if (!c.kept) continue;
    // Kept: sent again once the registrar answers again, under a new id.
    EXPECT_FALSE(registrar.IsRegistered());
    EXPECT_EQ(After(15s), Step::kCreate);
    EXPECT_EQ(AnswerStep(4105), Step::kUpdate);
    EXPECT_EQ(AnswerStep(2004), Step::kContainer);
    EXPECT_EQ(AnswerStep(4105), std::nullopt);
    ASSERT_EQ(sent, (std::vector<std::string>{"a", "a"}));
    EXPECT_NE(rqis[0], rqis[1]);
    AnswerRecord(4105);
    EXPECT_EQ(reports, std::vector<std::string>{"id-a 2001"});
  }
}

TEST_F(RegistrarTest, ALostRegistrationIsRenewedOnceAndTheRecordSentAgain) {
  Register();
  Record("a");
  AnswerRecord(4004);  // the registrar restarted without its resources
  EXPECT_EQ(steps.back(), Step::kCreate) << "at once";
  Record("b");
  EXPECT_EQ(AnswerStep(2001), Step::kContainer);
  EXPECT_EQ(AnswerStep(2001), std::nullopt);
  EXPECT_EQ(sent, (std::vector<std::string>{"a", "a"}));
  // Still not found after registering again: that waits for the next back-off step.
  AnswerRecord(4004);
  EXPECT_EQ(Creates(), 2u);
  EXPECT_FALSE(registrar.IsRegistered());
  EXPECT_EQ(After(14s), std::nullopt);
  EXPECT_EQ(After(1s), Step::kCreate);
  EXPECT_EQ(AnswerStep(4105), Step::kUpdate);
  EXPECT_EQ(AnswerStep(2004), Step::kContainer);
  EXPECT_EQ(AnswerStep(2001), std::nullopt);
  AnswerRecord(2001);
  AnswerRecord(2001);
  EXPECT_EQ(sent, (std::vector<std::string>{"a", "a", "a", "b"}));
  EXPECT_EQ(reports, (std::vector<std::string>{"id-a 2001", "id-b 2001"}));
  EXPECT_TRUE(Logged("1 record waiting for the platform"));
  EXPECT_TRUE(Logged("delivered 2 records held during the outage"));
}

TEST_F(RegistrarTest, RefusalsAreRetriedOncePerBackOffStepWhateverRecordsDo) {
  ASSERT_EQ(StepSent(Take(registrar.Connected(now))), Step::kCreate);
  EXPECT_EQ(AnswerStep(4000), std::nullopt);
  // 100 s of a refusing registrar, a record every second.
  for (int second = 1; second <= 100; ++second) {
    Record(std::to_string(second));
    if (After(1s) == Step::kCreate) AnswerStep(4000);
  }
  EXPECT_EQ(Creates(), 3u) << "at 0, 15 and 45 s";
  EXPECT_TRUE(sent.empty()) << "nothing goes to a registrar that refused the registration";
  EXPECT_EQ(std::count_if(logs.begin(), logs.end(), [](const std::string& l) { return l.find("registration answered 4000") != std::string::npos; }), 1);
  EXPECT_TRUE(Logged("next attempt in 15 s"));
  EXPECT_TRUE(Logged("1 record waiting for the platform"));
  // Doubling up to 5 minutes.
  Registrar::Duration expected[] = {120s, 240s, 300s, 300s};
  now += 5s;  // t = 105: the fourth attempt is due
  for (auto delay : expected) {
    EXPECT_EQ(After(0s), Step::kCreate);
    EXPECT_EQ(AnswerStep(4000), std::nullopt);
    EXPECT_EQ(After(delay - 1s), std::nullopt);
    now += 1s;
  }
}

TEST_F(RegistrarTest, LateAnswersAreKnownForWhatTheyAre) {
  ASSERT_EQ(StepSent(Take(registrar.Connected(now))), Step::kCreate);
  std::string timedOut = stepRqi;
  EXPECT_EQ(After(10s), std::nullopt);
  EXPECT_EQ(StepSent(Take(registrar.Answer(timedOut, 2001, now))), std::nullopt)
      << "a step's answer after its timeout starts nothing";
  EXPECT_TRUE(reports.empty()) << "and is not the gateway's";
  EXPECT_EQ(After(15s), Step::kCreate);
  EXPECT_EQ(AnswerStep(4105), Step::kUpdate);
  EXPECT_EQ(AnswerStep(2004), Step::kContainer);
  EXPECT_EQ(AnswerStep(4105), std::nullopt);
  // A record whose answer came after its timeout was stored after all.
  Record("a");
  Record("b");
  std::string first = rqis.back();
  After(10s);
  EXPECT_EQ(After(15s), Step::kCreate);
  Take(registrar.Answer(first, 2001, now));
  EXPECT_FALSE(registrar.Queued("id-a"));
  EXPECT_EQ(reports, std::vector<std::string>{"id-a 2001"});
  // Answers that are not ours reach the gateway as they are.
  Take(registrar.Answer("someone-else", 2001, now));
  EXPECT_EQ(reports.back(), "someone-else 2001");
}

TEST_F(RegistrarTest, NothingStartsWhileOfflineAndACheckInFlightIsLetFinish) {
  Register();
  Record("a");
  std::string inFlight = rqis.back();
  Take(registrar.Disconnected());
  EXPECT_TRUE(Logged("1 record waiting for the platform"));
  Take(registrar.Answer(inFlight, 4004, now));
  EXPECT_EQ(After(10min), std::nullopt);
  EXPECT_EQ(Creates(), 1u);
  EXPECT_FALSE(registrar.NextDeadline());
  // Reconnected and registered: the record goes again; then a check.
  Register();
  EXPECT_EQ(sent, (std::vector<std::string>{"a", "a"}));
  AnswerRecord(2001);
  EXPECT_EQ(After(5min), Step::kCheck);
  Record("b");
  AnswerRecord(4004);
  EXPECT_EQ(steps.back(), Step::kCheck) << "the check in flight is not overwritten";
  Record("c");
  EXPECT_EQ(sent.size(), 3u) << "records wait for the renewal";
  EXPECT_EQ(AnswerStep(2000), Step::kCreate);
  EXPECT_EQ(AnswerStep(2001), Step::kContainer);
  EXPECT_EQ(AnswerStep(2001), std::nullopt);
  EXPECT_EQ(sent.back(), "b");
}

class SmallQueueTest : public RegistrarTest {
protected:
  SmallQueueTest() : RegistrarTest({3, 1 << 20}) {}
};

TEST_F(SmallQueueTest, AFullQueueDropsTheOldestAndSaysSoOncePerOutage) {
  ASSERT_EQ(StepSent(Take(registrar.Connected(now))), Step::kCreate);
  After(10s);  // no CSE answers
  for (const char* text : {"1", "2", "3", "4", "5", "6"}) Record(text);
  EXPECT_EQ(std::count_if(logs.begin(), logs.end(), [](const std::string& l) { return l.find("queue is full") != std::string::npos; }), 1);
  EXPECT_EQ(registrar.queue().Size(), 3u);
  EXPECT_EQ(After(15s), Step::kCreate);
  EXPECT_EQ(AnswerStep(2001), Step::kContainer);
  EXPECT_EQ(AnswerStep(2001), std::nullopt);
  for (int i = 0; i < 3; ++i) AnswerRecord(2001);
  EXPECT_EQ(sent, (std::vector<std::string>{"4", "5", "6"}));
  EXPECT_TRUE(Logged("delivered 3 records held during the outage; 3 older ones were dropped")) << logs.back();
}

TEST_F(RegistrarTest, TheRegistrationIsLookedAtNowAndThen) {
  Register();
  EXPECT_EQ(After(5min), Step::kCheck);
  Record("a");
  EXPECT_EQ(AnswerStep(2000), std::nullopt);
  EXPECT_EQ(sent.size(), 1u) << "records flow during a check";
  AnswerRecord(2001);
  EXPECT_EQ(After(5min), Step::kCheck);
  EXPECT_EQ(AnswerStep(4004), Step::kCreate);
  EXPECT_FALSE(registrar.IsRegistered());
}

}  // namespace
