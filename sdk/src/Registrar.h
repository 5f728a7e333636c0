// Keeps the gateway registered with the platform's CSE (the registrar) and
// delivers its records there, each stored exactly once or reported lost.
//
// After every connection the gateway registers as a remoteCSE (an existing
// registration is updated with the current point of access), then creates
// its records container. Records wait in a bounded queue until the
// registrar is there, and go out one at a time, in order: a record leaves the
// queue only when the registrar stored it (2001, or 4105: stored by an
// earlier send whose answer was lost). No answer in time, a lost connection,
// a 5xxx or a lost registration (4004) keep it at the head of the queue, and
// it is sent again, under a new request id, once the registrar answers
// again. Any other refusal drops it, and the gateway hears the refusal.
//
// Failures are retried one registration attempt per back-off step, whatever
// is answered meanwhile; while registered, the registration is looked at now
// and then.
//
// A pure state machine: the proxy feeds it events with the current time and
// carries out what it returns (docs/protocol.md, "Registration" and
// "Records"). Not thread-safe: the proxy serialises the calls.
#ifndef KIV_SDK_REGISTRAR_H
#define KIV_SDK_REGISTRAR_H

#include "RecordQueue.h"

#include <chrono>
#include <deque>
#include <functional>
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
    Duration answerTimeout = std::chrono::seconds(10);  // for each step's or record's answer
    Duration firstRetry = std::chrono::seconds(15);     // after a failed attempt, doubling
    Duration maxRetry = std::chrono::minutes(5);
    Duration checkInterval = std::chrono::minutes(5);   // looking at the registration
  };
  // Request ids of timed-out or abandoned sends remembered, so that their
  // late answers are known for what they are.
  static constexpr size_t kMaxRetired = 64;

  enum class Step { kCreate, kUpdate, kContainer, kCheck };
  struct Request {
    Step step;
    std::string rqi;
  };
  // A record to send now: a content instance create under a new request id.
  struct RecordSend {
    std::string rqi;
    std::string name;
    std::string text;
  };
  // The final answer to a record, for the gateway (under Create's id).
  struct Report {
    std::string id;
    int rsc;
  };
  struct LogLine {
    int category;  // a LogCategory
    std::string text;
  };
  struct Output {
    std::optional<Request> send;       // a request to the registrar to send now
    std::optional<RecordSend> record;  // a record to send now
    std::vector<Report> reports;       // records answered for good
    std::vector<LogLine> logs;
  };

  Registrar(Timing timing, RecordQueue::Limits limits, std::function<std::string()> newRequestId);

  Output Connected(TimePoint now);
  Output Disconnected();
  // A record of the gateway, queued; id is what Create returned, name its
  // content instance's resource name.
  Output Record(RecordQueue::Entry record, TimePoint now);
  // Records kept from the last run, before the first connection: they wait
  // ahead of the new ones.
  Output Restore(std::vector<RecordQueue::Entry> records);
  // A response from the registrar: to one of its steps, or to a record.
  // Answers to neither (another party's) are reported under their own id.
  Output Answer(const std::string& rqi, int rsc, TimePoint now);
  // Timeouts, retries and checks that are due.
  Output Tick(TimePoint now);
  std::optional<TimePoint> NextDeadline() const;

  bool IsRegistered() const { return state_ == State::kRegistered; }
  // Whether the record Create returned id for still waits to be stored.
  bool Queued(const std::string& id) const { return queue_.Contains(id); }
  const RecordQueue& queue() const { return queue_; }

private:
  enum class State { kOffline, kRegistering, kRegistered, kWaiting };
  struct InFlight {
    std::string rqi;
    TimePoint deadline;
    std::string name;  // a record's resource name; "" for a step
  };
  struct Retired {
    std::string rqi;
    std::string name;  // the record's, or "" for a step
  };

  void Begin(Step step, TimePoint now, Output& output);
  void StepAnswered(Step step, int rsc, TimePoint now, Output& output);
  void Registered(TimePoint now, Output& output);
  void RecordAnswered(int rsc, TimePoint now, Output& output);
  void LateAnswer(const Retired& retired, int rsc, TimePoint now, Output& output);
  void Stored(Output& output);
  void Refused(int rsc, Output& output);
  void PopHead();
  bool HeadIs(const std::string& name) const;
  // A warning where the registrar is only away for now (records wait, none
  // is lost); an error where it refuses what the gateway sends.
  void Fail(const std::string& why, TimePoint now, Output& output, int category);
  void RenewRegistration(TimePoint now, Output& output);
  void SendNextRecord(TimePoint now, Output& output);
  void Retire(const std::string& rqi, const std::string& name);
  void BeginOutage(Output& output);

  Timing timing_;
  std::function<std::string()> newRequestId_;
  State state_ = State::kOffline;
  Step step_ = Step::kCreate;  // the last step begun
  std::optional<InFlight> stepInFlight_;
  std::optional<InFlight> recordInFlight_;  // the queue's head, sent
  bool headSent_ = false;       // the head went out at least once (resends get new ids)
  bool renewWanted_ = false;    // register again once the check in flight is answered
  bool headNotFound_ = false;   // the head was answered 4004 since it was last registered for
  TimePoint retryAt_{};
  TimePoint checkAt_{};
  Duration backoff_;
  bool failureLogged_ = false;  // once per connection, until registered
  std::deque<Retired> retired_;

  RecordQueue queue_;
  // An outage: records wait that the registrar cannot take now.
  bool outage_ = false;
  bool draining_ = false;       // the registrar answers again, the backlog goes out
  size_t deliveredAfterOutage_ = 0;
  size_t droppedInOutage_ = 0;
  bool dropLogged_ = false;
  size_t refusedInStretch_ = 0;  // records refused since one was last stored
};

}  // namespace kiv

#endif
