// The journal's start on any file, as the journal or as the previous
// release's records.queue (chosen by its first line): the start goes on, the
// records stay within the bounds, and what it leaves is a whole journal that
// the next start reads again without a problem, the same records in order.
#include "Journal.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

// Small bounds, so that inputs reach the oldest records giving way.
const kiv::RecordQueueLimits kLimits{8, 4096};
const char kDevice[] = "gw1";

// One state folder for the whole run, emptied for each input and removed at exit.
class StateFolder {
public:
  StateFolder() {
    const char* folder = getenv("TMPDIR");
    std::string pattern = std::string(folder && *folder ? folder : "/tmp") + "/kiv-fuzz-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) abort();
    path_ = pattern;
  }
  ~StateFolder() {
    Empty();
    rmdir(path_.c_str());
  }
  void Empty() const {
    for (const char* name : {"records.journal", "records.journal.bad", "records.journal.new",
                             "records.queue", "records.queue.bad"}) {
      unlink((path_ + "/" + name).c_str());
    }
  }
  void Write(const char* name, const uint8_t* data, size_t size) const {
    std::ofstream out(path_ + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) abort();
  }
  const std::string& path() const { return path_; }

private:
  std::string path_;
};

bool SameRecords(const std::vector<kiv::RecordQueue::Entry>& a,
                 const std::vector<kiv::RecordQueue::Entry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].id != b[i].id || a[i].name != b[i].name || a[i].text != b[i].text) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static StateFolder folder;
  folder.Empty();
  const bool old = size >= 11 && std::memcmp(data, "kiv-records", 11) == 0;
  folder.Write(old ? kiv::Journal::kOldFileName : kiv::Journal::kFileName, data, size);

  kiv::Journal::Loaded loaded = kiv::Journal(folder.path(), kDevice, kLimits).Open();
  size_t bytes = 0;
  for (const auto& record : loaded.records) {
    bytes += record.id.size() + record.name.size() + record.text.size();
  }
  if (loaded.records.size() > kLimits.records || bytes > kLimits.bytes) abort();

  kiv::Journal::Loaded again = kiv::Journal(folder.path(), kDevice, kLimits).Open();
  if (!again.problem.empty() || !SameRecords(loaded.records, again.records)) abort();
  return 0;
}
