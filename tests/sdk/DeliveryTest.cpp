// The registration and the outbox together, on a virtual clock: what goes to
// the platform's CSE and when, how each answer (or its absence, or its late
// arrival) moves a record, and how every record leaves exactly once.
#include "Outbox.h"
#include "Registration.h"

#include "kiv/Proxy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kiv::Outbox;
using Step = kiv::RegistrarLink::Step;
using Duration = kiv::Timers::Duration;

class DeliveryTest : public ::testing::Test, public kiv::RegistrarLink {
protected:
  explicit DeliveryTest(kiv::RecordQueue::Limits limits = {})
      : timers([this] { return now; }),
        registration(kiv::Registration::Settings(), timers, *this, deadline, Draw(),
                     [this](bool up) { up ? outbox.Open() : outbox.Close(); }),
        outbox(Settings(limits), timers, *this, deadline, Draw(),
               Outbox::Hooks{[this](const Outbox::Record& r, Outbox::Exit exit, int rsc) {
                               exits.push_back(r.name + " " + ExitName(exit) + " " + std::to_string(rsc));
                             },
                             [this] { registration.Lost(); },
                             [this](const Outbox::Record& r) { journal.push_back("hold " + r.name); },
                             [this](const std::string& name) { journal.push_back("forget " + name); }}) {}

  static Outbox::Settings Settings(kiv::RecordQueue::Limits limits) {
    Outbox::Settings settings;
    settings.limits = limits;
    return settings;
  }
  // Draws the top of every range, and keeps the ranges asked for.
  kiv::Backoff::Draw Draw() {
    return [this](Duration low, Duration high) {
      draws.emplace_back(low, high);
      return high;
    };
  }
  static const char* ExitName(Outbox::Exit exit) {
    switch (exit) {
      case Outbox::Exit::kStored: return "stored";
      case Outbox::Exit::kRefused: return "refused";
      case Outbox::Exit::kDropped: return "dropped";
      default: return "kept";
    }
  }

  // RegistrarLink: every send is kept, and none may reuse a request id.
  std::string NewRequestId() override { return "q" + std::to_string(++ids); }
  void SendStep(Step step, const std::string& rqi) override {
    steps.push_back(step);
    stepRqi = rqi;
    EXPECT_TRUE(rqis.insert(rqi).second) << rqi << " sent twice";
  }
  void SendRecord(const std::string& rqi, const std::string& name, const std::string&) override {
    sends.push_back({rqi, name});
    EXPECT_TRUE(rqis.insert(rqi).second) << rqi << " sent twice";
  }
  void Log(int, const std::string& text) override { logs.push_back(text); }

  void Advance(Duration by) {
    now += by;
    timers.RunDue();
  }
  void AnswerStep(int rsc, const std::string& debug = "") { registration.Answer(stepRqi, rsc, debug); }
  void AnswerRecord(const std::string& rqi, int rsc) { outbox.Answer(rqi, rsc); }
  void Register() {
    registration.Connected();
    AnswerStep(2001);
    ASSERT_EQ(steps.back(), Step::kContainer);
    AnswerStep(2001);
    ASSERT_TRUE(registration.Registered());
  }
  void Add(const std::string& name) { outbox.Add({"id-" + name, name, "text of " + name}); }
  size_t Count(Step step) const { return static_cast<size_t>(std::count(steps.begin(), steps.end(), step)); }
  size_t SendsOf(const std::string& name) const {
    return static_cast<size_t>(std::count_if(sends.begin(), sends.end(), [&](const auto& s) { return s.second == name; }));
  }

  kiv::Timers::TimePoint now = kiv::Timers::TimePoint() + 1h;
  kiv::Timers timers;
  kiv::AnswerDeadline deadline;
  int ids = 0;
  std::vector<Step> steps;
  std::string stepRqi;
  std::vector<std::pair<std::string, std::string>> sends;  // rqi, name
  std::set<std::string> rqis;
  std::vector<std::string> exits, logs, journal;
  std::vector<std::pair<Duration, Duration>> draws;
  kiv::Registration registration;
  Outbox outbox;
};

