// The SDK's places that throw or catch exceptions. The SDK is built without
// exceptions (no landing pads or tables: a sixth of its size on a router);
// the few places where something may throw into it (the gateway's and the
// MQTT client users' handlers) and the one that throws out of it (a client
// that cannot be made, std::invalid_argument) are in Guarded.cpp, the one
// file that keeps them, so that nothing unwinds through a function without
// tables. The MQTT handlers' guards are declared in ClientImpl.h.
#ifndef KIV_SDK_GUARDED_H
#define KIV_SDK_GUARDED_H

#include "RequestMapping.h"
#include "kiv/MqttClient.h"
#include "kiv/Proxy.h"

#include <memory>
#include <string>

namespace kiv {

// Hands a request to the gateway's handler; "" when it returned, else what
// it threw (the request is then answered as an internal error).
std::string HandToGateway(Proxy::Callback& receiver, protocol::Request& request);

// The MQTT client for options, or null with the reason in *error (a broker
// URI that cannot be used, a client the library cannot make).
std::unique_ptr<mqtt::Client> MakeClient(const mqtt::Options& options, std::string* error);

}  // namespace kiv

#endif
