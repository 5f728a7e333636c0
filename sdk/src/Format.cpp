#include "Format.h"

#include <cstdarg>
#include <cstdio>

namespace kiv {

std::string Format(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list again;
  va_copy(again, arguments);
  int length = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length));
    std::vsnprintf(&text[0], text.size() + 1, format, again);
  }
  va_end(again);
  return text;
}

}  // namespace kiv
