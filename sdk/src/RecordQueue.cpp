#include "RecordQueue.h"

#include "StateFolder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kiv {
namespace {

// What one record costs besides its bytes: the deque's node and three strings.
constexpr size_t kQueuedRecordOverhead = 128;
constexpr char kFileMagic[] = "kiv-records 1 ";

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
                        const std::deque<RecordQueue::Entry>& entries) {
  if (entries.empty()) {
    if (std::remove(path.c_str()) != 0 && errno != ENOENT) {
      return "cannot remove " + path + ": " + std::strerror(errno);
    }
    return "";
  }
  return ReplaceFile(path, [&](std::ostream& out) {
    out << kFileMagic << device << '\n';
    for (const RecordQueue::Entry& entry : entries) {
      out << entry.id.size() << ' ' << entry.name.size() << ' ' << entry.text.size() << '\n'
          << entry.id << entry.name << entry.text << '\n';
    }
  });
}

LoadedRecords LoadRecords(const std::string& path, const std::string& device) {
  LoadedRecords loaded;
  std::ifstream in(path, std::ios::binary);
  if (!in) return loaded;  // nothing was saved
  std::string header;
  std::getline(in, header);
  if (header.compare(0, sizeof kFileMagic - 1, kFileMagic) != 0) {
    loaded.error = path + " is not a file of saved records";
    return loaded;
  }
  std::string owner = header.substr(sizeof kFileMagic - 1);
  if (owner != device) {
    loaded.error = path + " holds the records of device \"" + owner + "\", not of this one";
    return loaded;
  }
  std::string sizes;
  while (std::getline(in, sizes)) {
    std::istringstream line(sizes);
    size_t idSize = 0, nameSize = 0, textSize = 0;
    if (!(line >> idSize >> nameSize >> textSize) || idSize + nameSize + textSize > (64u << 20)) {
      loaded.error = path + ": record " + std::to_string(loaded.entries.size() + 1) + " is damaged";
      return loaded;
    }
    std::string bytes(idSize + nameSize + textSize + 1, '\0');
    if (!in.read(&bytes[0], static_cast<std::streamsize>(bytes.size())) || bytes.back() != '\n') {
      loaded.error = path + ": record " + std::to_string(loaded.entries.size() + 1) + " is cut short";
      return loaded;
    }
    loaded.entries.push_back(RecordQueue::Entry{bytes.substr(0, idSize),
                                                bytes.substr(idSize, nameSize),
                                                bytes.substr(idSize + nameSize, textSize)});
  }
  return loaded;
}

}  // namespace kiv
