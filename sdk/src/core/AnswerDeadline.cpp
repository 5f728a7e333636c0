#include "AnswerDeadline.h"

#include <algorithm>

namespace kiv {

void AnswerDeadline::Measured(Duration answerTime) {
  if (!smoothed_) {
    smoothed_ = answerTime;
    deviation_ = answerTime / 2;
    return;
  }
  Duration error = answerTime > *smoothed_ ? answerTime - *smoothed_ : *smoothed_ - answerTime;
  deviation_ = (deviation_ * 3 + error) / 4;
  *smoothed_ = (*smoothed_ * 7 + answerTime) / 8;
}

AnswerDeadline::Duration AnswerDeadline::Current() const {
  if (!smoothed_) return floor_;
  return std::clamp<Duration>(*smoothed_ + deviation_ * 4, floor_, ceiling_);
}

}  // namespace kiv
