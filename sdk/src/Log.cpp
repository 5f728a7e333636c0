// Logging of the SDK and of its users: one line per call, to standard error,
// optionally to syslog and to an installed sink.
#include "kiv/Proxy.h"
#include "Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <random>
#include <syslog.h>
#include <unistd.h>

namespace kiv {
namespace {

// Normal configuration until SetLogConfig says otherwise: errors only.
std::atomic<int> g_traceLevel{0};
std::atomic<int> g_categoryMask{kLogFatal | kLogCritical | kLogError};
std::atomic<int> g_toSyslog{0};
std::atomic<int> g_pahoTrace{0};

std::mutex g_sinkMutex;
std::function<void(const LogRecord&)> g_sink;

const char* CategoryName(int category) {
  switch (category) {
    case kLogFatal: return "FATAL";
    case kLogCritical: return "CRIT";
    case kLogError: return "ERROR";
    case kLogWarning: return "WARN";
    case kLogInformation: return "INFO";
    default: return "TRACE";
  }
}

int SyslogPriority(int category) {
  switch (category) {
    case kLogFatal: return LOG_CRIT;
    case kLogCritical: return LOG_CRIT;
    case kLogError: return LOG_ERR;
    case kLogWarning: return LOG_WARNING;
    case kLogInformation: return LOG_INFO;
    default: return LOG_DEBUG;
  }
}

bool Wanted(int level, int category) {
  if (level >= 0) return level <= g_traceLevel.load(std::memory_order_relaxed);
  return (category & g_categoryMask.load(std::memory_order_relaxed)) != 0;
}

std::string LocalTimestamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  char text[40];
  size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  snprintf(text + n, sizeof text - n, ".%03ld", static_cast<long>(now.tv_nsec / 1000000));
  return text;
}

// The message without the trailing line ends that many formats carry.
std::string TrimmedForLine(const std::string& message) {
  size_t end = message.size();
  while (end > 0 && (message[end - 1] == '\n' || message[end - 1] == '\r')) --end;
  return message.substr(0, end);
}

}  // namespace

std::string FormatV(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  va_list probe;
  va_copy(probe, args);
  int needed = vsnprintf(nullptr, 0, format, probe);
  va_end(probe);
  if (needed <= 0) return std::string();
  std::string text(static_cast<size_t>(needed), '\0');
  vsnprintf(&text[0], text.size() + 1, format, args);
  return text;
}

void Emit(LogRecord record) {
  if (!Wanted(record.level, record.category)) return;
  std::string body = std::string("[") + CategoryName(record.category) + "] ";
  if (!record.tag.empty()) body += record.tag + " ";
  body += record.file + ":" + std::to_string(record.line) + " " + record.function + ": " +
          TrimmedForLine(record.message);
  std::string line = LocalTimestamp() + " " + body + "\n";

  std::lock_guard<std::mutex> lock(g_sinkMutex);
  // One write per line, so lines from several threads never interleave.
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;  // nowhere left to report a failing standard error
  if (g_toSyslog.load(std::memory_order_relaxed)) {
    syslog(SyslogPriority(record.category), "%s", body.c_str());  // syslog stamps its own time
  }
  if (g_sink) g_sink(record);
}

void LogLine(int level, int category, const char* tag, const char* file, const char* function,
             int line, const std::string& message) {
  if (!Wanted(level, category)) return;
  LogRecord record;
  record.level = level;
  record.category = category;
  record.tag = tag;
  record.file = file;
  record.line = line;
  record.function = function;
  record.message = message;
  Emit(std::move(record));
}

std::string RandomHex(size_t digits) {
  static const char kHex[] = "0123456789abcdef";
  std::random_device device;
  std::string text;
  while (text.size() < digits) {
    unsigned value = device();
    for (int i = 0; i < 8 && text.size() < digits; ++i, value >>= 4) text += kHex[value & 15];
  }
  return text;
}

bool PahoTraceEnabled() { return g_pahoTrace.load(std::memory_order_relaxed) != 0; }
int TraceLevel() { return g_traceLevel.load(std::memory_order_relaxed); }

void PrintLog(int level, int category, const char* tag, const char* file, int line,
              const char* function, const char* format, ...) {
  if (!Wanted(level, category)) return;
  LogRecord record;
  record.level = level;
  record.category = category;
  record.tag = tag ? tag : "";
  record.file = file ? file : "";
  record.line = line;
  record.function = function ? function : "";
  va_list args;
  va_start(args, format);
  record.message = FormatV(format, args);
  va_end(args);
  Emit(std::move(record));
}

void SetLogConfig(int traceLevel, int categoryMask, int toSyslog, int pahoTrace) {
  g_traceLevel = traceLevel;
  g_categoryMask = categoryMask;
  if (toSyslog && !g_toSyslog.exchange(1)) {
    openlog("gatewayd", LOG_PID, LOG_DAEMON);
  } else if (!toSyslog) {
    g_toSyslog = 0;
  }
  g_pahoTrace = pahoTrace;
}

void SetLogSink(std::function<void(const LogRecord&)> sink) {
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  g_sink = std::move(sink);
}

}  // namespace kiv
