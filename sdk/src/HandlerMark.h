// Whether this thread runs one of the SDK's callbacks: the MQTT library's
// handlers on its threads, or the gateway's callbacks on the SDK's loop. A
// call that would wait for that same thread must refuse there instead of
// deadlocking.
#ifndef KIV_SDK_HANDLER_MARK_H
#define KIV_SDK_HANDLER_MARK_H

namespace kiv {

inline thread_local bool t_insideCallback = false;

inline bool InsideCallback() { return t_insideCallback; }

// Marks the thread for its lifetime (nests).
class CallbackMark {
public:
  CallbackMark() : outer_(t_insideCallback) { t_insideCallback = true; }
  ~CallbackMark() { t_insideCallback = outer_; }
  CallbackMark(const CallbackMark&) = delete;
  CallbackMark& operator=(const CallbackMark&) = delete;

private:
  bool outer_;
};

}  // namespace kiv

#endif
