// The one back-off of the SDK: reconnection, refused logins, the
// registration and records sent again all wait this way.
//
// Each wait is drawn uniformly from [floor × step, step], where the step
// starts at `first` and doubles up to `max` with every wait. With floor 0
// this is "full jitter": a fleet that failed at the same moment (a CSE or
// broker restart) comes back spread evenly over the whole step instead of
// in lockstep, which is what keeps a recovering CSE from being flattened by
// our own retries. A floor above 0 keeps a minimum pause where a fleet is
// spread already and an early retry costs little (reconnection).
#ifndef KIV_SDK_CORE_BACKOFF_H
#define KIV_SDK_CORE_BACKOFF_H

#include "Function.h"

#include <chrono>

namespace kiv {

class Backoff {
public:
  using Duration = std::chrono::steady_clock::duration;
  // A duration drawn uniformly from [low, high].
  using Draw = Function<Duration(Duration low, Duration high)>;

  // A share of a step, kept in thousandths: written as a number (0.5), it is
  // converted where the policy is written, once, by the compiler, and the
  // draws need no floating point (on the router, a library of its own).
  struct Share {
    constexpr Share(double share) : thousandths(static_cast<Duration::rep>(share * 1000)) {}  // NOLINT
    Duration::rep thousandths;
  };
  struct Policy {
    Duration first;
    Duration max;
    Share floor = 0.0;  // 0: full jitter
  };

  Backoff(Policy policy, Draw draw) : policy_(policy), draw_(std::move(draw)), step_(policy.first) {}

  // The wait before the next try; the step after it doubles.
  Duration Next();
  // The step the next wait is drawn from.
  Duration Step() const { return step_; }
  bool AtStart() const { return step_ == policy_.first; }
  void Reset() { step_ = policy_.first; }

private:
  Policy policy_;
  Draw draw_;
  Duration step_;
};

// A draw from a generator seeded by the system's random device: two
// gateways started at the same moment draw differently.
Backoff::Draw SystemDraw();

}  // namespace kiv

#endif