TEST_F(DeliveryTest, RecordsWaitForTheRegistrationThenGoInOrderUnderFreshIds) {
  for (const char* name : {"a", "b", "c"}) Add(name);
  EXPECT_TRUE(sends.empty());
  Register();
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(sends.size(), i + 1) << "one in flight at a time";
    EXPECT_EQ(sends[i].second, std::string(1, static_cast<char>('a' + i)));
    EXPECT_NE(sends[i].first, "id-" + sends[i].second) << "never the id of an earlier run";
    AnswerRecord(sends[i].first, 2001);
  }
  EXPECT_EQ(exits, (std::vector<std::string>{"a stored 2001", "b stored 2001", "c stored 2001"}));
}

TEST_F(DeliveryTest, AnExistingRegistrationIsUpdatedAndItsContainerKept) {
  registration.Connected();
  AnswerStep(4105);
  EXPECT_EQ(steps.back(), Step::kUpdate);
  AnswerStep(2004);
  EXPECT_EQ(steps.back(), Step::kContainer);
  AnswerStep(4105);
  EXPECT_TRUE(registration.Registered());
}

// A registrar that will not have the container under the remoteCSE: the
// records move under the gateway's AE when the answer says why, and stay
// there across the next registrations; any other refusal is retried as is.
TEST_F(DeliveryTest, AContainerNotAllowedUnderTheRemoteCseMovesUnderTheApp) {
  struct Case {
    int rsc;
    const char* debug;
    bool moves;
  } cases[] = {
      {4108, "", true},
      {5203, "request ty creating can not create under parent resource", true},
      {4000, "invalid child resource type", true},
      {4000, "attribute rn is too long", false},
      {5203, "", false},
      {4103, "no privilege under parent", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rsc) + " " + c.debug);
    kiv::Registration fresh(kiv::Registration::Settings(), timers, *this, deadline, Draw(), [](bool) {});
    logs.clear();
    fresh.Connected();
    fresh.Answer(stepRqi, 2001);
    fresh.Answer(stepRqi, c.rsc, c.debug);
    EXPECT_EQ(fresh.RecordsUnderApp(), c.moves);
    EXPECT_EQ(logs.size(), 1u) << "one line: the move, or the failure";
    if (!c.moves) {
      EXPECT_FALSE(fresh.Registered());
      fresh.Disconnected();
      continue;
    }
    EXPECT_EQ(steps.back(), Step::kAppCreate);
    fresh.Answer(stepRqi, 4117);  // the AE of an earlier run
    EXPECT_EQ(steps.back(), Step::kAppUpdate);
    fresh.Answer(stepRqi, 2004);
    EXPECT_EQ(steps.back(), Step::kContainer);
    fresh.Answer(stepRqi, 2001);
    EXPECT_TRUE(fresh.Registered());
    fresh.Disconnected();
    fresh.Connected();
    fresh.Answer(stepRqi, 2001);
    EXPECT_EQ(steps.back(), Step::kAppCreate) << "the next registration keeps the AE";
    EXPECT_EQ(logs.size(), 2u) << "the move is told once: " << logs.back();
    fresh.Disconnected();
  }
}

