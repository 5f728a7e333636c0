#include "Journal.h"

#include "Format.h"
#include "StateFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace kiv {
namespace {

// The journal: a header line "kiv-journal 1 <device>", then entries
//   "<kind> <id bytes> <name bytes> <text bytes> <crc of the bytes> <crc of the line so far>\n"
//   followed by the id, name and text bytes and a newline;
// kind "+" holds a record, "-" (with the name only) says it left. The crc of
// the line makes its sizes trustworthy before anything is read by them; the
// crc of the bytes catches a record damaged or cut short.
constexpr char kJournalMagic[] = "kiv-journal 1 ";
// The previous release's file: a header line "kiv-records 1 <device>", then
// per record "<id bytes> <name bytes> <text bytes>\n", the bytes and a newline.
constexpr char kOldMagic[] = "kiv-records 1 ";
constexpr char kHeld = '+';
constexpr char kGone = '-';
constexpr size_t kLongestHeaderLine = 1024;  // the magic and a device id
constexpr size_t kLongestEntryLine = 128;    // a kind, three sizes, two checksums
// The journal is rewritten once it is this much larger than twice its live
// entries: a few records' worth, so that a short outage never rewrites it.
constexpr size_t kCompactionSlack = 64 * 1024;

// ---- Checksums and numbers ------------------------------------------------------------

// Computed at the first use, not stored: a kilobyte of flash saved for a
// kilobyte of RAM.
std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? 0xEDB88320u ^ (value >> 1) : value >> 1;
    table[i] = value;
  }
  return table;
}

// CRC-32 (the one of zlib and Ethernet).
uint32_t Crc32(const std::string& bytes) {
  static const std::array<uint32_t, 256> kTable = MakeCrcTable();
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) crc = kTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

