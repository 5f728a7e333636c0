#include "RandomHex.h"

#include <random>

namespace kiv {

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

}  // namespace kiv
