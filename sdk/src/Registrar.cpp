#include "Registrar.h"

#include "kiv/Proxy.h"  // LogCategory

#include <algorithm>

namespace kiv {
namespace {

constexpr int kOk = 2000;
constexpr int kCreated = 2001;
constexpr int kUpdated = 2004;
constexpr int kNotFound = 4004;
constexpr int kRequestTimeout = 4008;
constexpr int kConflict = 4105;  // already exists

const char* StepName(Registrar::Step step) {
  switch (step) {
    case Registrar::Step::kCreate: return "registration";
    case Registrar::Step::kUpdate: return "registration update";
    case Registrar::Step::kContainer: return "records container";
    default: return "registration check";
  }
}

std::string Seconds(Registrar::Duration duration) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(duration).count()) + " s";
}

std::string Records(size_t count) {
  return std::to_string(count) + (count == 1 ? " record" : " records");
}

// A content instance of that name exists: this record, stored by an earlier
// send whose answer was lost.
bool IsStored(int rsc) { return rsc == kCreated || rsc == kConflict; }

// The registrar could not take the record now; it may later.
bool IsTransient(int rsc) { return rsc == kRequestTimeout || rsc >= 5000; }

}  // namespace

Registrar::Registrar(Timing timing, RecordQueue::Limits limits,
                     std::function<std::string()> newRequestId)
    : timing_(timing),
      newRequestId_(std::move(newRequestId)),
      backoff_(timing.firstRetry),
      queue_(limits) {}

Registrar::Output Registrar::Connected(TimePoint now) {
  Output output;
  failureLogged_ = false;
  backoff_ = timing_.firstRetry;
  renewWanted_ = false;
  Begin(Step::kCreate, now, output);
  return output;
}

Registrar::Output Registrar::Disconnected() {
  Output output;
  if (state_ == State::kOffline) return output;
  state_ = State::kOffline;
  if (stepInFlight_) Retire(stepInFlight_->rqi, "");
  stepInFlight_.reset();
  if (recordInFlight_) Retire(recordInFlight_->rqi, recordInFlight_->name);
  recordInFlight_.reset();
  renewWanted_ = false;
  if (!queue_.Empty()) BeginOutage(output);
  return output;
}

Registrar::Output Registrar::Record(RecordQueue::Entry record, TimePoint now) {
  Output output;
  size_t dropped = queue_.Push(std::move(record));
  if (dropped > 0) {
    droppedInOutage_ += dropped;
    if (!dropLogged_) {
      dropLogged_ = true;
      output.logs.push_back(
          {kLogError, "the record queue is full (" + Records(queue_.limits().records) + " or " +
                          std::to_string(queue_.limits().bytes) +
                          " bytes at most): the oldest records give way to new ones"});
    }
  }
  if (state_ == State::kRegistered) {
    SendNextRecord(now, output);
  } else if (state_ != State::kRegistering) {
    BeginOutage(output);
  }
  return output;
}

Registrar::Output Registrar::Restore(std::vector<RecordQueue::Entry> records) {
  Output output;
  for (RecordQueue::Entry& record : records) droppedInOutage_ += queue_.Push(std::move(record));
  BeginOutage(output);
  return output;
}

Registrar::Output Registrar::Answer(const std::string& rqi, int rsc, TimePoint now) {
  Output output;
  if (stepInFlight_ && stepInFlight_->rqi == rqi) {
    stepInFlight_.reset();
    StepAnswered(step_, rsc, now, output);
    return output;
  }
  if (recordInFlight_ && recordInFlight_->rqi == rqi) {
    RecordAnswered(rsc, now, output);
    return output;
  }
  for (const Retired& retired : retired_) {
    if (retired.rqi == rqi) {
      LateAnswer(retired, rsc, now, output);
      return output;
    }
  }
  output.reports.push_back({rqi, rsc});  // not ours to judge: the gateway hears it
  return output;
}

void Registrar::Begin(Step step, TimePoint now, Output& output) {
  if (step != Step::kCheck) state_ = State::kRegistering;
  step_ = step;
  stepInFlight_ = InFlight{newRequestId_(), now + timing_.answerTimeout, ""};
  output.send = Request{step, stepInFlight_->rqi};
}

