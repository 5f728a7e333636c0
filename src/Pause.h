// Waits of the main thread that end as soon as setBreak is called, also when
// setBreak runs in a signal handler: setBreak writes one byte into a pipe that
// every wait polls, so no wake-up is lost between a check and the wait.
#ifndef KIV_GATEWAY_PAUSE_H
#define KIV_GATEWAY_PAUSE_H

#include <chrono>
#include <functional>
#include <thread>

// Creates the wake-up pipe. Call on the main thread before anything may call
// setBreak (signal handlers, other threads); later calls do nothing. Without
// the pipe (creation failed, logged) the waits look at isBreak once a second.
void PrepareBreakWakeUp();

// Makes every current and later wait return. Async-signal-safe.
void WakeUpForBreak();

// The descriptor that becomes readable at a stop (and stays so), or -1
// without a wake-up pipe: for waits outside this file, such as the node
// bridge's. It closes on exec.
int BreakWakeUpDescriptor();

// Sleeps for duration, however long (no 32-bit microsecond limit), unless
// isBreak is or becomes set. Returns false when it ended for a break.
bool PauseUnlessBreak(std::chrono::milliseconds duration);

// Waits for one character on standard input, taken with getchar, or for the
// end of input; returns at once, reading nothing, when isBreak is or becomes set.
void WaitForInputUnlessBreak();

// While it lives, runs onBreak on a thread of its own as soon as isBreak is
// or becomes set: for a call of the main thread that only another thread can
// end (the SDK's Connect, ended by Disconnect). Ending the watch waits for
// onBreak when it runs. Without a pipe for it (creation failed, logged)
// nothing is watched.
class BreakWatch {
public:
  explicit BreakWatch(std::function<void()> onBreak);
  ~BreakWatch();
  BreakWatch(const BreakWatch&) = delete;
  BreakWatch& operator=(const BreakWatch&) = delete;

private:
  int endRead_ = -1;
  int endWrite_ = -1;
  std::thread thread_;
};

#endif  // KIV_GATEWAY_PAUSE_H
