// Keeps a line that says the same thing over and over out of a small RAM log:
// the first time a text comes it is logged; the same text again is logged at
// most once per interval, saying how often it came meanwhile. Another text
// is logged at once and starts over.
//
// A pure object: the caller gives the time and serialises the calls.
#ifndef KIV_SDK_REPEATED_LINE_H
#define KIV_SDK_REPEATED_LINE_H

#include <chrono>
#include <optional>
#include <string>

namespace kiv {

class RepeatedLine {
public:
  using Clock = std::chrono::steady_clock;

  explicit RepeatedLine(Clock::duration interval) : interval_(interval) {}

  // The line to log for text at now, or nothing while it is held back.
  std::optional<std::string> Next(const std::string& text, Clock::time_point now) {
    if (last_ && text == *last_ && now - loggedAt_ < interval_) {
      ++heldBack_;
      return std::nullopt;
    }
    std::string line = text;
    if (last_ && text == *last_ && heldBack_ > 0) {
      line += " (" + std::to_string(heldBack_) + " more times since the last such line)";
    }
    last_ = text;
    loggedAt_ = now;
    heldBack_ = 0;
    return line;
  }

  // The condition ended: its next occurrence is news again.
  void Reset() { last_.reset(); }

private:
  const Clock::duration interval_;
  std::optional<std::string> last_;
  Clock::time_point loggedAt_{};
  unsigned long heldBack_ = 0;
};

}  // namespace kiv

#endif