void Registrar::StepAnswered(Step step, int rsc, TimePoint now, Output& output) {
  switch (step) {
    case Step::kCreate:
      if (rsc == kCreated) return Begin(Step::kContainer, now, output);
      // Registered before (a restart, a reconnection): bring the point of access up to date.
      if (rsc == kConflict) return Begin(Step::kUpdate, now, output);
      break;
    case Step::kUpdate:
      if (rsc == kUpdated || rsc == kOk) return Begin(Step::kContainer, now, output);
      break;
    case Step::kContainer:
      if (rsc == kCreated || rsc == kConflict) return Registered(now, output);
      break;
    case Step::kCheck:
      if (renewWanted_ || rsc == kNotFound) {
        renewWanted_ = false;
        return Begin(Step::kCreate, now, output);
      }
      if (rsc == kOk) {
        checkAt_ = now + timing_.checkInterval;
        return SendNextRecord(now, output);
      }
      break;
  }
  Fail("not registered with the platform's CSE: " + std::string(StepName(step)) + " answered " +
           std::to_string(rsc),
       now, output, kLogError);
}

void Registrar::Registered(TimePoint now, Output& output) {
  state_ = State::kRegistered;
  checkAt_ = now + timing_.checkInterval;
  backoff_ = timing_.firstRetry;
  failureLogged_ = false;
  output.logs.push_back({kLogInformation, "registered with the platform's CSE"});
  SendNextRecord(now, output);
}

void Registrar::SendNextRecord(TimePoint now, Output& output) {
  if (recordInFlight_ || queue_.Empty() || state_ != State::kRegistered || renewWanted_) return;
  const RecordQueue::Entry& head = queue_.Front();
  // The first send goes under Create's id, so that the wire and the
  // gateway's log name it alike; every resend is a request of its own.
  std::string rqi = headSent_ ? newRequestId_() : head.id;
  headSent_ = true;
  recordInFlight_ = InFlight{rqi, now + timing_.answerTimeout, head.name};
  output.record = RecordSend{rqi, head.name, head.text};
}

bool Registrar::HeadIs(const std::string& name) const {
  return !queue_.Empty() && queue_.Front().name == name;
}

void Registrar::RecordAnswered(int rsc, TimePoint now, Output& output) {
  std::string name = recordInFlight_->name;
  recordInFlight_.reset();
  // Dropped from a full queue while in flight: nothing left to keep or send again.
  if (!HeadIs(name)) return SendNextRecord(now, output);
  if (IsStored(rsc)) {
    Stored(output);
    return SendNextRecord(now, output);
  }
  if (rsc == kNotFound) {
    BeginOutage(output);
    if (headNotFound_) {
      return Fail("the platform's CSE does not find the records container even after a new "
                  "registration (4004)",
                  now, output, kLogError);
    }
    // The registrar lost the registration (a restart, a failed liveness
    // check): register again, then send the record once more.
    headNotFound_ = true;
    return RenewRegistration(now, output);
  }
  if (IsTransient(rsc)) {
    BeginOutage(output);
    return Fail("the platform's CSE answered a record " + std::to_string(rsc), now, output,
                kLogWarning);
  }
  Refused(rsc, output);
  SendNextRecord(now, output);
}

void Registrar::LateAnswer(const Retired& retired, int rsc, TimePoint now, Output& output) {
  // A step's answer after its timeout: that attempt is over already.
  if (retired.name.empty() || !IsStored(rsc) || !HeadIs(retired.name)) return;
  // A record stored after all: a send of it still in flight can only meet
  // the stored one now (4105).
  if (recordInFlight_) Retire(recordInFlight_->rqi, recordInFlight_->name);
  recordInFlight_.reset();
  Stored(output);
  SendNextRecord(now, output);
}

