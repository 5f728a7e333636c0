// Keeps the gateway registered with the platform's CSE (the registrar) and
// carries its records there.
//
// After every connection the gateway registers as a remoteCSE (an existing
// registration is updated with the current point of access), then creates
// its records container. While that is under way records are held (for a
// short while at most), so that none reaches the registrar before its
// container exists; once registered, or when the registrar is slow to
// answer, they go out in order. A record
// answered 4004 means the registrar lost the registration (a restart, a
// failed liveness check): the gateway registers again and sends that record
// once more. While registered, the registration is looked at now and then.
//
// A pure state machine: the proxy feeds it events with the current time and
// carries out what it returns (docs/protocol.md, "Registration"). Not
// thread-safe: the proxy serialises the calls.
#ifndef KIV_SDK_REGISTRAR_H
#define KIV_SDK_REGISTRAR_H

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kiv {

class Registrar {
public:
  using Clock = std::chrono::steady_clock;
  using TimePoint = Clock::time_point;
  using Duration = Clock::duration;

  struct Timing {
    Duration answerTimeout = std::chrono::seconds(10);  // for each step's answer
    // Records wait this long at most for a registration: without a CSE they
    // still go out, only a little later.
    Duration holdTimeout = std::chrono::seconds(2);
    Duration firstRetry = std::chrono::seconds(15);     // after a failed attempt, doubling
    Duration maxRetry = std::chrono::minutes(5);
    Duration checkInterval = std::chrono::minutes(5);   // looking at the registration
    Duration minReregister = std::chrono::seconds(5);   // between attempts caused by records
  };
  // Records waiting for registration, and records remembered for one resend.
  static constexpr size_t kMaxHeld = 16;
  static constexpr size_t kMaxUnanswered = 32;

  enum class Step { kCreate, kUpdate, kContainer, kCheck };
  struct Request {
    Step step;
    std::string rqi;
  };
  struct Output {
    std::optional<Request> send;  // a request to the registrar to send now
    bool flush = false;           // held records wait for TakeHeld
    std::optional<int> report;    // a record's answer to pass on to the gateway
    int logCategory = 0;          // 0: log nothing, else a LogCategory
    std::string log;
  };

  Registrar(Timing timing, std::function<std::string()> newRequestId);

  Output Connected(TimePoint now);
  void Disconnected();
  // A record to send; true when it may go now (then it is remembered for a
  // resend), false when it is held for TakeHeld. mayHold=false: it goes now
  // in any case (its sender waits for the broker's acknowledgement).
  bool Record(const std::string& rqi, const std::string& body, TimePoint now, bool mayHold = true);
  // A response from the registrar: to one of its steps, or to a record.
  Output Answer(const std::string& rqi, int rsc, TimePoint now);
  // Timeouts, retries and checks that are due.
  Output Tick(TimePoint now);
  std::optional<TimePoint> NextDeadline() const;

  // The held records, in order, for the sender; they are remembered as sent.
  // Records that arrive until Flushed() is called are held too, so that the
  // order on the wire is the order of Record calls.
  std::vector<std::string> TakeHeld(TimePoint now);
  void Flushed();

  bool IsRegistered() const { return state_ == State::kRegistered; }

private:
  enum class State { kOffline, kRegistering, kRegistered, kWaiting };
  struct InFlight {
    Step step;
    std::string rqi;
    TimePoint deadline;
  };
  struct Sent {
    std::string body;
    TimePoint at;
    bool resent = false;
  };

  Output Begin(Step step, TimePoint now);
  Output StepAnswered(Step step, int rsc, TimePoint now);
  Output RecordAnswered(const std::string& rqi, int rsc, TimePoint now);
  Output Fail(const std::string& why, TimePoint now);
  Output DueStep(TimePoint now);
  bool Holding(TimePoint now) const;
  void Remember(const std::string& rqi, const std::string& body, TimePoint now);

  Timing timing_;
  std::function<std::string()> newRequestId_;
  State state_ = State::kOffline;
  std::optional<InFlight> inFlight_;
  TimePoint retryAt_{};
  TimePoint checkAt_{};
  TimePoint lastAttempt_{};
  TimePoint holdUntil_{};
  Duration backoff_;
  bool failureLogged_ = false;  // once per connection
  bool flushing_ = false;
  std::deque<std::pair<std::string, std::string>> held_;  // rqi, body
  std::map<std::string, Sent> unanswered_;
};

}  // namespace kiv

#endif
