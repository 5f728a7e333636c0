// gatewayd's settings, its entry steps and its one class, IoTGatewayProgram.
//
// The settings are written on the main thread before the SDK connection
// exists and only read afterwards; isBreak is the one exception: setBreak may
// set it from a signal handler or any thread while the run loop reads it.
#ifndef KIV_GATEWAY_H
#define KIV_GATEWAY_H

#include "kiv/Proxy.h"

#include <atomic>
#include <chrono>
#include <list>
#include <string>
#include <utility>
#include <vector>

// One log line of the gateway's own (file "src/main" in the line): level -1,
// no tag, the caller's line.
#define GATEWAY_LOG(category, function, ...) \
  kiv::PrintLog(-1, category, "", "src/main", __LINE__, function, __VA_ARGS__)

extern std::string g_gatewayId;
extern std::string g_tokenId;
extern std::string g_key;
extern std::string g_serverURI;
extern std::string g_user;
extern std::string g_pass;
extern std::string g_interval;  // whole seconds, as the text given
extern bool g_debug_enable;
// The node bridge's bounds from the configuration file ("" when not given):
// the node script's time limit in whole seconds and its output bound in bytes.
extern std::string g_nodeTimeout;
extern std::string g_nodeOutputBytes;
// Lock-free, so a signal handler may set it while the run loop reads it.
extern std::atomic<bool> isBreak;
static_assert(std::atomic<bool>::is_always_lock_free, "isBreak must be safe in a signal handler");

struct DeviceResource {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // name, value
};

struct DeviceInfo {
  std::list<DeviceResource> resources;
};

// The device table retrieve requests report; it starts empty.
extern DeviceInfo deviceInfo;

// Resets the seven texts and the node bridge's bounds to empty and
// g_debug_enable to false.
void init();

// Parses the command line into the settings. Returns 0 to go on to the run
// loop, non-zero to end the program. -f returns loadconfig's result and -h
// prints the usage text; both end the parse. -d takes an optional value,
// which is ignored: the next word, unless it starts with '-' (then it is the
// next option), or nothing at the end. The password is logged masked.
int option(int argc, char** argv);

// Reads the JSON configuration file at path into the settings, all of them or
// none: returns 1 with a category-4 log line and every setting unchanged when
// the file cannot be opened, is not JSON, its root is not an object, a value
// has the wrong type or a bound is out of range; 0 once all the settings
// above are replaced. The SDK's settings it carries (recordsPlacement,
// pointOfAccess, keepAlive) go to the SDK's environment variables, each only
// where the environment does not set it already: the service's own
// environment wins over the file. Call it while the program has one thread.
int loadconfig(std::string path);

// Start's identity step: an empty g_gatewayId becomes the eth0 MAC address
// (an error is logged when there is none, and the gateway goes on), an empty
// g_tokenId and g_key are derived from g_gatewayId (left empty when the key
// library refuses it). Logs the three values.
void CompleteIdentity();

// The publish interval g_interval gives: its leading whole number of seconds,
// read as atoi does, when that is 1 or more, else 15 s. Any length is kept
// (no 32-bit limit; out-of-range numbers saturate).
std::chrono::milliseconds PublishInterval(const std::string& text);

// The node script's time limit: node_timeout's seconds when given (text
// checked by loadconfig), else the publish interval, but at most 60 s.
std::chrono::milliseconds NodeTimeLimit(const std::string& nodeTimeout,
                                        std::chrono::milliseconds interval);

// Sets isBreak and wakes the run loop's sleep. Async-signal-safe.
void setBreak();

// The whole program as main runs it: settings, the run loop, then one
// character of input unless a stop was asked for. Catches every exception.
// Always returns 0.
int RunGateway(int argc, char** argv);

// The gateway's program object: runs the gateway (Start) and receives the
// SDK's events. The SDK calls the event operations on its own threads, also
// while Start runs on the main thread.
class IoTGatewayProgram : public kiv::Proxy::Callback,
                          public kiv::Proxy::ResultCallback,
                          public kiv::Proxy::ResultCb {
public:
  // Runs the gateway on the calling thread. Returns at once when g_serverURI
  // is empty, otherwise after setBreak. The arguments are not used.
  void Start(int argc, char** argv);

  void Connected() override;
  // A platform request: retrieves are answered through proxy, control
  // commands go to the node bridge's Input, schedules are logged.
  void RequestArrived(const std::string& requestId, int op,
                      std::list<kiv::RequestTarget>& targets,
                      std::list<kiv::RequestContent>& contents) override;
  void MessageArrived(const std::string& message) override;
  void ResponseArrived(const std::string& requestId, int ec) override;
  // One body for ResultCallback and ResultCb.
  void OnSuccess(const std::string& requestId) override;
  void OnFailure(const std::string& requestId, const std::string& cause) override;
  void OnFailure(const std::string& requestId, int ec) override;

  // The connection Start creates and deletes; not owned by this object.
  kiv::Proxy* proxy = nullptr;
};

#endif  // KIV_GATEWAY_H
