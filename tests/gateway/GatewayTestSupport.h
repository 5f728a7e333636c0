// Helpers of the gateway suites: log lines captured through the SDK's log
// sink, and the settings globals as one comparable value.
#ifndef KIV_GATEWAY_TEST_SUPPORT_H
#define KIV_GATEWAY_TEST_SUPPORT_H

#include "Gateway.h"
#include "kiv/Proxy.h"

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace gwtest {

// Records every log line while it lives; lets every category through.
class LogCapture {
public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<kiv::LogRecord> Records() const;
  // The messages, in order, of the records from function (all when empty).
  std::vector<std::string> Messages(const std::string& function = "") const;
  // Whether a record from function at category has exactly this message.
  bool Has(int category, const std::string& function, const std::string& message) const;
  void Clear();

private:
  mutable std::mutex mutex_;
  std::vector<kiv::LogRecord> records_;
};

struct Settings {
  std::string gatewayId, tokenId, key, serverURI, user, pass, interval;
  bool debug = false;
  bool operator==(const Settings& other) const;
};
std::ostream& operator<<(std::ostream& out, const Settings& settings);

Settings CurrentSettings();
void SetSettings(const Settings& settings);

// A command line for option(): argv[0] is "gatewayd".
class CommandLine {
public:
  explicit CommandLine(std::vector<std::string> words);
  int argc() const { return static_cast<int>(pointers_.size()) - 1; }
  char** argv() { return pointers_.data(); }

private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

// The objects a retrieve reply holds for types 1001, 1007 and 14, as JSON.
inline const char* const kFirmware =
    R"({"resourceType": 1001, "firmwareName": "fw01", "version": "1.0", "url": "",
        "updateStatus": {"action": "", "status": 0}})";
inline const char* const kDeviceInfo =
    R"({"resourceType": 1007, "manufacturer": "OMA", "model": "lwm2m", "deviceType": "",
        "fwVersion": "1.0", "hwVersion": "1.0", "swVersion": "1.0", "bateryLevel": "69",
        "memoryFree": "96"})";
inline const char* const kNode = R"({"resourceType": 14, "mgmtClientAddress": "127.0.0.1"})";

// A file of tests/data/gateway in the source tree.
std::string DataFile(const std::string& name);

}  // namespace gwtest

#endif
