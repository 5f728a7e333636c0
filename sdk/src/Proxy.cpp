// kiv::Proxy and kiv::Data: the public face of the SDK. Everything they do
// is the core's (core/ProxyCore.h); the protocol is described in
// docs/protocol.md.
#include "kiv/Proxy.h"

#include "ProxyCore.h"

namespace kiv {

ProxyInfo::ProxyInfo(ConnectionType type, std::string key, std::string token, std::string serverURI)
    : type_(type),
      key_(std::move(key)),
      token_(std::move(token)),
      serverURI_(std::move(serverURI)) {}

void ProxyInfo::SetDeviceId(const std::string& deviceId) { deviceId_ = deviceId; }
void ProxyInfo::SetServiceEnabled(bool enabled) { serviceEnabled_ = enabled; }
void ProxyInfo::SetUsername(const std::string& username) { username_ = username; }
void ProxyInfo::SetPassword(const std::string& password) { password_ = password; }

Proxy::Proxy(const ProxyInfo& info) : impl_(std::make_unique<Impl>(info)) {}
Proxy::~Proxy() = default;

void Proxy::SetCallback(Callback& callback) { impl_->SetCallback(callback); }
bool Proxy::IsConnected() const { return impl_->IsConnected(); }

std::string Proxy::Connect(int timeoutSeconds, bool cleanSession, ResultCallback* callback) {
  return impl_->Connect(timeoutSeconds, cleanSession, callback);
}

void Proxy::Disconnect() { impl_->Disconnect(); }

Proxy::Result Proxy::Response(const std::string& requestId, const std::string& content, int status,
                              bool complete, ResultCb* callback) {
  return impl_->Response(requestId, content, status, complete, callback);
}

Data::Data(Proxy* proxy) : proxy_(proxy) {}

Proxy::Result Data::Create(const std::string& text, bool waitForDelivery) {
  return Create(std::string(text), waitForDelivery);
}

Proxy::Result Data::Create(std::string&& text, bool waitForDelivery) {
  if (proxy_ == nullptr) return Proxy::Result{"", "no proxy", mqtt::kErrorInvalid};
  return proxy_->impl_->Record(std::move(text), waitForDelivery);
}

int Data::NotifyCreating(const std::string& text, NotificationEventType eventType) {
  (void)text;
  (void)eventType;
  // The registrar notifies the subscribers of the records container itself
  // when Create stores the record there; a notification from the gateway
  // would have no receiver. Nothing is sent, and the code says so.
  return proxy_ == nullptr ? mqtt::kErrorInvalid : kNotificationNotSent;
}

}  // namespace kiv
