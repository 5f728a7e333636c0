// One log line per interval for an event that can come in floods (requests
// from originators that are not allowed): the first at once, then at most
// one an interval, each saying how many were left out before it. Not
// thread-safe: its user serialises the calls.
#ifndef KIV_SDK_LOG_THROTTLE_H
#define KIV_SDK_LOG_THROTTLE_H

#include <chrono>
#include <cstddef>
#include <optional>

namespace kiv {

class LogThrottle {
public:
  using Clock = std::chrono::steady_clock;

  explicit LogThrottle(Clock::duration interval) : interval_(interval) {}

  // An event at now: nullopt to stay silent, else log a line, and the value
  // is how many events since the last line were not logged.
  std::optional<size_t> Admit(Clock::time_point now) {
    if (lastLine_ && now - *lastLine_ < interval_) {
      ++leftOut_;
      return std::nullopt;
    }
    lastLine_ = now;
    size_t leftOut = leftOut_;
    leftOut_ = 0;
    return leftOut;
  }

private:
  const Clock::duration interval_;
  std::optional<Clock::time_point> lastLine_;
  size_t leftOut_ = 0;
};

}  // namespace kiv

#endif
