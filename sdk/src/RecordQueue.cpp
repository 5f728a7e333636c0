#include "RecordQueue.h"

#include "StateFolder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kiv {
namespace {

// What one record costs besides its bytes: the deque's node and three strings.
constexpr size_t kQueuedRecordOverhead = 128;
constexpr char kFileMagic[] = "kiv-records 1 ";
constexpr size_t kSavedLineLimit = 4096;        // the header and each line of sizes
constexpr size_t kSavedRecordLimit = 64u << 20;  // one record's bytes, all three parts

std::optional<size_t> WholeNumber(const char* text) {
  if (text == nullptr || *text < '0' || *text > '9') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < 1) return std::nullopt;
  return static_cast<size_t>(value);
}

void LimitFromEnvironment(const char* name, size_t* limit, std::string* warning) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return;
  if (std::optional<size_t> value = WholeNumber(text)) {
    *limit = *value;
  } else if (warning) {
    *warning += std::string(warning->empty() ? "" : "; ") + name + "=\"" + text +
                "\" is not a whole number of at least 1, " + std::to_string(*limit) + " is used";
  }
}

}  // namespace

RecordQueue::RecordQueue(Limits limits) : limits_(limits) {}

size_t RecordQueue::Cost(const Entry& entry) {
  return entry.id.size() + entry.name.size() + entry.text.size() + kQueuedRecordOverhead;
}

size_t RecordQueue::Push(Entry entry) {
  size_t cost = Cost(entry);
  size_t dropped = 0;
  while (!entries_.empty() &&
         (entries_.size() >= limits_.records || bytes_ + cost > limits_.bytes)) {
    PopFront();
    ++dropped;
  }
  bytes_ += cost;
  entries_.push_back(std::move(entry));
  return dropped;
}

void RecordQueue::PopFront() {
  bytes_ -= Cost(entries_.front());
  entries_.pop_front();
}

bool RecordQueue::Contains(const std::string& id) const {
  for (const Entry& entry : entries_) {
    if (entry.id == id) return true;
  }
  return false;
}

RecordQueue::Limits RecordQueueLimitsFromEnvironment(std::string* warning) {
  RecordQueue::Limits limits;
  LimitFromEnvironment("KIV_RECORD_QUEUE_RECORDS", &limits.records, warning);
  LimitFromEnvironment("KIV_RECORD_QUEUE_BYTES", &limits.bytes, warning);
  return limits;
}

std::string SaveRecords(const std::string& path, const std::string& device,
                        const std::vector<RecordQueue::Entry>& entries) {
  if (entries.empty()) {
    if (std::remove(path.c_str()) != 0 && errno != ENOENT) {
      return "cannot remove " + path + ": " + std::strerror(errno);
    }
    return "";
  }
  return ReplaceFile(path, [&](std::FILE* out) {
    std::fprintf(out, "%s%s\n", kFileMagic, device.c_str());
    for (const RecordQueue::Entry& entry : entries) {
      std::fprintf(out, "%zu %zu %zu\n", entry.id.size(), entry.name.size(), entry.text.size());
      for (const std::string* part : {&entry.id, &entry.name, &entry.text}) {
        std::fwrite(part->data(), 1, part->size(), out);
      }
      std::fputc('\n', out);
    }
  });
}

namespace {

// A line of sizes, "<id bytes> <name bytes> <text bytes>", each a whole
// number and all three within the bound of one record.
bool ParseSizes(const std::string& line, size_t sizes[3]) {
  const char* at = line.c_str();
  size_t total = 0;
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && *at++ != ' ') return false;
    if (*at < '0' || *at > '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long size = std::strtoull(at, &end, 10);
    if (errno != 0 || size > kSavedRecordLimit) return false;
    sizes[i] = static_cast<size_t>(size);
    total += sizes[i];
    at = end;
  }
  return *at == '\0' && total <= kSavedRecordLimit;
}

// Reads the records after the header; stops at the first damaged one.
void ReadRecords(std::FILE* in, const std::string& path, LoadedRecords* loaded) {
  std::string line;
  while (ReadLine(in, &line, kSavedLineLimit)) {
    std::string number = std::to_string(loaded->entries.size() + 1);
    size_t sizes[3];
    if (!ParseSizes(line, sizes)) {
      loaded->error = path + ": record " + number + " is damaged";
      return;
    }
    std::string bytes(sizes[0] + sizes[1] + sizes[2] + 1, '\0');
    if (std::fread(&bytes[0], 1, bytes.size(), in) != bytes.size() || bytes.back() != '\n') {
      loaded->error = path + ": record " + number + " is cut short";
      return;
    }
    loaded->entries.push_back(RecordQueue::Entry{bytes.substr(0, sizes[0]),
                                                 bytes.substr(sizes[0], sizes[1]),
                                                 bytes.substr(sizes[0] + sizes[1], sizes[2])});
  }
}

}  // namespace

LoadedRecords LoadRecords(const std::string& path, const std::string& device) {
  LoadedRecords loaded;
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return loaded;  // nothing was saved
  std::string header;
  ReadLine(in, &header, kSavedLineLimit);
  if (header.compare(0, sizeof kFileMagic - 1, kFileMagic) != 0) {
    loaded.error = path + " is not a file of saved records";
  } else if (std::string owner = header.substr(sizeof kFileMagic - 1); owner != device) {
    loaded.error = path + " holds the records of device \"" + owner + "\", not of this one";
  } else {
    ReadRecords(in, path, &loaded);
  }
  std::fclose(in);
  return loaded;
}

}  // namespace kiv
