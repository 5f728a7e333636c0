#include "RecordNames.h"

#include "Format.h"
#include "StateFolder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

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
  *start = std::strtoull(text.c_str(), nullptr, 10);  // ten digits at most: no overflow
  return *start < kLargestStart;
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
    *problem = Format("%s holds no start number: record names start again from the clock. ",
                      path.c_str());
  }
  std::string failure = ReplaceFile(path, [this](std::FILE* out) {
    return std::fprintf(out, "%llu\n", static_cast<unsigned long long>(start_)) > 0;
  });
  if (!failure.empty()) {
    *problem += Format("cannot keep the start number of record names: %s", failure.c_str());
  }
}

std::string RecordNames::Next() {
  const unsigned sequence = sequence_.fetch_add(1) + 1;
  return Format("rec-%010llu-%010u-%s", static_cast<unsigned long long>(start_), sequence,
                run_.c_str());
}

}  // namespace kiv
