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

// Runs call(handler, argument) as a handler of the client's user: what it
// throws is logged, not let through the MQTT library's thread. One runner for
// the three kinds of handler; each kind only says how its handler is called.
void RunGuarded(const char* name, void (*call)(const void*, void*), const void* handler,
                void* argument) {
  CallbackMark mark;
  try {
    call(handler, argument);
  } catch (const std::exception& e) {
    LogError(name, __LINE__, std::string("handler threw: ") + e.what());
  } catch (...) {
    LogError(name, __LINE__, "handler threw");
  }
}

template <typename Handler, typename Argument>
void RunHandlerWith(const char* name, const Handler& handler, Argument& argument) {
  if (!handler) return;
  RunGuarded(
      name,
      [](const void* h, void* a) { (*static_cast<const Handler*>(h))(*static_cast<Argument*>(a)); },
      &handler, const_cast<void*>(static_cast<const void*>(&argument)));
}

}  // namespace

void RunHandler(const char* name, const Client::MessageHandler& handler, Message& message) {
  RunHandlerWith(name, handler, message);
}

void RunHandler(const char* name, const Client::ConnectedHandler& handler, bool reconnected) {
  RunHandlerWith(name, handler, reconnected);
}

void RunHandler(const char* name, const Client::LostHandler& handler, const std::string& cause) {
  RunHandlerWith(name, handler, cause);
}

Client::Client(Options options) {
  std::string error;
  impl_ = Impl::Make(std::move(options), &error);
  if (!impl_) throw std::invalid_argument(error);
}

}  // namespace mqtt
}  // namespace kiv
