// The gateway's side of a kiv::Proxy in a test: everything the proxy reports
// to its callback, readable from the test's thread.
#ifndef KIV_TEST_PROXY_RECORDER_H
#define KIV_TEST_PROXY_RECORDER_H

#include "kiv/Proxy.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kivtest {

class ProxyRecorder : public kiv::Proxy::Callback {
public:
  struct Request {
    std::string rqi;
    int op;
    std::vector<int> targets;
    std::vector<std::pair<int, std::string>> contents;
    // "op target... type:text...", e.g. "6 1007 14" or "4 12:{...}".
    std::string Summary() const;
  };
  // Called on the SDK's thread with each request, before it is recorded
  // (e.g. to answer it); may throw, as a gateway's handler may.
  std::function<void(const Request&)> onRequest;

  void Connected() override { ++connected; }
  void ConnectionLost(const std::string&) override { ++lost; }
  void MessageArrived(const std::string& message) override { Add(messages, message); }
  void RequestArrived(const std::string& requestId, int op, std::list<kiv::RequestTarget>& targets,
                      std::list<kiv::RequestContent>& contents) override;
  void ResponseArrived(const std::string& requestId, int ec) override {
    Add(responses, requestId + " " + std::to_string(ec));
  }

  // A copy of one of the lists below, taken under the lock.
  template <typename T>
  std::vector<T> Get(const std::vector<T>& list) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return list;
  }
  std::atomic<int> connected{0}, lost{0};
  std::vector<std::string> messages, responses;  // responses: "rqi ec"
  std::vector<Request> requests;

private:
  template <typename T>
  void Add(std::vector<T>& list, const T& item) {
    std::lock_guard<std::mutex> lock(mutex_);
    list.push_back(item);
  }
  mutable std::mutex mutex_;
};

}  // namespace kivtest

#endif
