// Keeps the gateway registered with the platform's CSE (the registrar).
//
// After every connection the gateway registers as a remoteCSE (an existing
// registration, 4105, is updated with the current point of access), then
// creates its records container; then records may go (the outbox opens).
// Records live under the remoteCSE, or under an <AE> the gateway creates
// after the remoteCSE (and updates, when it exists from an earlier run). A registrar that refuses a
// container under a remoteCSE as not allowed there moves the records under
// the <AE> for the rest of the run, with one line saying so.
// With the container in place, the gateway guards its resources there: an
// access control policy under the records' parent, which the parent and the
// container then point at. A CSE that refuses any of that is not asked again
// in this run (one line says what it answered): records never wait for it.
// While registered, the registration is looked at now and then (a jittered
// interval) and renewed when the CSE lost it (4004, to the check or to a
// record).
//
// A step not answered in time is sent again after a jittered back-off, and
// an answer to any of its sends, late ones included, counts as its answer:
// a slow CSE is never asked to start over. A refused step starts the
// registration over after the back-off. One line per stretch of failures.
//
// Runs on the SDK's loop: not thread-safe.
#ifndef KIV_SDK_CORE_REGISTRATION_H
#define KIV_SDK_CORE_REGISTRATION_H

#include "AnswerDeadline.h"
#include "Backoff.h"
#include "RegistrarLink.h"
#include "Timers.h"

#include <functional>
#include <list>
#include <string>
#include <utility>

namespace kiv {

class Registration {
public:
  using Step = RegistrarLink::Step;
  using Duration = Timers::Duration;

  struct Settings {
    Duration checkInterval = std::chrono::minutes(5);  // drawn in [3/4, 5/4] of it
    Backoff::Policy retry{std::chrono::seconds(15), std::chrono::minutes(5), 0.0};
    bool recordsUnderApp = false;
    bool guardResources = false;  // the access control policy steps
  };

  // changed(true) once registered, changed(false) when no longer.
  Registration(Settings settings, Timers& timers, RegistrarLink& link, AnswerDeadline& deadline,
               Backoff::Draw draw, Function<void(bool registered)> changed);

  void Connected();
  void Disconnected();
  // A record was answered 4004: the CSE no longer knows the gateway.
  void Lost();
  // A record was stored: the registration works.
  void RecordStored() { lostAgain_ = false; }
  // An answer to one of its steps' sends (debug: the CSE's text, when it
  // gave one); false when it is to none.
  bool Answer(const std::string& rqi, int rsc, const std::string& debug = "");

  bool Registered() const { return state_ == State::kRegistered; }
  // Where the container and the records go, for the steps and records sent.
  bool RecordsUnderApp() const { return recordsUnderApp_; }

private:
  enum class State { kOffline, kRegistering, kWaiting, kRegistered };

  void Begin(Step step);
  void Send();
  void AnswerMissing();
  void Retry();
  void StepAnswered(int rsc, const std::string& debug);
  Step AfterRegistration() const;
  bool MoveRecordsToApp(int rsc, const std::string& debug);
  void PolicyStepAnswered(bool done, int rsc, const std::string& debug, Step next);
  void BecomeRegistered();
  void Unregistered();
  void ArmCheck();
  void Fail(const std::string& why);

  Settings settings_;
  Timers& timers_;
  RegistrarLink& link_;
  AnswerDeadline& deadline_;
  Backoff::Draw draw_;
  Backoff retry_;
  Function<void(bool)> changed_;

  bool recordsUnderApp_;
  bool guardResources_;  // until a CSE refuses the policy
  State state_ = State::kOffline;
  Step step_ = Step::kCreate;
  // The sends of the step under way: an answer to any of them is its answer.
  std::list<std::pair<std::string, Timers::TimePoint>> sends_;
  bool awaiting_ = false;        // the step's answer has not come
  bool startOver_ = false;       // the retry begins with the create
  bool failureLogged_ = false;   // once per stretch of failures
  bool lostAgain_ = false;       // a 4004 since the last registration, no record stored since
  Timer answerTimer_;
  Timer retryTimer_;
  Timer checkTimer_;
};

}  // namespace kiv

#endif
