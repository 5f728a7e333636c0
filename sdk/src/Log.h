// The SDK's own logging, shared by the proxy and its transport.
#ifndef KIV_SDK_LOG_H
#define KIV_SDK_LOG_H

#include "Format.h"
#include "kiv/Proxy.h"

#include <string>

namespace kiv {

// Writes a record if the configuration lets it through.
void Emit(LogRecord record);
// A line an operator must read in the default log as well (the start and
// end of a spell of held records, every loss): printed whatever the
// category mask, under its category's name. Callers keep such lines rare.
constexpr int kNoticeLevel = -2;
// A line of the SDK's own: level -1 with a category, kNoticeLevel, or a
// trace level 1..3 (dropped above SetLogConfig's trace level). message is
// printed as it is.
void LogLine(int level, int category, const char* tag, const char* file, const char* function,
             int line, const std::string& message);
// Whether SetLogConfig asked for the MQTT library's own trace.
bool PahoTraceEnabled();
// The SDK's own trace level (0..3).
int TraceLevel();

}  // namespace kiv

#endif
