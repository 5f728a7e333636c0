// The reconnection state machine on a virtual clock and a recorded random
// source: which broker each attempt goes to, when, with which timeout, and
// how a caller's wait ends.
#include "ReconnectMachine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kiv::mqtt::ReconnectMachine;
using Duration = ReconnectMachine::Duration;
using Outcome = ReconnectMachine::Outcome;
using State = ReconnectMachine::State;

class ReconnectMachineTest : public ::testing::Test {
protected:
  // A machine over brokers; every delay is drawn at the top of its range
  // unless drawLow, and each range is kept.
  ReconnectMachine Make(size_t brokers, ReconnectMachine::Settings settings = {}) {
    return ReconnectMachine(brokers, settings, [this](Duration low, Duration high) {
      draws.emplace_back(low, high);
      return drawLow ? low : high;
    });
  }
  // Runs the clock to the next attempt the machine starts: its broker, and
  // how long after now it started (nullopt when none is due).
  std::optional<std::pair<size_t, Duration>> NextAttempt(ReconnectMachine& machine) {
    std::optional<ReconnectMachine::TimePoint> due = machine.NextDeadline();
    if (!due) return std::nullopt;
    Duration waited = std::max(Duration::zero(), *due - now);
    EXPECT_FALSE(machine.Tick(*due - 1ns)) << "not before its time";
    now = std::max(now, *due);
    std::optional<ReconnectMachine::Attempt> attempt = machine.Tick(now);
    if (!attempt) return std::nullopt;
    lastTimeout = attempt->timeout;
    return std::make_pair(attempt->broker, waited);
  }
  void Connected(ReconnectMachine& machine) {
    ASSERT_TRUE(machine.SessionUp());
    ASSERT_TRUE(machine.Subscribed(now));
  }

  ReconnectMachine::TimePoint now = ReconnectMachine::TimePoint() + 1h;
  std::vector<std::pair<Duration, Duration>> draws;
  bool drawLow = false;
  std::chrono::seconds lastTimeout{0};
};

TEST_F(ReconnectMachineTest, AFirstConnectionTriesEachBrokerInTurnWithTheBackoff) {
  ReconnectMachine machine = Make(3);
  machine.Connect(now, now + 10s);
  std::vector<std::pair<size_t, Duration>> attempts;
  for (int i = 0; i < 4; ++i) {
    attempts.push_back(*NextAttempt(machine));
    machine.AttemptFailed(now, false);
  }
  attempts.push_back(*NextAttempt(machine));
  EXPECT_EQ(attempts, (std::vector<std::pair<size_t, Duration>>{
                          {0, 0ms}, {1, 500ms}, {2, 1000ms}, {0, 2000ms}, {1, 4000ms}}));
  Connected(machine);
  EXPECT_EQ(machine.broker(), 1u) << "the first that answered";
  EXPECT_EQ(machine.EndOfWait(now), Outcome::kConnected);
}

TEST_F(ReconnectMachineTest, DelaysAreDrawnBetweenHalfAndAllOfABackoffThatDoublesToItsCeiling) {
  ReconnectMachine::Settings settings;
  settings.minRetry = 100ms;
  settings.maxRetry = 1s;
  ReconnectMachine machine = Make(1, settings);
  drawLow = true;
  machine.Connect(now, now + 1h);
  std::vector<Duration> waits;
  for (int i = 0; i < 7; ++i) {
    waits.push_back(NextAttempt(machine)->second);
    machine.AttemptFailed(now, false);
  }
  EXPECT_EQ(waits, (std::vector<Duration>{0ms, 50ms, 100ms, 200ms, 400ms, 500ms, 500ms}));
  std::vector<std::pair<Duration, Duration>> ranges(draws.begin(), draws.begin() + 6);
  EXPECT_EQ(ranges, (std::vector<std::pair<Duration, Duration>>{
                        {50ms, 100ms}, {100ms, 200ms}, {200ms, 400ms}, {400ms, 800ms},
                        {500ms, 1000ms}, {500ms, 1000ms}}));
}

