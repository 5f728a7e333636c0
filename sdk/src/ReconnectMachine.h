// When the MQTT client attempts a connection, to which broker, and how a
// caller's wait for it ends.
//
// A caller's Connect starts attempts at once, unless the broker refused the
// login lately (below); a failed attempt is followed by the next after a
// delay drawn between half and all of a backoff that doubles up to a
// ceiling (the jitter keeps a fleet of gateways from returning in lockstep
// after a broker restart). The backoff starts over only after a session
// that stayed up (stableSession): a broker, or a cluster node, that takes
// the login and then drops the session at once is retried less and less
// often, and a run of such sessions (another client with the same id
// taking the connection over, each in turn) is said once. A server URI may list the
// nodes of a cluster: each attempt goes to the next broker of the list, in
// turn, so the first connection goes to the first that answers and a lost
// connection is followed by an attempt to the next node. After a lost
// connection of an established client the attempts go on by themselves.
//
// A login refused by every broker (each answered and said no) is retried far more
// slowly, as the registration is: 15 s, doubling up to 5 min, each drawn
// between three quarters and all of its step, until a login succeeds. A
// fleet with a stale password must not hammer its broker, and a caller's
// Connect in between ends at once, refused, without an attempt.
//
// A pure state machine: the MQTT adapter feeds it the library's events with
// the current time and starts the attempts it asks for; the random source is
// injected. Not thread-safe: the adapter serialises the calls.
#ifndef KIV_SDK_RECONNECT_MACHINE_H
#define KIV_SDK_RECONNECT_MACHINE_H

#include "Backoff.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>

namespace kiv {
namespace mqtt {

class ReconnectMachine {
public:
  using Clock = std::chrono::steady_clock;
  using TimePoint = Clock::time_point;
  using Duration = Clock::duration;
  // A duration drawn uniformly from [low, high].
  using Draw = Function<Duration(Duration low, Duration high)>;

  struct Settings {
    bool autoReconnect = true;  // after a lost connection of an established client
    Duration minRetry = std::chrono::milliseconds(500);  // the first backoff
    Duration maxRetry = std::chrono::seconds(30);        // its ceiling
    // Between a lost connection and the first attempt: the MQTT library
    // goes on closing the lost connection for a moment after reporting it.
    Duration settle = std::chrono::milliseconds(100);
    // The library's own timeout for one attempt, when no caller waits: with
    // one broker, and with others that could answer meanwhile.
    std::chrono::seconds attemptTimeout{30};
    std::chrono::seconds failoverAttemptTimeout{10};
    Duration firstRefusalRetry = std::chrono::seconds(15);  // after a refused login, doubling
    Duration maxRefusalRetry = std::chrono::minutes(5);
    // A session that lasted this long was a good one: the backoff starts over.
    Duration stableSession = std::chrono::seconds(10);
    // This many short sessions in a row look like a takeover.
    unsigned takeoverSessions = 3;
  };

  enum class State {
    kIdle,         // no connection, none attempted
    kWaiting,      // an attempt is due at NextDeadline()
    kAttempting,   // the library is connecting to broker()
    kSubscribing,  // connected, the subscriptions are being renewed
    kConnected,
  };
  enum class Outcome { kConnected, kTimedOut, kRefused, kStopped };

  struct Attempt {
    size_t broker;                 // index in the server URI's list
    std::chrono::seconds timeout;  // the library's timeout for it
  };

  ReconnectMachine(size_t brokers, Settings settings, Draw draw);

  // A caller asks for a connection and waits for it until deadline.
  void Connect(TimePoint now, TimePoint deadline);
  // The caller's wait ends, with its outcome: connected; refused by every
  // broker in a row; no longer wanted (Disconnect); or at its deadline.
  // nullopt: wait on. A first connection that failed stops there; an
  // established client goes on reconnecting.
  std::optional<Outcome> EndOfWait(TimePoint now);
  // No connection is wanted any more; an attempt under way is dropped when
  // it succeeds (SessionUp).
  void Disconnect();

  // The attempt to start now, when one is due; NextDeadline says when.
  std::optional<Attempt> Tick(TimePoint now);
  std::optional<TimePoint> NextDeadline() const;

  // The library's events. refused: the broker answered and said no. Returns
  // the wait until the next attempt when the refusal is worth a log line:
  // the first of a stretch of refusals, and each that doubled the wait.
  std::optional<Duration> AttemptFailed(TimePoint now, bool refused);
  // The attempt connected: true to renew the subscriptions (then
  // Subscribed), false to drop the connection, which nobody wants now.
  bool SessionUp();
  // The subscriptions are renewed (or there were none): whether this is a
  // reconnection, or nullopt when the connection was lost meanwhile.
  std::optional<bool> Subscribed(TimePoint now);
  // The session ended. Returns the number of short sessions in a row when
  // they first look like a takeover (once per run of them).
  std::optional<unsigned> Lost(TimePoint now);

  State state() const { return state_; }
  bool IsConnected() const { return state_ == State::kConnected; }
  // The broker connected to, being tried, or tried next.
  size_t broker() const { return current_; }

private:
  void AttemptAt(TimePoint at);
  void MoveToNextBroker() { current_ = (current_ + 1) % brokers_; }
  std::chrono::seconds AttemptTimeout(TimePoint now) const;
  Duration NextDelay(TimePoint now, bool refused, bool* refusalStepGrew);
  bool HoldingOffAfterRefusal(TimePoint now) const { return refusedUntil_ && now < *refusedUntil_; }

  const size_t brokers_;
  const Settings settings_;
  Draw draw_;
  State state_ = State::kIdle;
  size_t current_ = 0;
  bool wanted_ = false;            // a connection is asked for (Connect, not Disconnect)
  bool keepReconnecting_ = false;  // an established client, until Disconnect
  bool everConnected_ = false;
  std::optional<TimePoint> waitUntil_;  // a caller's deadline
  size_t refusalsInARow_ = 0;
  Backoff backoff_;
  Backoff refusalBackoff_;
  Duration refusalStep_{0};                // 0: the last login was not refused
  TimePoint upSince_{};
  unsigned shortSessions_ = 0;
  std::optional<TimePoint> refusedUntil_;  // no attempt before, after a refusal
  TimePoint attemptAt_{};
};

}  // namespace mqtt
}  // namespace kiv

#endif
