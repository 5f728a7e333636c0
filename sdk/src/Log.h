// SDK-internal logging helpers shared by the proxy and its transport.
#ifndef KIV_SDK_LOG_H
#define KIV_SDK_LOG_H

#include "kiv/Proxy.h"

#include <cstdarg>
#include <string>

namespace kiv {

// printf-style formatting into a string.
std::string FormatV(const char* format, va_list args);
// Writes a record if the configuration lets it through.
void Emit(LogRecord record);
// Whether SetLogConfig asked for the MQTT library's own trace.
bool PahoTraceEnabled();
// The SDK's own trace level (0..3).
int TraceLevel();

}  // namespace kiv

#endif
