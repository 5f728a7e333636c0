// What the journal of held records costs a router: the bytes it writes to
// the state folder through a platform outage and while the platform is
// healthy, and the memory its start takes on files that claim more than
// they hold.
//
//   build/default/bench/journal_bench [--hours 24] [--interval 15] [--folder DIR]
//
// The outbox is played as it will drive the journal: a record is held when
// the platform does not store it promptly (all of them during the outage),
// the queue's default bounds drop the oldest (the journal forgets them), and
// when the platform is back every held record is stored and forgotten. The
// record is what examples/pynodes.py prints (run once; a 422-byte stand-in
// without python3). Bytes and write calls come from /proc/self/io (wchar,
// syscw): every byte handed to the file system, the rewrites included. Give
// --folder on the storage to measure (default: a folder under /tmp).
#include "Journal.h"
#include "RecordNames.h"
#include "RecordQueue.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Io {
  unsigned long long bytes = 0;  // wchar
  unsigned long long writes = 0;  // syscw
};

Io IoNow() {
  std::ifstream in("/proc/self/io");
  Io io;
  std::string key;
  unsigned long long value = 0;
  while (in >> key >> value) {
    if (key == "wchar:") io.bytes = value;
    if (key == "syscw:") io.writes = value;
  }
  return io;
}

Io Since(const Io& start) {
  Io now = IoNow();
  return Io{now.bytes - start.bytes, now.writes - start.writes};
}

std::string TypicalRecord() {
  std::string command = "STATE_DIRECTORY=$(mktemp -d) python3 " KIV_SOURCE_DIR
                        "/examples/pynodes.py 2>/dev/null";
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
    pclose(pipe);
  }
  return text.empty() ? std::string(422, 'x') : text;
}

void Check(const std::string& problem) {
  if (problem.empty()) return;
  std::fprintf(stderr, "journal: %s\n", problem.c_str());
  std::exit(1);
}

// An outage of this many records: each held as it comes, the oldest dropped
// beyond the queue's bounds, all stored at the end.
void Outage(const std::string& folder, size_t records, const std::string& text, int interval) {
  kiv::Journal journal(folder, "bench-gw", kiv::RecordQueueLimits());
  journal.Open();
  kiv::RecordQueue queue;
  std::deque<std::string> held;  // the names the queue holds, oldest first
  std::string problem;
  kiv::RecordNames names(folder, std::time(nullptr), "0badcafe", &problem);
  const Io start = IoNow();
  uintmax_t largest = 0;
  for (size_t i = 0; i < records; ++i) {
    kiv::RecordQueue::Entry record{"bench-" + std::to_string(i), names.Next(), text};
    Check(journal.Hold(record));
    held.push_back(record.name);
    for (size_t dropped = queue.Push(record); dropped > 0; --dropped) {
      Check(journal.Forget(held.front()));
      held.pop_front();
    }
    largest = std::max(largest, fs::file_size(journal.path()));
  }
  const Io whileHeld = Since(start);
  while (!queue.Empty()) {
    Check(journal.Forget(queue.Front().name));
    queue.PopFront();
  }
  const Io all = Since(start);
  const double minutes = static_cast<double>(records) * interval / 60;
  std::printf(
      "outage of %.0f min, a record every %d s: %zu records of %zu bytes held\n"
      "  written while held: %llu bytes in %llu writes (%.0f bytes a record), journal at most "
      "%ju KiB\n"
      "  with the delivery at the end: %llu bytes in %llu writes\n"
      "  64 KiB erase blocks' worth: %.1f, with a 68-byte node header a write (jffs2): %.1f\n",
      minutes, interval, records, text.size(), whileHeld.bytes, whileHeld.writes,
      static_cast<double>(whileHeld.bytes) / static_cast<double>(records), largest / 1024, all.bytes,
      all.writes, static_cast<double>(all.bytes) / 65536,
      static_cast<double>(all.bytes + 68 * all.writes) / 65536);
}

// The peak resident memory a child process reaches running work, in KiB,
// above a child that starts a journal in an empty folder.
long PeakKiB(const std::string& folder, const std::function<void()>& work) {
  auto peak = [](const std::function<void()>& what) {
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
      what();
      _exit(0);
    }
    int status = 0;
    struct rusage usage {};
    wait4(child, &status, 0, &usage);
    return usage.ru_maxrss;
  };
  const std::string empty = folder + "/empty";
  fs::create_directories(empty);
  long floor = peak([&] { kiv::Journal(empty, "bench-gw", kiv::RecordQueueLimits()).Open(); });
  return peak(work) - floor;
}

void LoadMemory(const std::string& folder, const std::string& name, const std::string& contents,
                const char* what) {
  fs::remove_all(folder);
  fs::create_directories(folder);
  std::ofstream(folder + "/" + name, std::ios::binary) << contents;
  const auto size = fs::file_size(folder + "/" + name);
  long kib = PeakKiB(folder, [&] {
    kiv::Journal::Loaded loaded = kiv::Journal(folder, "bench-gw", kiv::RecordQueueLimits()).Open();
    std::printf("    %zu records; %s\n", loaded.records.size(),
                loaded.problem.empty() ? "no problem" : loaded.problem.c_str());
    std::fflush(stdout);
  });
  std::printf("  %s (%ju bytes): peak memory at load +%ld KiB\n", what, static_cast<uintmax_t>(size),
              kib);
}

}  // namespace

int main(int argc, char** argv) {
  double hours = 24;
  int interval = 15;
  std::string folder = (fs::temp_directory_path() / ("journal-bench-" + std::to_string(getpid())));
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--hours") == 0) hours = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--interval") == 0) interval = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--folder") == 0) folder = argv[i + 1];
  }
  fs::create_directories(folder);
  const std::string text = TypicalRecord();

  // Healthy: every record is stored within the holding delay and never held;
  // the journal is opened at the start and finds nothing.
  {
    const Io start = IoNow();
    kiv::Journal journal(folder, "bench-gw", kiv::RecordQueueLimits());
    Check(journal.Open().problem);
    std::printf("healthy hour, a record every %d s: %llu bytes written\n", interval,
                Since(start).bytes);
  }
  Outage(folder, static_cast<size_t>(hours * 3600 / interval), text, interval);
  Outage(folder, static_cast<size_t>(120 / interval), text, interval);

  std::printf("memory at start:\n");
  std::string claims = "kiv-records 1 bench-gw\n10 10 67108800\n" + std::string(134, 'x');
  LoadMemory(folder, kiv::Journal::kOldFileName, claims, "records.queue whose record claims 64 MiB");
  std::string bigOld = "kiv-records 1 bench-gw\n";
  for (size_t i = 0; bigOld.size() < (64u << 20); ++i) {
    const std::string name = "rec-" + std::to_string(i);
    bigOld += "0 " + std::to_string(name.size()) + " " + std::to_string(text.size()) + "\n" + name +
              text + "\n";
  }
  LoadMemory(folder, kiv::Journal::kOldFileName, bigOld, "records.queue of 64 MiB of records");
  std::string garbage(64u << 20, '\0');
  LoadMemory(folder, kiv::Journal::kFileName, "kiv-journal 1 bench-gw\n" + garbage,
             "journal of 64 MiB of zeros");
  fs::remove_all(folder);
  return 0;
}
