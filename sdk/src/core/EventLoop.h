// The SDK's one thread: everything the proxy keeps about its registration,
// its records and the requests waiting for an answer is touched here only.
//
// The MQTT library's callbacks copy what arrived into the mailbox and
// return, so none of our code and none of the gateway's callbacks runs
// under the library's lock; public calls post a command and wait only for
// their own completion, or run inline when they are made on this thread
// (from inside one of the gateway's callbacks). Timers (Timers.h) fire here
// too.
#ifndef KIV_SDK_CORE_EVENT_LOOP_H
#define KIV_SDK_CORE_EVENT_LOOP_H

#include "Function.h"
#include "Timers.h"

#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <thread>

namespace kiv {

// Messages from the network may wait in the mailbox up to these bounds;
// beyond them PostMessage refuses (the caller counts and logs the loss).
struct MailboxBounds {
  size_t messages = 1024;
  size_t bytes = 4 * 1024 * 1024;
};

class EventLoop {
public:
  using Task = Function<void()>;
  using Bounds = MailboxBounds;

  explicit EventLoop(Bounds bounds = Bounds());
  ~EventLoop();  // Stop()
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // A command of ours (never refused while the loop runs); false once stopped.
  bool Post(Task task);
  // Something that arrived from the network, costing about bytes: refused
  // when the mailbox is full or the loop stopped.
  bool PostMessage(Task task, size_t bytes);
  // Runs task on the loop and waits for it; inline when called on the loop.
  // false when the loop stopped before it ran.
  bool Call(const Task& task);

  // Finishes the task under way, drops what waits, joins the thread. Not
  // from the loop's own thread.
  void Stop();

  bool OnLoopThread() const { return std::this_thread::get_id() == thread_.get_id(); }
  Timers& timers() { return timers_; }

private:
  struct Entry {
    Task task;
    size_t bytes;
    bool message;  // from the network: counts against the bounds
  };
  bool Enqueue(Task task, size_t bytes, bool bounded);
  void Run();

  const Bounds bounds_;
  Timers timers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::list<Entry> mailbox_;  // a list: the smallest code of the queues
  size_t messages_ = 0;
  size_t messageBytes_ = 0;
  bool stopping_ = false;
  bool sleeping_ = false;  // the loop waits on wake_: a post must wake it
  std::thread thread_;  // last: it starts once the rest exists
};

}  // namespace kiv

#endif
