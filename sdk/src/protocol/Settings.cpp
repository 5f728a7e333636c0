#include "Settings.h"

#include "../Format.h"

#include <cstdlib>
#include <cstring>

namespace kiv {

size_t WholeNumberSetting(const char* name, size_t least, size_t most, size_t fallback,
                          std::string* warning) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  const size_t digits = std::strspn(text, "0123456789");
  // Up to 19 digits fit in an unsigned long long without overflow.
  const unsigned long long value = digits > 0 && digits <= 19 ? std::strtoull(text, nullptr, 10) : 0;
  if (text[digits] == '\0' && value >= least && value <= most) return static_cast<size_t>(value);
  if (warning) {
    *warning += Format("%s%s=\"%s\" is not a whole number from %zu to %zu, %zu is used",
                       warning->empty() ? "" : "; ", name, text, least, most, fallback);
  }
  return fallback;
}

}  // namespace kiv