// Each loss goes to the next broker once the library settled (100 ms). A
// session dropped at once backs off further (a node that takes the login and
// drops the session, or another client with the same id); the third such
// session in a row is reported as a likely takeover, once; a session that
// lasted starts the backoff over.
TEST_F(ReconnectMachineTest, ALostSessionGoesToTheNextBrokerAndBacksOffUnlessItLasted) {
  ReconnectMachine machine = Make(2);
  machine.Connect(now, now + 10s);
  NextAttempt(machine);
  Connected(machine);
  ASSERT_EQ(machine.EndOfWait(now), Outcome::kConnected);
  struct Case {
    Duration lived;
    size_t broker;
    Duration wait;  // settle + the delay drawn (the test draws the top of each range)
    std::optional<unsigned> takeover;
  } cases[] = {
      {0s, 1, 600ms, std::nullopt}, {1s, 0, 1100ms, std::nullopt}, {2s, 1, 2100ms, 3u},
      {3s, 0, 4100ms, std::nullopt}, {15s, 1, 8100ms, std::nullopt},  // still taken over: 15 s is short
      {61s, 0, 600ms, std::nullopt},  // outlasted the other client's backoff
      {0s, 1, 600ms, std::nullopt},
  };
  for (const Case& c : cases) {
    now += c.lived;
    EXPECT_EQ(machine.Lost(now), c.takeover);
    EXPECT_FALSE(machine.IsConnected());
    EXPECT_EQ(NextAttempt(machine), std::make_pair(c.broker, c.wait));
    EXPECT_EQ(lastTimeout, 10s) << "others could answer: no attempt takes 30 s";
    ASSERT_TRUE(machine.SessionUp());
    EXPECT_EQ(machine.Subscribed(now), true) << "a reconnection";
  }
}

TEST_F(ReconnectMachineTest, AttemptTimeoutsFollowTheCallersDeadlineAndTheList) {
  struct Case {
    size_t brokers;
    Duration wait;  // 0: a reconnection, nobody waits
    std::chrono::seconds timeout;
  } cases[] = {
      {1, 10s, 11s}, {1, 2500ms, 3s}, {1, 0s, 30s}, {2, 60s, 10s}, {2, 3s, 4s}, {2, 0s, 10s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.brokers) + " brokers, " +
                 std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(c.wait).count()) + " ms");
    ReconnectMachine machine = Make(c.brokers);
    machine.Connect(now, now + (c.wait > 0s ? c.wait : 10s));
    NextAttempt(machine);
    if (c.wait == 0s) {
      Connected(machine);
      machine.EndOfWait(now);
      machine.Lost(now);
      NextAttempt(machine);
    }
    EXPECT_EQ(lastTimeout, c.timeout);
  }
}

TEST_F(ReconnectMachineTest, ARefusalEndsTheWaitOnceEveryBrokerRefused) {
  for (size_t brokers : {1u, 3u}) {
    ReconnectMachine machine = Make(brokers);
    machine.Connect(now, now + 60s);
    for (size_t i = 0; i < brokers; ++i) {
      EXPECT_FALSE(machine.EndOfWait(now));
      NextAttempt(machine);
      machine.AttemptFailed(now, true);
    }
    EXPECT_EQ(machine.EndOfWait(now), Outcome::kRefused) << brokers;
    EXPECT_FALSE(NextAttempt(machine)) << "a first connection stops there";
  }
  ReconnectMachine machine = Make(2);
  machine.Connect(now, now + 60s);
  NextAttempt(machine);
  machine.AttemptFailed(now, true);
  NextAttempt(machine);
  machine.AttemptFailed(now, false);  // no answer breaks the row
  NextAttempt(machine);
  machine.AttemptFailed(now, true);
  EXPECT_FALSE(machine.EndOfWait(now));
}

// The gateway calls Connect again a second after each failure: refused
// logins reach the broker 15 s, 30 s, ... up to 5 min apart all the same,
// each step that grew is reported, and a good login starts over.
TEST_F(ReconnectMachineTest, RefusedLoginsBackOffFrom15sTo5MinUntilALoginSucceeds) {
  for (bool low : {false, true}) {
    drawLow = low;
    ReconnectMachine machine = Make(1);
    const ReconnectMachine::TimePoint start = now;
    std::vector<Duration> attempts, reported;
    for (; now < start + 20min; now += 1s) {
      machine.Connect(now, now + 10s);
      if (machine.Tick(now)) {
        attempts.push_back(now - start);
        if (std::optional<Duration> next = machine.AttemptFailed(now, true)) reported.push_back(*next);
      }
      ASSERT_EQ(machine.EndOfWait(now), Outcome::kRefused);
    }
    // Drawn between three quarters and all of each step.
    std::vector<Duration> expectAttempts = low ? std::vector<Duration>{0s, 12s, 35s, 80s, 170s, 350s, 575s, 800s, 1025s}
                                               : std::vector<Duration>{0s, 15s, 45s, 105s, 225s, 465s, 765s, 1065s};
    std::vector<Duration> expectReported = low ? std::vector<Duration>{11250ms, 22500ms, 45s, 90s, 180s, 225s}
                                               : std::vector<Duration>{15s, 30s, 60s, 120s, 240s, 300s};
    EXPECT_EQ(attempts, expectAttempts) << "low " << low;
    EXPECT_EQ(reported, expectReported) << "low " << low;

    now = *machine.NextDeadline();
    machine.Connect(now, now + 10s);
    ASSERT_TRUE(machine.Tick(now));
    Connected(machine);
    machine.Lost(now);
    ASSERT_TRUE(NextAttempt(machine));
    EXPECT_EQ(machine.AttemptFailed(now, true), low ? 11250ms : 15s) << "a new stretch";
  }
}

