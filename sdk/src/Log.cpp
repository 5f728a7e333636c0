// Logging of the SDK and of its users: one line per call, to standard error,
// optionally to syslog and to an installed sink.
//
// Until the first SetLogConfig the program has not said what it wants: lines
// the default (errors only) lets through are printed at once, and every line
// is also held, up to kMaxHeldLines, so that the first configuration can
// print the others it wants (a gateway's identity lines come before it) and
// send them to syslog, in their order and with their times.
#include "kiv/Proxy.h"
#include "Log.h"

#include <atomic>
#include <cerrno>  // program_invocation_short_name
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <list>
#include <mutex>
#include <syslog.h>
#include <unistd.h>

namespace kiv {
namespace {

constexpr int kDefaultCategoryMask = kLogFatal | kLogCritical | kLogError;
constexpr size_t kMaxHeldLines = 64;

// Normal configuration until SetLogConfig says otherwise: errors only.
std::atomic<int> g_traceLevel{0};
std::atomic<int> g_categoryMask{kDefaultCategoryMask};
std::atomic<int> g_toSyslog{0};
std::atomic<int> g_pahoTrace{0};
std::atomic<bool> g_configured{false};

// A line logged before the first SetLogConfig.
struct HeldLine {
  LogRecord record;
  timespec time;
  bool printed;  // already on standard error (the default let it through)
};

// Guards the sink and the held lines, and makes each line one write.
std::mutex g_sinkMutex;
std::function<void(const LogRecord&)> g_sink;
std::list<HeldLine> g_heldLines;
size_t g_droppedLines = 0;  // held lines pushed out by later ones

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

bool PassesConfig(int level, int category) {
  if (level == kNoticeLevel) return true;
  if (level >= 0) return level <= g_traceLevel.load(std::memory_order_relaxed);
  return (category & g_categoryMask.load(std::memory_order_relaxed)) != 0;
}

// Before the first configuration every line is wanted: it is held.
bool Wanted(int level, int category) {
  return !g_configured.load(std::memory_order_acquire) || PassesConfig(level, category);
}

timespec Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

// The length of message without the trailing line ends that many formats
// carry.
size_t TrimmedLength(const std::string& message) {
  size_t end = message.size();
  while (end > 0 && (message[end - 1] == '\n' || message[end - 1] == '\r')) --end;
  return end;
}

struct Destinations {
  bool standardError;
  bool syslog;
  bool sink;
};

// Writes one line where asked; the caller holds g_sinkMutex. A held line
// reaches syslog late, so its text there starts with its own time.
void Write(const LogRecord& record, const timespec& time, Destinations to, bool late) {
  tm local{};
  time_t seconds = time.tv_sec;
  localtime_r(&seconds, &local);
  char date[40];  // "2026-12-08 14:07:38.123 "
  size_t bodyStart = strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
  bodyStart += snprintf(date + bodyStart, sizeof date - bodyStart, ".%03ld ",
                        static_cast<long>(time.tv_nsec / 1000000));
  // "date [CATEGORY] tag file:line function: message", the body after the
  // date. The message is appended, not formatted: it is shown whole,
  // whatever bytes it holds.
  std::string stamped = Format("%s[%s] %s%s%s:%d %s: ", date, CategoryName(record.category),
                               record.tag.c_str(), record.tag.empty() ? "" : " ",
                               record.file.c_str(), record.line, record.function.c_str());
  stamped.append(record.message, 0, TrimmedLength(record.message));
  if (to.standardError) {
    stamped += '\n';
    // One write per line, so lines from several threads never interleave.
    ssize_t ignored = write(STDERR_FILENO, stamped.data(), stamped.size());
    (void)ignored;  // nowhere left to report a failing standard error
    stamped.pop_back();
  }
  if (to.syslog) {  // syslog stamps the time of arrival
    syslog(SyslogPriority(record.category), "%s", stamped.c_str() + (late ? 0 : bodyStart));
  }
  if (to.sink && g_sink) g_sink(record);
}

void Hold(LogRecord record, const timespec& time) {
  bool printed = PassesConfig(record.level, record.category);  // the default's choice
  if (printed) Write(record, time, {true, false, true}, false);
  if (g_heldLines.size() == kMaxHeldLines) {
    g_heldLines.pop_front();
    ++g_droppedLines;
  }
  g_heldLines.push_back(HeldLine{std::move(record), time, printed});
}

// The first configuration's decision on the held lines; the caller holds
// g_sinkMutex.
void ReleaseHeldLines() {
  bool toSyslog = g_toSyslog.load(std::memory_order_relaxed) != 0;
  if (g_droppedLines > 0 && PassesConfig(-1, kLogWarning)) {
    LogRecord notice;
    notice.category = kLogWarning;
    notice.tag = "sdk";
    notice.file = "sdk/Log";
    notice.function = "SetLogConfig";
    notice.message =
        Format("%zu lines logged before the log configuration were not kept", g_droppedLines);
    Write(notice, Now(), {true, toSyslog, true}, false);
  }
  for (const HeldLine& held : g_heldLines) {
    if (!PassesConfig(held.record.level, held.record.category)) continue;
    Write(held.record, held.time, {!held.printed, toSyslog, !held.printed}, true);
  }
  g_heldLines.clear();
  g_droppedLines = 0;
}

}  // namespace

std::string EscapeLogText(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (byte < 0x20 || byte == 0x7f) {
      escaped += "\\x";
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 15];
    } else {
      escaped += c;
    }
  }
  return escaped;
}

