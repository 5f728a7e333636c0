#include "GatewayTestSupport.h"

#include <cstdlib>
#include <tuple>

namespace gwtest {

LogCapture::LogCapture() {
  kiv::SetLogConfig(0, kiv::kLogFatal | kiv::kLogCritical | kiv::kLogError | kiv::kLogWarning |
                           kiv::kLogInformation,
                    0, 0);
  kiv::SetLogSink([this](const kiv::LogRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(record);
  });
}

LogCapture::~LogCapture() { kiv::SetLogSink({}); }

std::vector<kiv::LogRecord> LogCapture::Records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::vector<std::string> LogCapture::Messages(const std::string& function) const {
  std::vector<std::string> messages;
  for (const kiv::LogRecord& record : Records()) {
    if (function.empty() || record.function == function) messages.push_back(record.message);
  }
  return messages;
}

bool LogCapture::Has(int category, const std::string& function,
                     const std::string& message) const {
  for (const kiv::LogRecord& record : Records()) {
    if (record.category == category && record.function == function &&
        record.message == message) {
      return true;
    }
  }
  return false;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

bool Settings::operator==(const Settings& o) const {
  return std::tie(gatewayId, tokenId, key, serverURI, user, pass, interval, debug) ==
         std::tie(o.gatewayId, o.tokenId, o.key, o.serverURI, o.user, o.pass, o.interval, o.debug);
}

std::ostream& operator<<(std::ostream& out, const Settings& s) {
  return out << "{gatewayId='" << s.gatewayId << "' tokenId='" << s.tokenId << "' key='" << s.key
             << "' serverURI='" << s.serverURI << "' user='" << s.user << "' pass='" << s.pass
             << "' interval='" << s.interval << "' debug=" << s.debug << "}";
}

Settings CurrentSettings() {
  return {g_gatewayId, g_tokenId, g_key, g_serverURI, g_user, g_pass, g_interval, g_debug_enable};
}

void SetSettings(const Settings& s) {
  g_gatewayId = s.gatewayId;
  g_tokenId = s.tokenId;
  g_key = s.key;
  g_serverURI = s.serverURI;
  g_user = s.user;
  g_pass = s.pass;
  g_interval = s.interval;
  g_debug_enable = s.debug;
}

CommandLine::CommandLine(std::vector<std::string> words) : words_(std::move(words)) {
  words_.insert(words_.begin(), "gatewayd");
  for (std::string& word : words_) pointers_.push_back(&word[0]);
  pointers_.push_back(nullptr);
}

std::string DataFile(const std::string& name) {
  const char* source = std::getenv("KIV_SOURCE_DIR");
  return std::string(source ? source : ".") + "/tests/data/gateway/" + name;
}

}  // namespace gwtest