TEST_F(ReconnectMachineTest, AFailedFirstConnectionStopsAnEstablishedOneGoesOn) {
  ReconnectMachine machine = Make(1);
  machine.Connect(now, now + 2s);
  NextAttempt(machine);
  machine.AttemptFailed(now, false);
  now += 2s;
  EXPECT_EQ(machine.EndOfWait(now), Outcome::kTimedOut);
  EXPECT_FALSE(NextAttempt(machine));
  EXPECT_EQ(machine.state(), State::kIdle);

  machine.Connect(now, now + 10s);
  NextAttempt(machine);
  Connected(machine);
  machine.EndOfWait(now);
  machine.Lost(now);
  machine.Connect(now, now + 1s);  // a caller waits for the reconnection, in vain
  NextAttempt(machine);
  machine.AttemptFailed(now, false);
  now += 1s;
  EXPECT_EQ(machine.EndOfWait(now), Outcome::kTimedOut);
  EXPECT_TRUE(NextAttempt(machine)) << "reconnecting goes on";
}

TEST_F(ReconnectMachineTest, DisconnectStopsEverythingAndDropsAnAttemptThatConnectsLate) {
  ReconnectMachine machine = Make(1);
  machine.Connect(now, now + 10s);
  NextAttempt(machine);
  machine.Disconnect();
  EXPECT_EQ(machine.EndOfWait(now), Outcome::kStopped);
  EXPECT_FALSE(machine.SessionUp()) << "nobody wants it now";
  EXPECT_EQ(machine.state(), State::kIdle);

  machine.Connect(now, now + 10s);
  NextAttempt(machine);
  Connected(machine);
  machine.Disconnect();
  machine.Lost(now);
  EXPECT_FALSE(NextAttempt(machine));
}

TEST_F(ReconnectMachineTest, ALossBeforeTheSubscriptionsAreRenewedIsNoConnection) {
  ReconnectMachine::Settings manual;
  manual.autoReconnect = false;
  for (bool autoReconnect : {true, false}) {
    ReconnectMachine machine = Make(1, autoReconnect ? ReconnectMachine::Settings() : manual);
    machine.Connect(now, now + 10s);
    NextAttempt(machine);
    Connected(machine);
    machine.EndOfWait(now);
    machine.Lost(now);
    if (!autoReconnect) {
      EXPECT_FALSE(NextAttempt(machine)) << "no reconnection when not asked for";
      continue;
    }
    NextAttempt(machine);
    ASSERT_TRUE(machine.SessionUp());
    machine.Lost(now);
    EXPECT_FALSE(machine.Subscribed(now));
    EXPECT_TRUE(NextAttempt(machine));
  }
}

// The system's draw, which every back-off of the SDK uses: within its
// bounds, and spread over them.
TEST(BackoffTest, TheSystemDrawStaysWithinItsBoundsAndSpreads) {
  kiv::Backoff::Draw draw = kiv::SystemDraw();
  struct Case {
    Duration low, high;
  } cases[] = {{0s, 0s}, {1s, 1s}, {0ns, 1ns}, {0s, 2s}, {150s, 5min}, {0s, 24h}};
  for (const Case& c : cases) {
    Duration least = c.high, most = c.low;
    for (int i = 0; i < 200; ++i) {
      Duration drawn = draw(c.low, c.high);
      ASSERT_GE(drawn, c.low);
      ASSERT_LE(drawn, c.high);
      least = std::min(least, drawn);
      most = std::max(most, drawn);
    }
    // 200 uniform draws all in one half of the range would take a broken draw.
    EXPECT_LE(least - c.low, (c.high - c.low) / 2) << (c.high - c.low).count();
    EXPECT_GE(most - c.low, (c.high - c.low) / 2) << (c.high - c.low).count();
  }
}

}  // namespace
