#include "Registrar.h"

#include "kiv/Proxy.h"  // LogCategory

namespace kiv {
namespace {

constexpr int kCreated = 2001;
constexpr int kOk = 2000;
constexpr int kUpdated = 2004;
constexpr int kNotFound = 4004;
constexpr int kConflict = 4105;  // already exists

const char* StepName(Registrar::Step step) {
  switch (step) {
    case Registrar::Step::kCreate: return "registration";
    case Registrar::Step::kUpdate: return "registration update";
    case Registrar::Step::kContainer: return "records container";
    default: return "registration check";
  }
}

}  // namespace

Registrar::Registrar(Timing timing, std::function<std::string()> newRequestId)
    : timing_(timing), newRequestId_(std::move(newRequestId)), backoff_(timing.firstRetry) {}

Registrar::Output Registrar::Connected(TimePoint now) {
  failureLogged_ = false;
  backoff_ = timing_.firstRetry;
  return Begin(Step::kCreate, now);
}

void Registrar::Disconnected() {
  state_ = State::kOffline;
  inFlight_.reset();
}

Registrar::Output Registrar::Begin(Step step, TimePoint now) {
  if (step != Step::kCheck) {
    state_ = State::kRegistering;
    if (step == Step::kCreate) {
      lastAttempt_ = now;
      holdUntil_ = now + timing_.holdTimeout;
    }
  }
  inFlight_ = InFlight{step, newRequestId_(), now + timing_.answerTimeout};
  Output output;
  output.send = Request{step, inFlight_->rqi};
  return output;
}

bool Registrar::Holding(TimePoint now) const {
  return flushing_ || !held_.empty() || (state_ == State::kRegistering && now < holdUntil_);
}

bool Registrar::Record(const std::string& rqi, const std::string& body, TimePoint now,
                       bool mayHold) {
  if (mayHold && Holding(now) && held_.size() < kMaxHeld) {
    held_.emplace_back(rqi, body);
    return false;
  }
  // Beyond what is held, a record goes out at once: if the registrar
  // refuses it for want of the registration, it is sent once more later.
  Remember(rqi, body, now);
  return true;
}

void Registrar::Remember(const std::string& rqi, const std::string& body, TimePoint now) {
  // A record whose answer is overdue is forgotten: no registrar answers.
  for (auto it = unanswered_.begin(); it != unanswered_.end();) {
    it = now - it->second.at > 3 * timing_.answerTimeout ? unanswered_.erase(it) : std::next(it);
  }
  if (unanswered_.size() >= kMaxUnanswered && unanswered_.count(rqi) == 0) {
    auto oldest = unanswered_.begin();
    for (auto it = unanswered_.begin(); it != unanswered_.end(); ++it) {
      if (it->second.at < oldest->second.at) oldest = it;
    }
    unanswered_.erase(oldest);
  }
  Sent& sent = unanswered_[rqi];  // a record sent once more keeps its mark
  sent.body = body;
  sent.at = now;
}

std::vector<std::string> Registrar::TakeHeld(TimePoint now) {
  std::vector<std::string> bodies;
  flushing_ = !held_.empty();
  for (auto& [rqi, body] : held_) {
    Remember(rqi, body, now);
    bodies.push_back(std::move(body));
  }
  held_.clear();
  return bodies;
}

void Registrar::Flushed() { flushing_ = false; }

Registrar::Output Registrar::Answer(const std::string& rqi, int rsc, TimePoint now) {
  if (inFlight_ && inFlight_->rqi == rqi) {
    Step step = inFlight_->step;
    inFlight_.reset();
    return StepAnswered(step, rsc, now);
  }
  return RecordAnswered(rqi, rsc, now);
}

Registrar::Output Registrar::StepAnswered(Step step, int rsc, TimePoint now) {
  if (state_ == State::kOffline) return Output();
  switch (step) {
    case Step::kCreate:
      if (rsc == kCreated) return Begin(Step::kContainer, now);
      // Registered before (a reconnection): bring the point of access up to date.
      if (rsc == kConflict) return Begin(Step::kUpdate, now);
      break;
    case Step::kUpdate:
      if (rsc == kUpdated || rsc == kOk) return Begin(Step::kContainer, now);
      break;
    case Step::kContainer:
      if (rsc == kCreated || rsc == kConflict) {
        state_ = State::kRegistered;
        checkAt_ = now + timing_.checkInterval;
        backoff_ = timing_.firstRetry;
        failureLogged_ = false;
        Output output;
        output.flush = !held_.empty();
        output.logCategory = kLogInformation;
        output.log = "registered with the platform's CSE";
        return output;
      }
      break;
    case Step::kCheck:
      if (rsc == kOk) {
        checkAt_ = now + timing_.checkInterval;
        return Output();
      }
      if (rsc == kNotFound) return Begin(Step::kCreate, now);
      break;
  }
  return Fail(std::string(StepName(step)) + " answered " + std::to_string(rsc), now);
}

Registrar::Output Registrar::RecordAnswered(const std::string& rqi, int rsc, TimePoint now) {
  Output output;
  auto sent = unanswered_.find(rqi);
  if (sent == unanswered_.end()) {
    output.report = rsc;  // not ours to judge: the gateway hears it
    return output;
  }
  if (rsc != kNotFound || sent->second.resent) {
    unanswered_.erase(sent);
    output.report = rsc;
    return output;
  }
  // The registrar has lost the registration: register again, then send the
  // record once more.
  sent->second.resent = true;
  held_.emplace_back(rqi, sent->second.body);
  if (state_ == State::kRegistering) return output;
  if (now - lastAttempt_ >= timing_.minReregister || state_ == State::kWaiting) {
    return Begin(Step::kCreate, now);
  }
  output.flush = !flushing_;
  return output;
}

Registrar::Output Registrar::Fail(const std::string& why, TimePoint now) {
  state_ = State::kWaiting;
  retryAt_ = now + backoff_;
  Output output;
  output.flush = !held_.empty();
  if (!failureLogged_) {
    failureLogged_ = true;
    output.logCategory = kLogError;
    output.log = "not registered with the platform's CSE: " + why +
                 "; records are sent all the same, next attempt in " +
                 std::to_string(std::chrono::duration_cast<std::chrono::seconds>(backoff_).count()) +
                 " s";
  }
  backoff_ = std::min(backoff_ * 2, timing_.maxRetry);
  return output;
}

Registrar::Output Registrar::Tick(TimePoint now) {
  Output output = DueStep(now);
  // Held longer than a registration should take: they go now.
  if (!held_.empty() && !flushing_ && now >= holdUntil_) output.flush = true;
  return output;
}

Registrar::Output Registrar::DueStep(TimePoint now) {
  if (inFlight_ && now >= inFlight_->deadline) {
    Step step = inFlight_->step;
    inFlight_.reset();
    return Fail("no answer to the " + std::string(StepName(step)) + " in " +
                    std::to_string(
                        std::chrono::duration_cast<std::chrono::seconds>(timing_.answerTimeout)
                            .count()) +
                    " s",
                now);
  }
  if (inFlight_) return Output();
  if (state_ == State::kWaiting && now >= retryAt_) return Begin(Step::kCreate, now);
  if (state_ == State::kRegistered && now >= checkAt_) return Begin(Step::kCheck, now);
  return Output();
}

std::optional<Registrar::TimePoint> Registrar::NextDeadline() const {
  if (!held_.empty() && !flushing_ && state_ == State::kRegistering) return holdUntil_;
  if (inFlight_) return inFlight_->deadline;
  if (state_ == State::kWaiting) return retryAt_;
  if (state_ == State::kRegistered) return checkAt_;
  return std::nullopt;
}

}  // namespace kiv
