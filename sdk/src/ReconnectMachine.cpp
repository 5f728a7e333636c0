#include "ReconnectMachine.h"

#include <algorithm>

namespace kiv {
namespace mqtt {

ReconnectMachine::ReconnectMachine(size_t brokers, Settings settings, Draw draw)
    : brokers_(std::max<size_t>(1, brokers)),
      settings_(settings),
      draw_(std::move(draw)),
      backoff_({settings.minRetry, settings.maxRetry, 0.5}, draw_),
      refusalBackoff_({settings.firstRefusalRetry, settings.maxRefusalRetry, 0.75}, draw_) {}

void ReconnectMachine::Connect(TimePoint now, TimePoint deadline) {
  wanted_ = true;
  waitUntil_ = deadline;
  refusalsInARow_ = 0;
  if (state_ == State::kIdle) backoff_.Reset();
  // A caller who asks does not wait for a reconnection's pending delay, but
  // does for the one after a refused login.
  if (state_ == State::kIdle || state_ == State::kWaiting) {
    AttemptAt(HoldingOffAfterRefusal(now) ? *refusedUntil_ : now);
  }
}

std::optional<ReconnectMachine::Outcome> ReconnectMachine::EndOfWait(TimePoint now) {
  Outcome outcome;
  if (state_ == State::kConnected) {
    outcome = Outcome::kConnected;
  } else if (!wanted_) {
    outcome = Outcome::kStopped;
  } else if (refusalsInARow_ >= brokers_ || HoldingOffAfterRefusal(now)) {
    // Retrying cannot change the credentials; a list ends only once every
    // broker refused.
    outcome = Outcome::kRefused;
  } else if (!waitUntil_ || now >= *waitUntil_) {
    outcome = Outcome::kTimedOut;
  } else {
    return std::nullopt;
  }
  waitUntil_.reset();
  if (outcome != Outcome::kConnected) wanted_ = keepReconnecting_;
  return outcome;
}

void ReconnectMachine::Disconnect() {
  wanted_ = false;
  keepReconnecting_ = false;
  if (state_ != State::kAttempting) state_ = State::kIdle;
}

std::optional<ReconnectMachine::Attempt> ReconnectMachine::Tick(TimePoint now) {
  if (state_ != State::kWaiting || now < attemptAt_) return std::nullopt;
  if (!wanted_) {
    state_ = State::kIdle;
    return std::nullopt;
  }
  state_ = State::kAttempting;
  return Attempt{current_, AttemptTimeout(now)};
}

std::optional<ReconnectMachine::TimePoint> ReconnectMachine::NextDeadline() const {
  if (state_ != State::kWaiting) return std::nullopt;
  return attemptAt_;
}

std::optional<ReconnectMachine::Duration> ReconnectMachine::AttemptFailed(TimePoint now,
                                                                         bool refused) {
  if (state_ != State::kAttempting) return std::nullopt;
  refusalsInARow_ = refused ? refusalsInARow_ + 1 : 0;
  MoveToNextBroker();
  bool refusalStepGrew = false;
  Duration delay = NextDelay(now, refused, &refusalStepGrew);
  if (wanted_) {
    AttemptAt(now + delay);
  } else {
    state_ = State::kIdle;
  }
  if (!refusalStepGrew) return std::nullopt;
  return delay;
}

// A login refused by every broker in a row waits its own, longer step; any
// other failure (a node of a cluster that refused, while others may not)
// the connection backoff's.
ReconnectMachine::Duration ReconnectMachine::NextDelay(TimePoint now, bool refused,
                                                       bool* refusalStepGrew) {
  if (!refused || refusalsInARow_ < brokers_) return backoff_.Next();
  Duration step = refusalBackoff_.Step();
  *refusalStepGrew = step != refusalStep_;
  refusalStep_ = step;
  Duration delay = refusalBackoff_.Next();
  refusedUntil_ = now + delay;
  return delay;
}

bool ReconnectMachine::SessionUp() {
  if (state_ != State::kAttempting) return false;
  if (!wanted_) {  // the caller gave up (timeout, Disconnect) while it ran
    state_ = State::kIdle;
    return false;
  }
  state_ = State::kSubscribing;
  return true;
}

std::optional<bool> ReconnectMachine::Subscribed(TimePoint now) {
  if (state_ != State::kSubscribing) return std::nullopt;
  state_ = State::kConnected;
  upSince_ = now;
  bool reconnected = everConnected_;
  everConnected_ = true;
  keepReconnecting_ = settings_.autoReconnect;
  refusalsInARow_ = 0;
  refusalBackoff_.Reset();  // the login was taken
  refusalStep_ = Duration::zero();
  refusedUntil_.reset();
  return reconnected;
}

// After a session that stayed up the next attempt follows at once (with a
// little spread, so that a fleet dropped by a broker restart does not come
// back in one instant); after a short one, the backoff's next step.
std::optional<unsigned> ReconnectMachine::Lost(TimePoint now) {
  if (state_ != State::kSubscribing && state_ != State::kConnected) return std::nullopt;
  // Once sessions look taken over, only one that outlasts the other
  // client's backoff says the other went away.
  Duration stableAfter = shortSessions_ >= settings_.takeoverSessions
                             ? std::max(settings_.stableSession, settings_.maxRetry * 2)
                             : settings_.stableSession;
  bool stable = state_ == State::kConnected && now - upSince_ >= stableAfter;
  MoveToNextBroker();  // another node of the cluster, should there be one
  Duration delay;
  std::optional<unsigned> takeover;
  if (stable) {
    backoff_.Reset();
    shortSessions_ = 0;
    delay = draw_(Duration::zero(), settings_.minRetry);
  } else {
    if (++shortSessions_ == settings_.takeoverSessions) takeover = shortSessions_;
    delay = backoff_.Next();
  }
  if (keepReconnecting_ && wanted_) {
    AttemptAt(now + settings_.settle + delay);
  } else {
    state_ = State::kIdle;
  }
  return takeover;
}

void ReconnectMachine::AttemptAt(TimePoint at) {
  state_ = State::kWaiting;
  attemptAt_ = at;
}

// The time left to a waiting caller (a single broker may take it all), else
// the background's; bounded when other brokers could answer meanwhile.
std::chrono::seconds ReconnectMachine::AttemptTimeout(TimePoint now) const {
  using std::chrono::seconds;
  seconds timeout = settings_.attemptTimeout;
  if (waitUntil_) {
    timeout = std::max(seconds(1), std::chrono::duration_cast<seconds>(*waitUntil_ - now) + seconds(1));
  }
  return brokers_ > 1 ? std::min(timeout, settings_.failoverAttemptTimeout) : timeout;
}

}  // namespace mqtt
}  // namespace kiv
