// How long to wait for the platform's CSE to answer, from the answer times
// measured (smoothed mean and deviation, as TCP's retransmission timer):
// a CSE that is slow but answers is given the time it takes, so its records
// are not sent again and again while it is still working on them. Never
// less than the floor (a healthy CSE answers in milliseconds; the floor
// covers a moment's hiccup), never more than the ceiling.
//
// Each send has a request id of its own, so every answer, late ones
// included, is a clean sample.
#ifndef KIV_SDK_CORE_ANSWER_DEADLINE_H
#define KIV_SDK_CORE_ANSWER_DEADLINE_H

#include <chrono>
#include <optional>

namespace kiv {

class AnswerDeadline {
public:
  using Duration = std::chrono::steady_clock::duration;

  AnswerDeadline(Duration floor = std::chrono::seconds(10),
                 Duration ceiling = std::chrono::seconds(120))
      : floor_(floor), ceiling_(ceiling) {}

  void Measured(Duration answerTime);
  Duration Current() const;

private:
  Duration floor_;
  Duration ceiling_;
  std::optional<Duration> smoothed_;
  Duration deviation_{0};
};

}  // namespace kiv

#endif
