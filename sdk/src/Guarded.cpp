#include "Guarded.h"

#include "ClientImpl.h"
#include "Log.h"

#include <stdexcept>
#include <utility>

namespace kiv {

std::string HandToGateway(Proxy::Callback& receiver, protocol::Request& request) {
  try {
    receiver.RequestArrived(request.rqi, request.operation, request.targets, request.contents);
    return "";
  } catch (const std::exception& e) {
    return std::string("the gateway failed: ") + e.what();
  } catch (...) {
    return "the gateway failed on this request";
  }
}

std::unique_ptr<mqtt::Client> MakeClient(const mqtt::Options& options, std::string* error) {
  try {
    return std::make_unique<mqtt::Client>(options);
  } catch (const std::exception& e) {
    *error = e.what();
    return nullptr;
  }
}

namespace mqtt {

namespace {

template <typename Handler, typename... Args>
void RunGuarded(const char* name, const Handler& handler, Args&&... args) {
  if (!handler) return;
  CallbackMark mark;
  try {
    handler(std::forward<Args>(args)...);
  } catch (const std::exception& e) {
    LogError(name, __LINE__, std::string("handler threw: ") + e.what());
  } catch (...) {
    LogError(name, __LINE__, "handler threw");
  }
}

}  // namespace

void RunHandler(const char* name, const Client::MessageHandler& handler, Message& message) {
  RunGuarded(name, handler, message);
}

void RunHandler(const char* name, const Client::ConnectedHandler& handler, bool reconnected) {
  RunGuarded(name, handler, reconnected);
}

void RunHandler(const char* name, const Client::LostHandler& handler, const std::string& cause) {
  RunGuarded(name, handler, cause);
}

Client::Client(Options options) {
  std::string error;
  impl_ = Impl::Make(std::move(options), &error);
  if (!impl_) throw std::invalid_argument(error);
}

}  // namespace mqtt
}  // namespace kiv
