#include "TextEscapes.h"

#include <cstdio>
#include <cstdlib>

namespace modemsim {

namespace {

std::optional<char> SimpleEscape(char letter) {
  switch (letter) {
    case 'r': return '\r';
    case 'n': return '\n';
    case 't': return '\t';
    case '0': return '\0';
    case '\\': return '\\';
    case '"': return '"';
    default: return std::nullopt;
  }
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

std::optional<std::string> Unescape(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes += text[i];
      continue;
    }
    if (++i == text.size()) return std::nullopt;
    if (text[i] == 'x') {
      if (i + 2 >= text.size() || !IsHexDigit(text[i + 1]) || !IsHexDigit(text[i + 2])) {
        return std::nullopt;
      }
      bytes += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
      continue;
    }
    std::optional<char> byte = SimpleEscape(text[i]);
    if (!byte) return std::nullopt;
    bytes += *byte;
  }
  return bytes;
}

std::string Escape(const std::string& bytes) {
  std::string text;
  for (char c : bytes) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\\') {
      text += "\\\\";
    } else if (u < 0x20 || u >= 0x7f) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", u);
      text += hex;
    } else {
      text += c;
    }
  }
  return text;
}

}  // namespace modemsim
