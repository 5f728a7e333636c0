#include "Backoff.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>

namespace kiv {

Backoff::Duration Backoff::Next() {
  Duration step = step_;
  step_ = std::min(policy_.max, step_ * 2);
  Duration low = step * policy_.floor.thousandths / 1000;
  return draw_(low, step);
}

Backoff::Draw SystemDraw() {
  struct Source {
    std::mutex mutex;
    std::minstd_rand random{std::random_device()()};
  };
  auto source = std::make_shared<Source>();
  return [source](Backoff::Duration low, Backoff::Duration high) {
    // 60 random bits from two draws: the remainder below favours some waits
    // over others by at most (high - low) / 2^60, under a part in a million
    // for a 5-minute step. std::uniform_int_distribution draws exactly, for
    // a kilobyte of code on the router and a precision no back-off can tell.
    std::lock_guard<std::mutex> lock(source->mutex);
    uint64_t bits = source->random() & 0x3fffffff;
    bits = bits << 30 | (source->random() & 0x3fffffff);
    uint64_t span = static_cast<uint64_t>((high - low).count()) + 1;
    return low + Backoff::Duration(static_cast<Backoff::Duration::rep>(bits % span));
  };
}

}  // namespace kiv