// A whole number of decimal digits that fits in size_t, or false.
bool ParseSize(const std::string& text, size_t* value) {
  if (text.empty() || text.size() > 20) return false;
  size_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    size_t digit = static_cast<size_t>(c - '0');
    if (result > (SIZE_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool ParseHex8(const std::string& text, uint32_t* value) {
  if (text.size() != 8 || text.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return false;
  }
  *value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
  return true;
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start <= line.size() && words.size() < 8) {
    size_t end = line.find(' ', start);
    if (end == std::string::npos) end = line.size();
    words.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

// The three sizes of an entry.
struct Sizes {
  size_t id = 0, name = 0, text = 0;
  // Their sum, or SIZE_MAX when it would not fit.
  size_t Total() const {
    size_t sum = id;
    for (size_t part : {name, text}) sum = part > SIZE_MAX - sum ? SIZE_MAX : sum + part;
    return sum;
  }
};

bool ParseSizes(const std::vector<std::string>& words, size_t first, size_t bound, Sizes* sizes,
                bool* tooLarge) {
  if (words.size() < first + 3 || !ParseSize(words[first], &sizes->id) ||
      !ParseSize(words[first + 1], &sizes->name) || !ParseSize(words[first + 2], &sizes->text)) {
    return false;
  }
  *tooLarge = sizes->Total() > bound;
  return true;
}

// What the loader may allocate for one record: the byte bound, short of the
// largest size a read can take (with the newline after it).
size_t EntryBound(const RecordQueueLimits& limits) { return std::min(limits.bytes, SIZE_MAX - 1); }

std::string Count(size_t count, const char* one, const char* many) {
  return Format("%zu %s", count, count == 1 ? one : many);
}

bool Printable(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// ---- Reading a file with every length bounded -----------------------------------------

class Reader {
public:
  enum class Line { kRead, kTooLong, kCutShort, kEnd };

  explicit Reader(const std::string& path) {
    int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
      error_ = errno;
      return;
    }
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
      error_ = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
      close(descriptor);
      return;
    }
    file_.reset(fdopen(descriptor, "rb"));
    if (!file_) {
      error_ = errno;
      close(descriptor);
      return;
    }
    remaining_ = static_cast<uint64_t>(status.st_size);
  }

  bool IsOpen() const { return file_ != nullptr; }
  int error() const { return error_; }
  uint64_t Remaining() const { return remaining_; }

  // The next line without its newline, read only when it is at most longest
  // bytes; a longer line is passed over up to its newline.
  Line NextLine(size_t longest, std::string* line) {
    line->clear();
    bool tooLong = false;
    for (int c; (c = Get()) != EOF;) {
      if (c == '\n') return tooLong ? Line::kTooLong : Line::kRead;
      if (line->size() < longest) {
        line->push_back(static_cast<char>(c));
      } else {
        tooLong = true;
      }
    }
    return line->empty() && !tooLong ? Line::kEnd : Line::kCutShort;
  }

  // count bytes, which the caller checked against Remaining().
  bool Read(size_t count, std::string* bytes) {
    bytes->resize(count);
    if (count > 0 && std::fread(&(*bytes)[0], 1, count, file_.get()) != count) return false;
    remaining_ -= count;
    return true;
  }

  bool Skip(size_t count) {
    if (std::fseek(file_.get(), static_cast<long>(count), SEEK_CUR) != 0) return false;
    remaining_ -= count;
    return true;
  }

private:
  int Get() {
    int c = std::getc(file_.get());
    if (c != EOF) --remaining_;
    return c;
  }

  struct Closer {
    void operator()(FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<FILE, Closer> file_;
  uint64_t remaining_ = 0;
  int error_ = 0;
};

// The file's header line names the format and the device; "" when it is
// this device's file of that format, else why not.
std::string CheckHeader(Reader& in, const std::string& path, const char* magic,
                        const std::string& device) {
  std::string line;
  Reader::Line read = in.NextLine(kLongestHeaderLine, &line);
  if (read == Reader::Line::kEnd) return Format("%s is empty", path.c_str());
  const size_t magicSize = std::strlen(magic);
  if (read != Reader::Line::kRead || line.compare(0, magicSize, magic) != 0) {
    return Format("%s is not a file of records", path.c_str());
  }
  std::string owner = line.substr(magicSize);
  if (owner == device) return "";
  if (!Printable(owner)) return Format("%s holds the records of another device, not of this one", path.c_str());
  return Format("%s holds the records of device \"%s\", not of this one", path.c_str(),
                owner.c_str());
}

// ---- The records still held, within the queue's bounds -------------------------------

class LiveRecords {
public:
  explicit LiveRecords(const RecordQueueLimits& limits) : limits_(limits) {}

  // A name already held is not held twice; the oldest give way beyond the bounds.
  void Add(RecordQueue::Entry entry) {
    if (Find(entry.name) != entries_.end()) return;
    const size_t size = Size(entry);
    while (!entries_.empty() &&
           (entries_.size() >= limits_.records || bytes_ + size > limits_.bytes)) {
      bytes_ -= Size(entries_.front());
      entries_.erase(entries_.begin());  // a vector: at most a few thousand, read once
    }
    bytes_ += size;
    entries_.push_back(std::move(entry));
  }

  void Remove(const std::string& name) {
    auto found = Find(name);
    if (found == entries_.end()) return;
    bytes_ -= Size(*found);
    entries_.erase(found);
  }

  size_t Count() const { return entries_.size(); }

  std::vector<RecordQueue::Entry> Take() {
    std::vector<RecordQueue::Entry> taken;
    taken.swap(entries_);
    bytes_ = 0;
    return taken;
  }

private:
  static size_t Size(const RecordQueue::Entry& entry) {
    return entry.id.size() + entry.name.size() + entry.text.size();
  }
  std::vector<RecordQueue::Entry>::iterator Find(const std::string& name) {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&name](const RecordQueue::Entry& entry) { return entry.name == name; });
  }

  RecordQueueLimits limits_;
  std::vector<RecordQueue::Entry> entries_;
  size_t bytes_ = 0;
};

// Why a file could not be opened, or "" for one that is not there.
std::string OpenProblem(const Reader& in, const std::string& path) {
  if (in.error() == ENOENT) return "";
  return Format("cannot read %s: %s", path.c_str(), std::strerror(in.error()));
}

RecordQueue::Entry Split(const std::string& bytes, const Sizes& sizes) {
  return RecordQueue::Entry{bytes.substr(0, sizes.id), bytes.substr(sizes.id, sizes.name),
                            bytes.substr(sizes.id + sizes.name, sizes.text)};
}

// What went wrong in a journal, counted while it is read.
struct JournalDamage {
  size_t damaged = 0;   // entries whose line or bytes do not check
  size_t tooLarge = 0;  // whole entries larger than the byte bound
  bool cutShort = false;
  bool inStretch = false;  // the lines read since the last good entry were damaged

  void Damaged() {
    if (!inStretch) ++damaged;
    inStretch = true;
  }
  std::string Describe(const std::string& path) const {
    std::string text;
    if (damaged > 0) {
      text = Format("%s skipped", Count(damaged, "damaged entry", "damaged entries").c_str());
    }
    if (tooLarge > 0) {
      text += Format("%s%s larger than the queue's byte bound skipped", text.empty() ? "" : ", ",
                     Count(tooLarge, "record", "records").c_str());
    }
    if (cutShort) text += text.empty() ? "its end is cut short" : ", its end is cut short";
    return text.empty() ? "" : Format("%s: %s", path.c_str(), text.c_str());
  }
};

// One journal entry at the reader's position into live; false at the end.
bool ReadJournalEntry(Reader& in, size_t bound, LiveRecords& live, JournalDamage& damage) {
  std::string line;
  switch (in.NextLine(kLongestEntryLine, &line)) {
    case Reader::Line::kEnd:
      return false;
    case Reader::Line::kCutShort:
      damage.cutShort = true;
      return false;
    case Reader::Line::kTooLong:
      damage.Damaged();
      return true;
    case Reader::Line::kRead:
      break;
  }
  std::vector<std::string> words = Words(line);
  Sizes sizes;
  bool tooLarge = false;
  uint32_t bytesCrc = 0, lineCrc = 0;
  if (words.size() != 6 || words[0].size() != 1 || (words[0][0] != kHeld && words[0][0] != kGone) ||
      !ParseSizes(words, 1, bound, &sizes, &tooLarge) || !ParseHex8(words[4], &bytesCrc) ||
      !ParseHex8(words[5], &lineCrc) || Crc32(line.substr(0, line.rfind(' '))) != lineCrc) {
    damage.Damaged();  // its sizes cannot be trusted: the next good line goes on
    return true;
  }
  damage.inStretch = false;
  if (tooLarge || sizes.Total() >= in.Remaining()) {
    if (tooLarge && sizes.Total() < in.Remaining() && in.Skip(sizes.Total() + 1)) {
      ++damage.tooLarge;
      return true;
    }
    damage.cutShort = true;
    return false;
  }
  std::string bytes;
  if (!in.Read(sizes.Total() + 1, &bytes)) {
    damage.cutShort = true;
    return false;
  }
  bool endsWell = bytes.back() == '\n';
  bytes.pop_back();
  if (!endsWell || Crc32(bytes) != bytesCrc) {
    ++damage.damaged;
    return true;
  }
  RecordQueue::Entry entry = Split(bytes, sizes);
  if (words[0][0] == kHeld) {
    live.Add(std::move(entry));
  } else {
    live.Remove(entry.name);
  }
  return true;
}

// The file at path, which starts with magic and device, with its entries
// read by readEntries; "" or what was wrong with it.
std::string ReadFile(const std::string& path, const char* magic, const std::string& device,
                     const Function<std::string(Reader&)>& readEntries) {
  Reader in(path);
  if (!in.IsOpen()) return OpenProblem(in, path);
  std::string problem = CheckHeader(in, path, magic, device);
  return problem.empty() ? readEntries(in) : problem;
}

// The journal at path into live; "" or what was damaged.
std::string ReadJournal(const std::string& path, const std::string& device,
                        const RecordQueueLimits& limits, LiveRecords& live) {
  return ReadFile(path, kJournalMagic, device, [&](Reader& in) {
    JournalDamage damage;
    while (ReadJournalEntry(in, EntryBound(limits), live, damage)) {
    }
    return damage.Describe(path);
  });
}

// The previous release's file at path into live; "" or what was damaged. Its
// records carry no checksum: reading stops at the first that does not fit.
std::string ReadOldFile(const std::string& path, const std::string& device,
                        const RecordQueueLimits& limits, LiveRecords& live) {
  return ReadFile(path, kOldMagic, device, [&](Reader& in) -> std::string {
    std::string line;
    for (size_t record = 1;; ++record) {
      Reader::Line read = in.NextLine(kLongestEntryLine, &line);
      if (read == Reader::Line::kEnd) return "";
      const std::vector<std::string> words = Words(line);
      Sizes sizes;
      bool tooLarge = false;
      if (read != Reader::Line::kRead || words.size() != 3 ||
          !ParseSizes(words, 0, EntryBound(limits), &sizes, &tooLarge) || tooLarge) {
        return Format("%s: record %zu is damaged", path.c_str(), record);
      }
      std::string bytes;
      if (sizes.Total() >= in.Remaining() || !in.Read(sizes.Total() + 1, &bytes) ||
          bytes.back() != '\n') {
        return Format("%s: record %zu is cut short", path.c_str(), record);
      }
      live.Add(Split(bytes, sizes));
    }
  });
}

// ---- Writing entries ------------------------------------------------------------------

std::string FileHeader(const std::string& device) { return kJournalMagic + device + "\n"; }

std::string EncodeEntry(char kind, const RecordQueue::Entry& entry) {
  std::string bytes = entry.id + entry.name + entry.text;
  const std::string fields = Format("%c %zu %zu %zu %08x", kind, entry.id.size(), entry.name.size(),
                                    entry.text.size(), static_cast<unsigned>(Crc32(bytes)));
  std::string encoded = Format("%s %08x\n", fields.c_str(), static_cast<unsigned>(Crc32(fields)));
  encoded.reserve(encoded.size() + bytes.size() + 1);
  encoded += bytes;  // the record's bytes as they are, NULs included
  encoded += '\n';
  return encoded;
}

size_t EntrySize(const RecordQueue::Entry& entry) { return EncodeEntry(kHeld, entry).size(); }

std::string SystemError(const std::string& what) {
  return Format("%s: %s", what.c_str(), std::strerror(errno));
}

bool WriteAll(int descriptor, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t written = write(descriptor, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

// Moves a damaged file to path.bad. A file about to be replaced keeps its
// name until then: the damaged one gets a second name where the file system
// has them; else it moves at once (a power cut before its replacement is
// written then loses its records).
std::string SetAside(const std::string& path, bool replacedNext) {
  const std::string aside = path + ".bad";
  std::remove(aside.c_str());
  if ((replacedNext && link(path.c_str(), aside.c_str()) == 0) ||
      std::rename(path.c_str(), aside.c_str()) == 0) {
    return Format("set aside as %s", aside.c_str());
  }
  return SystemError(Format("cannot set it aside as %s", aside.c_str()));
}

// "" when the file at path is gone (or never was), else why not.
std::string RemovePath(const std::string& path) {
  if (std::remove(path.c_str()) == 0 || errno == ENOENT) return "";
  return SystemError(Format("cannot remove %s", path.c_str()));
}

std::string Joined(const std::string& first, const std::string& second) {
  if (first.empty()) return second;
  return second.empty() ? first : Format("%s; %s", first.c_str(), second.c_str());
}

}  // namespace

std::vector<RecordQueue::Entry> LoadJournal(const std::string& path, const std::string& device,
                                            const RecordQueueLimits& limits, std::string* damage) {
  LiveRecords live(limits);
  *damage = ReadJournal(path, device, limits, live);
  return live.Take();
}

// ---- The journal ----------------------------------------------------------------------

Journal::Journal(std::string folder, std::string device, RecordQueueLimits limits)
    : folder_(std::move(folder)),
      path_(folder_.empty() ? "" : folder_ + "/" + kFileName),
      device_(std::move(device)),
      limits_(limits) {}

Journal::Loaded Journal::Open() {
  Loaded loaded;
  if (folder_.empty()) return loaded;
  const std::string oldPath = folder_ + "/" + kOldFileName;
  const bool hasOld = access(oldPath.c_str(), F_OK) == 0;
  LiveRecords live(limits_);
  std::string oldDamage = ReadOldFile(oldPath, device_, limits_, live);
  const size_t oldRecords = live.Count();
  std::string damage = ReadJournal(path_, device_, limits_, live);
  loaded.records = live.Take();
  struct stat status {};
  const bool exists = stat(path_.c_str(), &status) == 0;
  fileBytes_ = exists ? static_cast<size_t>(status.st_size) : 0;
  HoldAll(loaded.records);

  // A damaged journal, the old file's records, or a journal left with none
  // are written anew; only then do the files they came from go.
  if (!damage.empty() && exists) damage += "; " + SetAside(path_, true);
  if (!damage.empty() || oldRecords > 0 || (loaded.records.empty() && exists)) {
    std::string failure = Rewrite(loaded.records);
    if (!failure.empty()) {
      loaded.problem = Joined(Joined(oldDamage, damage), "the records are not kept: " + failure);
      return loaded;
    }
  }
  if (hasOld) {
    oldDamage =
        Joined(oldDamage, oldDamage.empty() ? RemovePath(oldPath) : SetAside(oldPath, false));
  }
  // What a rewrite cut short by a power cut left beside the journal.
  loaded.problem = Joined(Joined(oldDamage, damage), RemovePath(path_ + ".new"));
  return loaded;
}

std::string Journal::Hold(const Entry& record) {
  if (folder_.empty()) return "";
  auto held = std::find_if(held_.begin(), held_.end(),
                           [&record](const Held& h) { return h.name == record.name; });
  if (held != held_.end()) return "";
  if (record.id.size() + record.name.size() + record.text.size() > EntryBound(limits_)) {
    return Format("record %s is larger than the queue's byte bound (%zu): it is not kept in %s",
                  record.name.c_str(), limits_.bytes, path_.c_str());
  }
  const std::string entry = EncodeEntry(kHeld, record);
  std::string problem = Append(fileBytes_ == 0 ? FileHeader(device_) + entry : entry, true);
  if (!problem.empty()) return problem;
  held_.push_back({record.name, entry.size()});
  heldBytes_ += entry.size();
  return CompactIfLarge();
}

std::string Journal::Forget(const std::string& name) {
  auto held =
      std::find_if(held_.begin(), held_.end(), [&name](const Held& h) { return h.name == name; });
  if (held == held_.end()) return "";
  heldBytes_ -= held->bytes;
  held_.erase(held);
  if (held_.empty()) return RemoveFile();
  std::string problem = Append(EncodeEntry(kGone, Entry{"", name, ""}), false);
  return problem.empty() ? CompactIfLarge() : problem;
}

// One write at the end of the file (made with its header line when it is
// new); flushed to the storage when asked. A failed write is cut off again,
// so that the next entry follows a whole one.
std::string Journal::Append(const std::string& bytes, bool flush) {
  const bool creating = fileBytes_ == 0;
  int descriptor = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) return SystemError(Format("cannot open %s", path_.c_str()));
  std::string problem;
  if (!WriteAll(descriptor, bytes)) {
    problem = SystemError(Format("cannot write %s", path_.c_str()));
    if (creating ? unlink(path_.c_str()) != 0
                 : ftruncate(descriptor, static_cast<off_t>(fileBytes_)) != 0) {
      problem += Format("; %s", SystemError("cannot cut off the part written").c_str());
    }
  } else if (flush && fdatasync(descriptor) != 0) {
    problem = SystemError(Format("cannot flush %s to the storage", path_.c_str()));
  }
  close(descriptor);
  if (!problem.empty()) return problem;
  fileBytes_ += bytes.size();
  return creating ? SyncFolder(folder_) : "";
}

std::string Journal::CompactIfLarge() {
  if (fileBytes_ <= 2 * heldBytes_ + kCompactionSlack) return "";
  std::string damage;
  std::vector<Entry> records = LoadJournal(path_, device_, limits_, &damage);
  return Joined(damage, Rewrite(records));
}

std::string Journal::Rewrite(const std::vector<Entry>& records) {
  if (records.empty()) return RemoveFile();
  std::string problem = ReplaceFile(path_, [&](std::FILE* out) {
    if (!WriteBytes(out, FileHeader(device_))) return false;
    for (const Entry& record : records) {
      if (!WriteBytes(out, EncodeEntry(kHeld, record))) return false;
    }
    return true;
  });
  if (!problem.empty()) return problem;
  HoldAll(records);
  fileBytes_ = FileHeader(device_).size() + heldBytes_;
  return "";
}

// Nothing held: no file. Not flushed: a removal lost to a power cut only
// brings back records that were stored, which the registrar refuses as
// duplicates.
std::string Journal::RemoveFile() {
  held_.clear();
  heldBytes_ = 0;
  std::string problem = RemovePath(path_);
  if (problem.empty()) fileBytes_ = 0;
  return problem;
}

void Journal::HoldAll(const std::vector<Entry>& records) {
  held_.clear();
  heldBytes_ = 0;
  for (const Entry& record : records) {
    held_.push_back({record.name, EntrySize(record)});
    heldBytes_ += held_.back().bytes;
  }
}

}  // namespace kiv
