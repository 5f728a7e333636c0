// The outcome of one asynchronous operation of the MQTT library, shared by
// the thread that waits for it and the callbacks that report it (which may
// come after the waiter gave up, hence the shared ownership).
#ifndef KIV_SDK_COMPLETION_H
#define KIV_SDK_COMPLETION_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace kiv {
namespace mqtt {

struct Completion {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int code = 0;
  std::string text;

  void Finish(int result, std::string reason) {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    code = result;
    text = std::move(reason);
    done.notify_all();
  }
  bool Wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return done.wait_for(lock, timeout, [&] { return finished; });
  }
};

}  // namespace mqtt
}  // namespace kiv

#endif
