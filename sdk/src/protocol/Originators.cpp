#include "Originators.h"

#include <cctype>

namespace kiv {
namespace protocol {

OriginatorAllowList::OriginatorAllowList(const std::string& registrarId,
                                         const std::string& patterns)
    : registrarId_(registrarId) {
  std::string pattern;
  for (char c : patterns) {
    if (c == ',' || std::isspace(static_cast<unsigned char>(c))) {
      if (!pattern.empty()) patterns_.push_back(pattern);
      pattern.clear();
    } else {
      pattern += c;
    }
  }
  if (!pattern.empty()) patterns_.push_back(pattern);
}

namespace {

// The CSE a forwarded request's "fr" belongs to: the CSE-ID of an
// SP-relative (/X/...) or absolute (//SP/X/...) id; the registrar for a
// relative id or none.
std::string AskingCse(const std::string& from, const std::string& registrarId) {
  std::string path = from;
  if (path.compare(0, 2, "//") == 0) {
    size_t slash = path.find('/', 2);
    path = slash == std::string::npos ? "" : path.substr(slash);
  }
  if (path.empty() || path[0] != '/') return registrarId;
  return path.substr(1, path.find('/', 1) - 1);
}

}  // namespace

bool OriginatorAllowList::Allows(const std::string& originator, const std::string& from) const {
  if (patterns_.empty()) return true;
  if (originator == registrarId_) {
    std::string asker = AskingCse(from, registrarId_);
    if (asker == registrarId_) return true;
    return Allows(asker);
  }
  for (const std::string& pattern : patterns_) {
    if (MatchesPattern(pattern, originator)) return true;
  }
  return false;
}

std::string OriginatorAllowList::Describe() const {
  if (patterns_.empty()) return "everyone";
  std::string text = registrarId_;
  for (const std::string& pattern : patterns_) text += " " + pattern;
  return text;
}

// Greedy matching with one step back to the last '*': linear in practice,
// and never recursive on an untrusted originator.
bool MatchesPattern(const std::string& pattern, const std::string& text) {
  size_t p = 0, t = 0;
  size_t star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace protocol
}  // namespace kiv
