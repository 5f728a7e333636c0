// Waits of the main thread that end as soon as setBreak is called, also when
// setBreak runs in a signal handler: setBreak writes one byte into a pipe that
// every wait polls, so no wake-up is lost between a check and the wait.
#ifndef KIV_GATEWAY_PAUSE_H
#define KIV_GATEWAY_PAUSE_H

#include <chrono>
#include <pthread.h>

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

// While it lives, runs onBreak(context) on a thread of its own as soon as
// isBreak is or becomes set: for a call of the main thread that only another
// thread can end (the SDK's Connect, ended by Disconnect). onBreak must not
// throw. Ending the watch waits for onBreak when it runs. Without a pipe for
// it (creation failed, logged) or a thread (see ThreadError) nothing is
// watched.
class BreakWatch {
public:
  using Action = void (*)(void* context);
  BreakWatch(Action onBreak, void* context);
  ~BreakWatch();
  BreakWatch(const BreakWatch&) = delete;
  BreakWatch& operator=(const BreakWatch&) = delete;

  // pthread_create's error number when the watching thread could not start,
  // else 0. Not logged here: this file throws nothing, the caller reports it.
  int ThreadError() const { return threadError_; }

private:
  static void* Watch(void* watch);

  Action onBreak_;
  void* context_;
  int endRead_ = -1;
  int endWrite_ = -1;
  pthread_t thread_{};
  bool watching_ = false;
  int threadError_ = 0;
};

#endif  // KIV_GATEWAY_PAUSE_H
