#include "Timers.h"

#include <algorithm>

namespace kiv {

Timer::~Timer() {
  if (owner_ != nullptr) owner_->Cancel(*this);
}

Timers::~Timers() {
  for (Timer* timer : armed_) timer->owner_ = nullptr;
}

void Timers::Arm(Timer& timer, Duration after) {
  Cancel(timer);
  timer.key_ = {Now() + after, ++sequence_};
  timer.owner_ = this;
  armed_.insert(std::upper_bound(armed_.begin(), armed_.end(), &timer, DueLater), &timer);
}

void Timers::Cancel(Timer& timer) {
  if (timer.owner_ != this) return;
  armed_.erase(std::lower_bound(armed_.begin(), armed_.end(), &timer, DueLater));
  timer.owner_ = nullptr;
}

std::optional<Timers::TimePoint> Timers::NextDue() const {
  if (armed_.empty()) return std::nullopt;
  return armed_.back()->key_.first;
}

void Timers::RunDue() {
  TimePoint now = Now();
  while (!armed_.empty() && armed_.back()->key_.first <= now) {
    Timer* timer = armed_.back();
    armed_.pop_back();
    timer->owner_ = nullptr;
    timer->fire_();  // may arm or cancel timers, itself included
  }
}

}  // namespace kiv
