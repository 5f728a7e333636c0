// Timers as objects, in the manner of libubox's uloop_timeout: each pending
// thing (a record's answer, the next registration attempt, the next check)
// owns a Timer and arms it; the loop that owns the Timers fires those that
// are due, in the order they fall due.
//
// The clock is injected, so the state machines built on timers run on a
// virtual clock in the tests. Not thread-safe: one thread (the SDK's loop)
// arms, cancels and runs them.
#ifndef KIV_SDK_CORE_TIMERS_H
#define KIV_SDK_CORE_TIMERS_H

#include "Function.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kiv {

class Timers;

class Timer {
public:
  explicit Timer(Function<void()> fire) : fire_(std::move(fire)) {}
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  bool Armed() const { return owner_ != nullptr; }

private:
  friend class Timers;
  Function<void()> fire_;
  Timers* owner_ = nullptr;
  std::pair<std::chrono::steady_clock::time_point, uint64_t> key_{};
};

class Timers {
public:
  using Clock = std::chrono::steady_clock;
  using TimePoint = Clock::time_point;
  using Duration = Clock::duration;

  explicit Timers(Function<TimePoint()> now = Clock::now) : now_(std::move(now)) {}
  ~Timers();
  Timers(const Timers&) = delete;
  Timers& operator=(const Timers&) = delete;

  TimePoint Now() const { return now_(); }
  // (Re)arms the timer to fire once, after the given time.
  void Arm(Timer& timer, Duration after);
  void Cancel(Timer& timer);
  std::optional<TimePoint> NextDue() const;
  // Fires every timer due now, earliest first; a timer armed by one that
  // fires runs too if it is due already.
  void RunDue();

private:
  // The order of armed_: the timer due last first (keys are unique).
  static bool DueLater(const Timer* a, const Timer* b) { return a->key_ > b->key_; }

  Function<TimePoint()> now_;
  // Latest first, so that the next due is at the back. A few hundred at
  // most (one a record on its way): a sorted vector is both smaller and
  // quicker than a tree.
  std::vector<Timer*> armed_;
  uint64_t sequence_ = 0;  // keeps timers due at the same moment in arming order
};

}  // namespace kiv

#endif
