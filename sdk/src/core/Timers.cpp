#include "Timers.h"

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
  auto later = armed_.end();
  while (later != armed_.begin() && (*std::prev(later))->key_ > timer.key_) --later;
  timer.place_ = armed_.insert(later, &timer);
}

void Timers::Cancel(Timer& timer) {
  if (timer.owner_ != this) return;
  armed_.erase(timer.place_);
  timer.owner_ = nullptr;
}

std::optional<Timers::TimePoint> Timers::NextDue() const {
  if (armed_.empty()) return std::nullopt;
  return armed_.front()->key_.first;
}

void Timers::RunDue() {
  TimePoint now = Now();
  while (!armed_.empty() && armed_.front()->key_.first <= now) {
    Timer* timer = armed_.front();
    armed_.pop_front();
    timer->owner_ = nullptr;
    timer->fire_();  // may arm or cancel timers, itself included
  }
}

}  // namespace kiv