void Emit(LogRecord record) {
  timespec now = Now();
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  if (!g_configured.load(std::memory_order_relaxed)) {
    Hold(std::move(record), now);
  } else if (PassesConfig(record.level, record.category)) {
    Write(record, now, {true, g_toSyslog.load(std::memory_order_relaxed) != 0, true}, false);
  }
}

namespace {

// Emits a line made already.
void EmitLine(int level, int category, const char* tag, const char* file, int line,
              const char* function, std::string message) {
  LogRecord record;
  record.level = level;
  record.category = category;
  record.tag = tag ? tag : "";
  record.file = file ? file : "";
  record.line = line;
  record.function = function ? function : "";
  record.message = std::move(message);
  Emit(std::move(record));
}

}  // namespace

void LogLine(int level, int category, const char* tag, const char* file, const char* function,
             int line, const std::string& message) {
  if (!Wanted(level, category)) return;
  // The SDK's lines carry topics, ids and payloads from the network: none of
  // their bytes may start a line of its own.
  EmitLine(level, category, tag, file, line, function,
           EscapeLogText(message.substr(0, TrimmedLength(message))));
}

bool PahoTraceEnabled() { return g_pahoTrace.load(std::memory_order_relaxed) != 0; }
int TraceLevel() { return g_traceLevel.load(std::memory_order_relaxed); }

void PrintLog(int level, int category, const char* tag, const char* file, int line,
              const char* function, const char* format, ...) {
  if (!Wanted(level, category)) return;
  va_list args;
  va_start(args, format);
  std::string message = FormatV(format, args);
  va_end(args);
  EmitLine(level, category, tag, file, line, function, std::move(message));
}

void SetLogConfig(int traceLevel, int categoryMask, int toSyslog, int pahoTrace) {
  g_traceLevel = traceLevel;
  g_categoryMask = categoryMask;
  if (toSyslog && !g_toSyslog.exchange(1)) {
    // Named by the program that uses the SDK (gatewayd, a tool, a test),
    // as the system's other daemons are; the name lives as long as the process.
    openlog(program_invocation_short_name, LOG_PID, LOG_DAEMON);
  } else if (!toSyslog) {
    g_toSyslog = 0;
  }
  g_pahoTrace = pahoTrace;
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  if (!g_configured.exchange(true, std::memory_order_acq_rel)) ReleaseHeldLines();
}

void SetLogSink(std::function<void(const LogRecord&)> sink) {
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  g_sink = std::move(sink);
}

}  // namespace kiv
