#include "Pause.h"

#include "Gateway.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

std::atomic<int> g_wakeRead{-1};
std::atomic<int> g_wakeWrite{-1};

// Longest single poll: bounded so that the int timeout never overflows and,
// without a wake-up pipe, so that a break is noticed within this time.
constexpr int64_t kLongestPollMs = 1000;
constexpr int64_t kLongestPollWithPipeMs = 3600 * 1000;

int PollSliceMs(int64_t leftMs) {
  int64_t slice = g_wakeRead.load() >= 0 ? kLongestPollWithPipeMs : kLongestPollMs;
  return static_cast<int>(std::min(leftMs, slice));
}

}  // namespace

void PrepareBreakWakeUp() {
  if (g_wakeRead.load() >= 0) return;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    GATEWAY_LOG(kiv::kLogError, "PrepareBreakWakeUp",
                "cannot create the stop pipe (%s), stops are noticed within a second",
                strerror(errno));
    return;
  }
  g_wakeWrite.store(fds[1]);
  g_wakeRead.store(fds[0]);
}

int BreakWakeUpDescriptor() { return g_wakeRead.load(); }

void WakeUpForBreak() {
  int fd = g_wakeWrite.load();
  if (fd < 0) return;
  const char byte = 1;
  // The pipe is never drained, so it stays readable; a full pipe already is.
  ssize_t ignored = write(fd, &byte, 1);
  (void)ignored;
}

namespace {

// A wake-up byte while isBreak is clear is left from a stop that was taken
// back (tests clear isBreak); setBreak sets the flag before it writes, so no
// current wake-up is lost by emptying the pipe here.
void DrainStaleWakeUps(int fd) {
  char bytes[64];
  while (!isBreak.load() && read(fd, bytes, sizeof bytes) > 0) {
  }
}

}  // namespace

bool PauseUnlessBreak(std::chrono::milliseconds duration) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + duration;
  while (!isBreak.load()) {
    Clock::time_point now = Clock::now();
    if (now >= deadline) return true;
    int64_t leftMs = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    pollfd wake{g_wakeRead.load(), POLLIN, 0};  // poll ignores a negative fd
    // EINTR and timeouts: look again.
    if (poll(&wake, 1, PollSliceMs(leftMs)) > 0) DrainStaleWakeUps(wake.fd);
  }
  return false;
}

namespace {

// Waits until fd is readable (input, its end, a closed descriptor) or poll
// fails on it, which is true, or until isBreak is set, which is false.
bool WaitForDescriptorUnlessBreak(int fd) {
  while (!isBreak.load()) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {g_wakeRead.load(), POLLIN, 0}};
    int ready = poll(fds, 2, fds[1].fd >= 0 ? -1 : static_cast<int>(kLongestPollMs));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[0].revents != 0) return true;
    if (fds[1].revents != 0) DrainStaleWakeUps(fds[1].fd);
  }
  return false;
}

}  // namespace

// getchar then reads the character or reports the end at once.
void WaitForInputUnlessBreak() {
  if (WaitForDescriptorUnlessBreak(STDIN_FILENO)) getchar();
}

BreakWatch::BreakWatch(Action onBreak, void* context) : onBreak_(onBreak), context_(context) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    GATEWAY_LOG(kiv::kLogError, "BreakWatch",
                "cannot watch for a stop (%s): a stop waits for the call under way",
                strerror(errno));
    return;
  }
  endRead_ = fds[0];
  endWrite_ = fds[1];
  threadError_ = pthread_create(&thread_, nullptr, Watch, this);
  watching_ = threadError_ == 0;
}

void* BreakWatch::Watch(void* watch) {
  BreakWatch& self = *static_cast<BreakWatch*>(watch);
  if (!WaitForDescriptorUnlessBreak(self.endRead_)) self.onBreak_(self.context_);
  return nullptr;
}

BreakWatch::~BreakWatch() {
  if (watching_) {
    close(endWrite_);  // the watching thread sees the end of the pipe
    pthread_join(thread_, nullptr);
    endWrite_ = -1;
  }
  if (endWrite_ >= 0) close(endWrite_);
  if (endRead_ >= 0) close(endRead_);
}
