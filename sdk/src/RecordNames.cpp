#include "RecordNames.h"

#include "StateFolder.h"

#include <algorithm>
#include <cstdio>

#include <unistd.h>

namespace kiv {
namespace {

// Ten digits: the clock's seconds until the year 2286. A start number that
// would need an eleventh digit would sort before the earlier ones.
constexpr uint64_t kLargestStart = 9999999999ULL;

// The start number kept in the file: one line of 1 to 10 digits.
bool ReadStart(const std::string& path, uint64_t* start) {
  std::string text;
  if (!ReadFirstLine(path, 10, &text)) return false;
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *start = std::stoull(text);
  return *start < kLargestStart;
}

std::string Padded(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%010llu", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

RecordNames::RecordNames(const std::string& folder, std::time_t now, std::string run,
                         std::string* problem)
    : run_(std::move(run)) {
  problem->clear();
  const uint64_t clock =
      std::min<uint64_t>(static_cast<uint64_t>(std::max<std::time_t>(now, 0)), kLargestStart);
  start_ = clock;
  if (folder.empty()) return;
  const std::string path = folder + "/" + kFileName;
  uint64_t previous = 0;
  if (ReadStart(path, &previous)) {
    start_ = std::max(previous + 1, clock);
  } else if (access(path.c_str(), F_OK) == 0) {
    *problem = path + " holds no start number: record names start again from the clock. ";
  }
  std::string failure = ReplaceFile(
      path, [this](std::FILE* out) { return WriteBytes(out, std::to_string(start_) + "\n"); });
  if (!failure.empty()) *problem += "cannot keep the start number of record names: " + failure;
}

std::string RecordNames::Next() {
  return "rec-" + Padded(start_) + "-" + Padded(sequence_.fetch_add(1) + 1) + "-" + run_;
}

}  // namespace kiv
