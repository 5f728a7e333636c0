#include "Format.h"

#include <cstdio>

namespace kiv {

std::string Format(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text = FormatV(format, arguments);
  va_end(arguments);
  return text;
}

std::string FormatV(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  va_list probe;
  va_copy(probe, args);
  int needed = std::vsnprintf(nullptr, 0, format, probe);
  va_end(probe);
  if (needed <= 0) return std::string();
  std::string text(static_cast<size_t>(needed), '\0');
  std::vsnprintf(&text[0], text.size() + 1, format, args);
  return text;
}

}  // namespace kiv
