#include "MemoryPipe.h"

#include <algorithm>

namespace modemctl {

void MemoryPipe::Arrive(const std::string& bytes, Microseconds delay) {
  Microseconds due = now_ + delay;
  if (!incoming_.empty()) due = std::max(due, incoming_.back().due);
  for (char byte : bytes) incoming_.push_back({due, byte});
}

int MemoryPipe::ReadByte(char* byte) {
  if (readError_ != 0) return -readError_;
  if (incoming_.empty() || incoming_.front().due > now_ + kReadTimeout) {
    now_ += kReadTimeout;
    return 0;
  }
  now_ = std::max(now_, incoming_.front().due);
  *byte = incoming_.front().byte;
  incoming_.pop_front();
  return 1;
}

ssize_t MemoryPipe::Write(const char* bytes, size_t size) {
  if (writeError_ != 0) return -writeError_;
  if (stalled_) return 0;
  std::string chunk(bytes, size);
  written_ += chunk;
  if (listener_) listener_(chunk);
  return static_cast<ssize_t>(size);
}

}  // namespace modemctl