void Registrar::Stored(Output& output) {
  output.reports.push_back({queue_.Front().id, kCreated});
  PopHead();
  if (refusedInStretch_ > 1) {
    output.logs.push_back({kLogError, Records(refusedInStretch_ - 1) +
                                          " more refused by the platform's CSE and dropped"});
  }
  refusedInStretch_ = 0;
  if (outage_) {
    outage_ = false;
    if (!draining_) deliveredAfterOutage_ = 0;
    draining_ = true;
  }
  if (draining_) ++deliveredAfterOutage_;
  if (draining_ && queue_.Empty()) {
    std::string line = "delivered " + Records(deliveredAfterOutage_) + " held during the outage";
    int category = kLogWarning;
    if (droppedInOutage_ > 0) {
      line += "; " + std::to_string(droppedInOutage_) + " older ones were dropped (the queue was full)";
      category = kLogError;
    }
    output.logs.push_back({category, line});
    draining_ = false;
    droppedInOutage_ = 0;
    dropLogged_ = false;
  }
}

void Registrar::Refused(int rsc, Output& output) {
  const RecordQueue::Entry& head = queue_.Front();
  output.reports.push_back({head.id, rsc});
  if (refusedInStretch_++ == 0) {
    output.logs.push_back({kLogError, "record " + head.name + " refused by the platform's CSE (" +
                                          std::to_string(rsc) +
                                          "): dropped; further refusals are counted until a "
                                          "record is stored"});
  }
  PopHead();
}

void Registrar::PopHead() {
  queue_.PopFront();
  headSent_ = false;
  headNotFound_ = false;
}

void Registrar::RenewRegistration(TimePoint now, Output& output) {
  // Offline: the next connection registers. Waiting: the next back-off step does.
  if (state_ == State::kOffline || state_ == State::kWaiting) return;
  if (stepInFlight_) {
    // A registration under way will do; a check in flight is let finish first.
    if (step_ == Step::kCheck) renewWanted_ = true;
    return;
  }
  Begin(Step::kCreate, now, output);
}

void Registrar::Fail(const std::string& why, TimePoint now, Output& output, int category) {
  state_ = State::kWaiting;
  retryAt_ = now + backoff_;
  renewWanted_ = false;
  if (recordInFlight_) Retire(recordInFlight_->rqi, recordInFlight_->name);
  recordInFlight_.reset();
  if (!queue_.Empty()) BeginOutage(output);
  if (!failureLogged_) {
    failureLogged_ = true;
    output.logs.push_back(
        {category, why + "; records wait for it, next attempt in " + Seconds(backoff_)});
  }
  backoff_ = std::min(backoff_ * 2, timing_.maxRetry);
}

void Registrar::BeginOutage(Output& output) {
  if (outage_ || queue_.Empty()) return;
  outage_ = true;
  output.logs.push_back({kLogWarning, Records(queue_.Size()) + " waiting for the platform"});
}

void Registrar::Retire(const std::string& rqi, const std::string& name) {
  retired_.push_back(Retired{rqi, name});
  if (retired_.size() > kMaxRetired) retired_.pop_front();
}

Registrar::Output Registrar::Tick(TimePoint now) {
  Output output;
  if (stepInFlight_ && now >= stepInFlight_->deadline) {
    Retire(stepInFlight_->rqi, "");
    stepInFlight_.reset();
    Fail("not registered with the platform's CSE: no answer to the " +
             std::string(StepName(step_)) + " in " + Seconds(timing_.answerTimeout),
         now, output, kLogError);
    return output;
  }
  if (recordInFlight_ && now >= recordInFlight_->deadline) {
    Fail("the platform's CSE did not answer a record in " + Seconds(timing_.answerTimeout), now,
         output, kLogWarning);
    return output;
  }
  if (state_ == State::kWaiting && now >= retryAt_) {
    Begin(Step::kCreate, now, output);
  } else if (state_ == State::kRegistered && !stepInFlight_ && now >= checkAt_) {
    Begin(Step::kCheck, now, output);
  }
  return output;
}

std::optional<Registrar::TimePoint> Registrar::NextDeadline() const {
  std::optional<TimePoint> next;
  auto consider = [&next](TimePoint at) { next = next ? std::min(*next, at) : at; };
  if (stepInFlight_) consider(stepInFlight_->deadline);
  if (recordInFlight_) consider(recordInFlight_->deadline);
  if (state_ == State::kWaiting) consider(retryAt_);
  if (state_ == State::kRegistered && !stepInFlight_) consider(checkAt_);
  return next;
}

}  // namespace kiv
