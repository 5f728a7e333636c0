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
#include <list>
#include <optional>
#include <utility>

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
  std::list<Timer*>::iterator place_;  // in the owner's list, while armed
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
  Function<TimePoint()> now_;
  // The next due first. A few hundred at most (one a record on its way),
  // most of them armed for about the same wait: a new one goes in after a
  // walk from the back, and a list costs much less code than a tree.
  std::list<Timer*> armed_;
  uint64_t sequence_ = 0;  // keeps timers due at the same moment in arming order
};

}  // namespace kiv

#endif
