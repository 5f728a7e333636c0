#include "Registration.h"

#include "Format.h"
#include "Protocol.h"
#include "kiv/Proxy.h"  // LogCategory

#include <algorithm>
#include <cctype>

namespace kiv {
namespace {

constexpr size_t kSendsRemembered = 8;

const char* StepName(RegistrarLink::Step step) {
  switch (step) {
    case RegistrarLink::Step::kCreate: return "registration";
    case RegistrarLink::Step::kUpdate: return "registration update";
    case RegistrarLink::Step::kAppCreate: return "records application";
    case RegistrarLink::Step::kAppUpdate: return "records application update";
    case RegistrarLink::Step::kContainer: return "records container";
    case RegistrarLink::Step::kPolicy: return "access control policy";
    case RegistrarLink::Step::kPolicyUpdate: return "access control policy update";
    case RegistrarLink::Step::kParentGuard: return "policy reference of the records' parent";
    case RegistrarLink::Step::kContainerGuard: return "policy reference of the records container";
    default: return "registration check";
  }
}

// A refusal of the container because of where it was asked for: 4108 is
// the standard's answer, some CSEs answer 5203 or 4000 with a text instead.
bool RefusedUnderThisParent(int rsc, const std::string& debug) {
  if (rsc == protocol::kRscInvalidChildType) return true;
  if (rsc != protocol::kRscBadRequest && rsc != protocol::kRscNotSubscribable) return false;
  std::string text;
  for (char c : debug) text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text.find("parent") != std::string::npos || text.find("child") != std::string::npos;
}

// "4108" or "5203 \"its text\"": what the CSE answered, for a log line.
std::string Answered(int rsc, const std::string& debug) {
  return debug.empty() ? std::to_string(rsc) : Format("%d \"%s\"", rsc, debug.c_str());
}

long long Seconds(Timers::Duration duration) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

}  // namespace

Registration::Registration(Settings settings, Timers& timers, RegistrarLink& link,
                           AnswerDeadline& deadline, Backoff::Draw draw,
                           Function<void(bool)> changed)
    : settings_(settings),
      timers_(timers),
      link_(link),
      deadline_(deadline),
      draw_(draw),
      retry_(settings.retry, draw),
      changed_(std::move(changed)),
      recordsUnderApp_(settings.recordsUnderApp),
      guardResources_(settings.guardResources),
      answerTimer_([this] { AnswerMissing(); }),
      retryTimer_([this] { Retry(); }),
      checkTimer_([this] { Begin(Step::kCheck); }) {}

void Registration::Connected() {
  failureLogged_ = false;
  lostAgain_ = false;
  Begin(Step::kCreate);
}

void Registration::Disconnected() {
  bool was = state_ == State::kRegistered;
  state_ = State::kOffline;
  awaiting_ = false;
  sends_.clear();
  timers_.Cancel(answerTimer_);
  timers_.Cancel(retryTimer_);
  timers_.Cancel(checkTimer_);
  if (was) changed_(false);
}

void Registration::Lost() {
  if (state_ != State::kRegistered) return;  // registering already, or offline
  Unregistered();
  if (lostAgain_) {
    return Fail("the platform's CSE does not find the records container even after a new "
                "registration (4004)");
  }
  lostAgain_ = true;
  Begin(Step::kCreate);
}

void Registration::Begin(Step step) {
  if (step != Step::kCheck) state_ = State::kRegistering;
  step_ = step;
  sends_.clear();
  Send();
}

void Registration::Send() {
  std::string rqi = link_.NewRequestId();
  if (sends_.size() >= kSendsRemembered) sends_.erase(sends_.begin());
  sends_.emplace_back(rqi, timers_.Now());
  awaiting_ = true;
  timers_.Arm(answerTimer_, deadline_.Current());
  link_.SendStep(step_, rqi);
}

// The step's answer did not come in time. A check says nothing by its
// silence (the records tell whether the CSE works): it is simply made
// again later. Any other step is sent again after the back-off, and its
// late answer still counts.
void Registration::AnswerMissing() {
  if (step_ == Step::kCheck && state_ == State::kRegistered) return ArmCheck();
  state_ = State::kWaiting;
  startOver_ = false;
  Duration wait = retry_.Next();
  if (!failureLogged_) {
    failureLogged_ = true;
    link_.Log(kLogError, Format("not registered with the platform's CSE: no answer to the %s in "
                                "%lld s; records wait for it, it is asked again in %lld s, and an "
                                "answer that comes late still counts",
                                StepName(step_), Seconds(deadline_.Current()), Seconds(wait)));
  }
  timers_.Arm(retryTimer_, wait);
}

void Registration::Retry() {
  if (startOver_) return Begin(Step::kCreate);
  state_ = State::kRegistering;
  Send();
}

bool Registration::Answer(const std::string& rqi, int rsc, const std::string& debug) {
  auto send = std::find_if(sends_.begin(), sends_.end(),
                           [&](const auto& entry) { return entry.first == rqi; });
  if (send == sends_.end()) return false;
  if (!awaiting_) return true;  // answered already (by another send of the step)
  deadline_.Measured(timers_.Now() - send->second);
  awaiting_ = false;
  timers_.Cancel(answerTimer_);
  timers_.Cancel(retryTimer_);
  if (step_ != Step::kCheck) state_ = State::kRegistering;
  StepAnswered(rsc, debug);
  return true;
}

void Registration::StepAnswered(int rsc, const std::string& debug) {
  bool updated = rsc == protocol::kRscUpdated || rsc == protocol::kRscOk;
  switch (step_) {
    case Step::kCreate:
      if (rsc == protocol::kRscCreated) return Begin(AfterRegistration());
      // Registered before (a restart, a reconnection): bring the point of access up to date.
      if (rsc == protocol::kRscConflict) return Begin(Step::kUpdate);
      break;
    case Step::kUpdate:
      if (updated) return Begin(AfterRegistration());
      break;
    case Step::kAppCreate:
      if (rsc == protocol::kRscCreated) return Begin(Step::kContainer);
      // The AE of an earlier run: some CSEs tell it by its name (4105),
      // others by its originator (4117).
      if (rsc == protocol::kRscConflict || rsc == protocol::kRscAlreadyRegistered)
        return Begin(Step::kAppUpdate);
      break;
    case Step::kAppUpdate:
      if (updated) return Begin(Step::kContainer);
      break;
    case Step::kContainer:
      if (rsc == protocol::kRscCreated || rsc == protocol::kRscConflict) {
        return guardResources_ ? Begin(Step::kPolicy) : BecomeRegistered();
      }
      if (MoveRecordsToApp(rsc, debug)) return Begin(Step::kAppCreate);
      break;
    // The policy of an earlier run (4105) is brought up to date: the
    // readers may have changed.
    case Step::kPolicy:
      if (rsc == protocol::kRscConflict) return Begin(Step::kPolicyUpdate);
      return PolicyStepAnswered(rsc == protocol::kRscCreated, rsc, debug, Step::kParentGuard);
    case Step::kPolicyUpdate: return PolicyStepAnswered(updated, rsc, debug, Step::kParentGuard);
    case Step::kParentGuard: return PolicyStepAnswered(updated, rsc, debug, Step::kContainerGuard);
    case Step::kContainerGuard: return PolicyStepAnswered(updated, rsc, debug, Step::kCheck);
    case Step::kCheck:
      if (rsc == protocol::kRscNotFound) {
        Unregistered();
        return Begin(Step::kCreate);
      }
      return ArmCheck();  // any other answer: the CSE is there, the records tell the rest
  }
  Fail(Format("not registered with the platform's CSE: %s answered %d", StepName(step_), rsc));
}

Registration::Step Registration::AfterRegistration() const {
  return recordsUnderApp_ ? Step::kAppCreate : Step::kContainer;
}

bool Registration::MoveRecordsToApp(int rsc, const std::string& debug) {
  if (recordsUnderApp_ || !RefusedUnderThisParent(rsc, debug)) return false;
  recordsUnderApp_ = true;
  link_.Log(kLogWarning, Format("the platform's CSE does not take the records container under the "
                                "gateway's remoteCSE (%s): records are kept under the gateway's "
                                "AE from now on",
                                Answered(rsc, debug).c_str()));
  return true;
}

// A policy step's answer: on to next (kCheck: registered), or, refused,
// registered without the policy and without asking again in this run.
void Registration::PolicyStepAnswered(bool done, int rsc, const std::string& debug, Step next) {
  if (!done) {
    guardResources_ = false;
    link_.Log(kLogWarning, Format("the platform's CSE refused the %s (%s): the gateway's resources "
                                  "there keep the CSE's default access",
                                  StepName(step_), Answered(rsc, debug).c_str()));
  }
  if (!done || next == Step::kCheck) return BecomeRegistered();
  Begin(next);
}

void Registration::BecomeRegistered() {
  state_ = State::kRegistered;
  retry_.Reset();
  failureLogged_ = false;
  link_.Log(kLogInformation, "registered with the platform's CSE");
  ArmCheck();
  changed_(true);
}

void Registration::Unregistered() {
  bool was = state_ == State::kRegistered;
  state_ = State::kRegistering;
  timers_.Cancel(checkTimer_);
  if (was) changed_(false);
}

void Registration::ArmCheck() {
  Duration interval = settings_.checkInterval;
  timers_.Arm(checkTimer_, draw_(interval * 3 / 4, interval * 5 / 4));
}

void Registration::Fail(const std::string& why) {
  state_ = State::kWaiting;
  startOver_ = true;
  Duration wait = retry_.Next();
  if (!failureLogged_) {
    failureLogged_ = true;
    link_.Log(kLogError,
              Format("%s; records wait for it, next attempt in %lld s", why.c_str(), Seconds(wait)));
  }
  timers_.Arm(retryTimer_, wait);
}

}  // namespace kiv
