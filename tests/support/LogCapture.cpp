#include "LogCapture.h"

namespace kivtest {

LogCapture::LogCapture(int categoryMask, int traceLevel, int pahoLevel) {
  kiv::SetLogConfig(traceLevel, categoryMask, 0, pahoLevel);
  kiv::SetLogSink([this](const kiv::LogRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(record);
  });
}

LogCapture::~LogCapture() {
  kiv::SetLogSink(nullptr);
  kiv::SetLogConfig(0, 7, 0, 0);
}

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

bool LogCapture::Has(int category, const std::string& function, const std::string& message) const {
  for (const kiv::LogRecord& record : Records()) {
    if (record.category == category && record.function == function && record.message == message) {
      return true;
    }
  }
  return false;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

}  // namespace kivtest