// After the container come the policy and the two references to it. A CSE
// that refuses any of them is told about in one line, still takes records
// and is not asked again in this run; a late answer counts as for any step.
TEST_F(DeliveryTest, TheGatewaysResourcesAreGuardedWhereTheCseTakesThePolicy) {
  struct Case {
    std::vector<int> answers;  // to the steps after the container
    std::vector<Step> steps;   // those steps, in order
    const char* refusal;       // in the one line about it; "" for none
    bool lateAnswer = false;   // the policy's answer comes after its deadline
  } cases[] = {
      {{2001, 2004, 2004}, {Step::kPolicy, Step::kParentGuard, Step::kContainerGuard}, ""},
      {{2001, 2004, 2004}, {Step::kPolicy, Step::kParentGuard, Step::kContainerGuard}, "", true},
      {{4105, 2004, 2004, 2004},
       {Step::kPolicy, Step::kPolicyUpdate, Step::kParentGuard, Step::kContainerGuard}, ""},
      {{4000}, {Step::kPolicy}, "access control policy (4000 \"refused\")"},
      {{2001, 4103}, {Step::kPolicy, Step::kParentGuard}, "records' parent (4103"},
      {{2001, 2004, 4005}, {Step::kPolicy, Step::kParentGuard, Step::kContainerGuard}, "container (4005"},
  };
  kiv::Registration::Settings settings;
  settings.guardResources = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.refusal) + (c.lateAnswer ? " late" : ""));
    kiv::Registration guarded(settings, timers, *this, deadline, Draw(), [](bool) {});
    guarded.Connected();
    guarded.Answer(stepRqi, 2001);
    guarded.Answer(stepRqi, 2001);
    const size_t first = steps.size() - 1;
    if (c.lateAnswer) Advance(12s);
    logs.clear();
    for (int rsc : c.answers) guarded.Answer(stepRqi, rsc, "refused");
    EXPECT_EQ(std::vector<Step>(steps.begin() + first, steps.end()), c.steps);
    ASSERT_TRUE(guarded.Registered());
    auto refusals = std::count_if(logs.begin(), logs.end(), [](const std::string& line) {
      return line.find("refused the") != std::string::npos;
    });
    EXPECT_EQ(refusals, *c.refusal ? 1 : 0);
    if (*c.refusal) {
      EXPECT_NE(logs.front().find(c.refusal), std::string::npos) << logs.front();
    }
    guarded.Disconnected();
    guarded.Connected();
    guarded.Answer(stepRqi, 2001);
    guarded.Answer(stepRqi, 2001);
    EXPECT_EQ(guarded.Registered(), *c.refusal != '\0') << "a refused policy is not asked again";
    guarded.Disconnected();
  }
}

// Each answer to a record, and what follows from it.
TEST_F(DeliveryTest, EachAnswerMovesARecordOneWay) {
  struct Case {
    int rsc;
    const char* exit;       // "" while the record stays
    bool registersAgain;
  } cases[] = {
      {2001, "stored 2001", false}, {4105, "stored 2001", false}, {4000, "refused 4000", false},
      {5000, "", false},            {4008, "", false},            {4004, "", true},
  };
  Register();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rsc);
    exits.clear();
    size_t creates = Count(Step::kCreate);
    std::string name = "r" + std::to_string(c.rsc);
    Add(name);
    ASSERT_EQ(sends.back().second, name);
    AnswerRecord(sends.back().first, c.rsc);
    EXPECT_EQ(exits.empty() ? "" : exits.front(), *c.exit ? name + " " + c.exit : "");
    EXPECT_EQ(Count(Step::kCreate), creates + (c.registersAgain ? 1 : 0));
    if (c.registersAgain) {
      AnswerStep(2001);
      AnswerStep(2001);
    } else if (*c.exit == '\0') {
      Advance(5min);  // the back-off
    }
    if (*c.exit == '\0') {
      ASSERT_EQ(SendsOf(name), 2u) << "sent again, under a fresh id";
      AnswerRecord(sends.back().first, 2001);
      EXPECT_EQ(exits, std::vector<std::string>{name + " stored 2001"});
    }
  }
}

// An answer to any send counts, late ones included; a record not answered
// in time goes again later without touching the registration; the answer
// deadline grows with the answer times seen, so a slow CSE stops getting
// resends.
TEST_F(DeliveryTest, LateAnswersCountAndASlowCseIsGivenItsTime) {
  registration.Connected();
  Advance(12s);  // the create's answer is late: asked again after the back-off
  AnswerStep(2001);
  Advance(12s);
  EXPECT_EQ(Count(Step::kCreate), 1u) << "a late answer to the create counts";
  EXPECT_EQ(steps.back(), Step::kContainer);
  AnswerStep(2001);
  ASSERT_TRUE(registration.Registered());

  for (int i = 0; i < 6; ++i) {
    std::string name = "slow" + std::to_string(i);
    Add(name);
    std::string first = sends.back().first;
    Advance(12s);
    AnswerRecord(first, 2001);  // answered 12 s after it went out
  }
  EXPECT_EQ(Count(Step::kCreate), 1u) << "missing answers never restart the registration";
  EXPECT_EQ(exits.size(), 6u);
  EXPECT_LE(sends.size(), 7u) << "once the answer times are known, nothing goes twice";
  for (const std::string& exit : exits) EXPECT_NE(exit.find("stored"), std::string::npos) << exit;
}

