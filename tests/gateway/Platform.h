// The platform's side of the protocol (docs/protocol.md) for end-to-end
// tests: an MQTT client that collects a gateway's records, status and
// responses, and sends it requests.
#ifndef KIV_GATEWAY_TEST_PLATFORM_H
#define KIV_GATEWAY_TEST_PLATFORM_H

#include "kiv/MqttClient.h"

#include <json/json.h>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace gwtest {

class Platform {
public:
  // Connects to uri and listens to the gateway device (throws when it cannot).
  Platform(const std::string& uri, const std::string& device);
  ~Platform();

  // The texts of the gateway's data creates (op 1) and of its notifications
  // (op 5), in arrival order.
  std::vector<std::string> Records() const;
  std::vector<std::chrono::steady_clock::time_point> RecordTimes() const;
  std::vector<std::string> Notifications() const;
  // Payloads seen on the gateway's status topic ("online", "offline").
  std::vector<std::string> Statuses() const;
  bool WaitForRecords(size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForStatus(const std::string& status, std::chrono::milliseconds timeout) const;

  // Sends a request (a JSON object with its "rqi") to the gateway.
  void Send(const std::string& body);
  // The response to requestId once it arrived within timeout.
  std::optional<Json::Value> Response(const std::string& requestId,
                                      std::chrono::milliseconds timeout) const;
  bool HasResponse(const std::string& requestId) const;

private:
  void Receive(const kiv::mqtt::Message& message);

  std::string device_;
  std::string originator_;
  mutable std::mutex mutex_;
  std::vector<std::string> records_;
  std::vector<std::chrono::steady_clock::time_point> recordTimes_;
  std::vector<std::string> notifications_;
  std::vector<std::string> statuses_;
  std::map<std::string, Json::Value> responses_;
  kiv::mqtt::Client client_;  // last: its handler threads stop first
};

// Parses JSON text (throws std::runtime_error when it is not JSON).
Json::Value ParseJson(const std::string& text);

}  // namespace gwtest

#endif
