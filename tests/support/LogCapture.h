// The SDK's log lines as records, captured through its log sink.
#ifndef KIV_TEST_LOG_CAPTURE_H
#define KIV_TEST_LOG_CAPTURE_H

#include "kiv/Proxy.h"

#include <mutex>
#include <string>
#include <vector>

namespace kivtest {

// Records every log line while it lives, from any thread; lets every
// category through (or those of the mask given), at trace level traceLevel
// and Paho trace level pahoLevel. Restores the default configuration after.
class LogCapture {
public:
  static constexpr int kEveryCategory = kiv::kLogFatal | kiv::kLogCritical | kiv::kLogError |
                                        kiv::kLogWarning | kiv::kLogInformation;
  explicit LogCapture(int categoryMask = kEveryCategory, int traceLevel = 0, int pahoLevel = 0);
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

}  // namespace kivtest

#endif
