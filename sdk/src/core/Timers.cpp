#include "Timers.h"

namespace kiv {

Timer::~Timer() {
  if (owner_ != nullptr) owner_->Cancel(*this);
}

Timers::~Timers() {
  for (auto& entry : armed_) entry.second->owner_ = nullptr;
}

void Timers::Arm(Timer& timer, Duration after) {
  Cancel(timer);
  timer.key_ = {Now() + after, ++sequence_};
  timer.owner_ = this;
  armed_.emplace(timer.key_, &timer);
}

void Timers::Cancel(Timer& timer) {
  if (timer.owner_ != this) return;
  armed_.erase(timer.key_);
  timer.owner_ = nullptr;
}

std::optional<Timers::TimePoint> Timers::NextDue() const {
  if (armed_.empty()) return std::nullopt;
  return armed_.begin()->first.first;
}

void Timers::RunDue() {
  TimePoint now = Now();
  while (!armed_.empty() && armed_.begin()->first.first <= now) {
    Timer* timer = armed_.begin()->second;
    armed_.erase(armed_.begin());
    timer->owner_ = nullptr;
    timer->fire_();  // may arm or cancel timers, itself included
  }
}

}  // namespace kiv
