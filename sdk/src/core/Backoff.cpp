#include "Backoff.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <random>

namespace kiv {

Backoff::Duration Backoff::Next() {
  Duration step = step_;
  step_ = std::min(policy_.max, step_ * 2);
  auto low = std::chrono::duration_cast<Duration>(step * policy_.floor);
  return draw_(low, step);
}

Backoff::Draw SystemDraw() {
  struct Source {
    std::mutex mutex;
    std::minstd_rand random{std::random_device()()};
  };
  auto source = std::make_shared<Source>();
  return [source](Backoff::Duration low, Backoff::Duration high) {
    std::lock_guard<std::mutex> lock(source->mutex);
    std::uniform_int_distribution<Backoff::Duration::rep> spread(low.count(), high.count());
    return Backoff::Duration(spread(source->random));
  };
}

}  // namespace kiv
