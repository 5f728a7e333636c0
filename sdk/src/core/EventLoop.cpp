#include "EventLoop.h"

#include <memory>

namespace kiv {

EventLoop::EventLoop(Bounds bounds) : bounds_(bounds), thread_([this] { Run(); }) {}

EventLoop::~EventLoop() { Stop(); }

bool EventLoop::Post(Task task) { return Enqueue(std::move(task), 0, false); }

bool EventLoop::PostMessage(Task task, size_t bytes) {
  return Enqueue(std::move(task), bytes, true);
}

bool EventLoop::Enqueue(Task task, size_t bytes, bool bounded) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    if (bounded) {
      if (messages_ >= bounds_.messages || messageBytes_ + bytes > bounds_.bytes) return false;
      ++messages_;
      messageBytes_ += bytes;
    }
    mailbox_.push_back(Entry{std::move(task), bytes, bounded});
    if (!sleeping_) return true;  // the loop takes it before it sleeps again
  }
  wake_.notify_one();
  return true;
}

bool EventLoop::Call(const Task& task) {
  if (OnLoopThread()) {
    task();
    return true;
  }
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool ran = false;
    bool over = false;  // ran, or dropped at stop
  };
  auto done = std::make_shared<Done>();
  // The task is dropped unrun at a stop: the guard tells the waiter so.
  struct Finish {
    std::shared_ptr<Done> done;
    bool ran = false;
    ~Finish() {
      std::lock_guard<std::mutex> lock(done->mutex);
      done->ran = ran;
      done->over = true;
      done->cv.notify_all();
    }
  };
  auto finish = std::make_shared<Finish>();
  finish->done = done;
  if (!Post([&task, finish] {
        task();
        finish->ran = true;
      })) {
    return false;
  }
  finish.reset();
  std::unique_lock<std::mutex> lock(done->mutex);
  done->cv.wait(lock, [&] { return done->over; });
  return done->ran;
}

void EventLoop::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ && !thread_.joinable()) return;
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable() && !OnLoopThread()) thread_.join();
}

// Takes what waits in one go and runs it without the lock: a burst of
// messages costs one wake-up, not one each.
void EventLoop::Run() {
  std::list<Entry> batch;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (!mailbox_.empty()) {
      batch.swap(mailbox_);
      lock.unlock();
      size_t messages = 0, bytes = 0;
      for (Entry& entry : batch) {
        entry.task();
        if (entry.message) {
          ++messages;
          bytes += entry.bytes;
        }
      }
      batch.clear();
      lock.lock();
      // Messages count against the bounds until they ran.
      messages_ -= messages;
      messageBytes_ -= bytes;
      continue;
    }
    std::optional<Timers::TimePoint> due = timers_.NextDue();
    if (due && *due <= Timers::Clock::now()) {
      lock.unlock();
      timers_.RunDue();
      lock.lock();
      continue;
    }
    sleeping_ = true;
    if (due) {
      wake_.wait_until(lock, *due);
    } else {
      wake_.wait(lock);
    }
    sleeping_ = false;
  }
  std::list<Entry> dropped;
  dropped.swap(mailbox_);
  lock.unlock();
  dropped.clear();  // their destructors (a Call's guard) run without the lock
}

}  // namespace kiv