// A full queue drops its oldest record, in flight or not: reported once, and
// its late answer changes nothing.
class SmallDeliveryTest : public DeliveryTest {
protected:
  SmallDeliveryTest() : DeliveryTest(kiv::RecordQueue::Limits{2, 1 << 20}) {}
};

TEST_F(SmallDeliveryTest, AFullQueueDropsTheOldestReportedOnce) {
  Register();
  for (const char* name : {"a", "b", "c"}) Add(name);
  EXPECT_EQ(exits, std::vector<std::string>{"a dropped 0"});
  AnswerRecord(sends.front().first, 2001);
  EXPECT_EQ(exits.size(), 1u);
  EXPECT_EQ(outbox.Size(), 2u);
}

// Failures retry one attempt per step of a full-jitter back-off (drawn in
// [0, step], the step doubling to 5 min); the registration check is drawn
// around its interval; a check answered 4004 registers again.
TEST_F(DeliveryTest, RetriesAreJitteredAndTheRegistrationIsCheckedNowAndThen) {
  registration.Connected();
  for (int i = 0; i < 6; ++i) {
    AnswerStep(4000);
    ASSERT_FALSE(draws.empty());
    Advance(draws.back().second);
  }
  std::vector<std::pair<Duration, Duration>> retries(draws.begin(), draws.end());
  ASSERT_EQ(retries.size(), 6u);
  Duration step = 15s;
  for (const auto& [low, high] : retries) {
    EXPECT_EQ(low, Duration::zero());
    EXPECT_EQ(high, step);
    step = std::min<Duration>(step * 2, 5min);
  }
  EXPECT_EQ(Count(Step::kCreate), 7u);
  EXPECT_EQ(std::count_if(logs.begin(), logs.end(), [](const std::string& l) { return l.find("answered 4000") != std::string::npos; }), 1)
      << "one line per stretch of failures";
  AnswerStep(2001);
  AnswerStep(2001);
  ASSERT_TRUE(registration.Registered());
  EXPECT_EQ(draws.back(), std::make_pair(Duration(225s), Duration(375s)));
  Advance(375s);
  ASSERT_EQ(steps.back(), Step::kCheck);
  AnswerStep(4004);
  EXPECT_EQ(steps.back(), Step::kCreate);
  EXPECT_FALSE(registration.Registered());
}

// Only records not stored promptly are kept durably: at once while the
// registrar is away or silent, after a few seconds otherwise; one that
// leaves afterwards is forgotten; at a stop every record is kept.
TEST_F(DeliveryTest, OnlyRecordsNotStoredPromptlyAreHeld) {
  Register();
  Add("prompt");
  Advance(1s);
  AnswerRecord(sends.back().first, 2001);
  EXPECT_TRUE(journal.empty()) << "a healthy platform costs no write";
  Add("slow");
  Advance(Outbox::kHoldAfter);
  EXPECT_EQ(journal, std::vector<std::string>{"hold slow"});
  AnswerRecord(sends.back().first, 2001);
  EXPECT_EQ(journal.back(), "forget slow");
  registration.Disconnected();
  Add("away");
  EXPECT_EQ(journal.back(), "hold away") << "the registrar is away: held at once";
  Register();
  Add("at stop");
  outbox.KeepAll();
  EXPECT_EQ(journal.back(), "hold at stop");
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "forget away"), 0);
}

// A lost connection puts records in flight back: after the next
// registration they go again, each under a new id; at a stop each is kept.
TEST_F(DeliveryTest, RecordsInFlightWaitAgainAcrossAReconnectionAndAreKeptAtAStop) {
  Register();
  Add("a");
  Add("b");
  registration.Disconnected();
  Register();
  EXPECT_EQ(SendsOf("a"), 2u);
  EXPECT_EQ(SendsOf("b"), 0u) << "it waits its turn";
  outbox.KeepAll();
  EXPECT_EQ(exits, (std::vector<std::string>{"a kept 0", "b kept 0"}));
}

}  // namespace
