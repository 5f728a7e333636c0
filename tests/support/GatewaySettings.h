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

// A file of tests/data/gateway in the source tree.
std::string DataFile(const std::string& name);

}  // namespace gwtest

#endif
