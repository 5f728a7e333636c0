// The records the platform has not stored yet, kept in the state folder so
// that a stop, a crash or a power cut loses none of them: an append-only
// journal, "records.journal" (docs/protocol.md, "Records").
//
// The outbox tells it when a record starts being held (Hold: not stored
// promptly, or an outage began) and when a held record left (Forget: stored,
// refused for good or dropped). Records stored promptly are never written,
// so a healthy platform costs no write at all. Each Hold is one append,
// flushed to the storage before it returns: a power cut loses at most the
// record being written. Forget appends a small mark, not flushed (a mark lost
// to a power cut only sends a stored record again, which the registrar
// refuses as a duplicate); the last Forget removes the file. When the file
// has grown to twice its live records and more, it is rewritten with those
// alone (ReplaceFile).
//
// Open reads it once at start and keeps it: its records stay in it until
// they are stored. A damaged entry is skipped and named, the good ones are
// kept, and a damaged file is set aside ("<file>.bad") once its good records
// are written anew. Memory at load is bounded by the queue's bounds.
//
// Not thread-safe: the outbox owns it.
#ifndef KIV_SDK_JOURNAL_H
#define KIV_SDK_JOURNAL_H

#include "RecordQueue.h"

#include <cstddef>
#include <string>
#include <vector>

namespace kiv {

class Journal {
public:
  using Entry = RecordQueue::Entry;
  static constexpr char kFileName[] = "records.journal";
  // What gatewayd releases before the journal left at a stop.
  static constexpr char kOldFileName[] = "records.queue";

  struct Loaded {
    std::vector<Entry> records;  // oldest first, within the limits
    std::string problem;         // what was damaged, set aside or not written; "" when nothing
  };

  // folder: the state folder; "" keeps nothing (every call does nothing).
  // Records are kept for device only.
  Journal(std::string folder, std::string device, RecordQueueLimits limits);

  // Reads the journal, and a file the previous release left at its stop
  // (which then goes: its records are in the journal). Call once, first. The
  // records it returns count as held.
  Loaded Open();

  // The record is held from now on: appended and flushed. A record already
  // held is not written again; one larger than the byte bound on its own is
  // not written (the loader would refuse it). "" or why it is not kept.
  std::string Hold(const Entry& record);
  // The record of this name left the outbox. "" or the error.
  std::string Forget(const std::string& name);

  size_t HeldCount() const { return held_.size(); }
  const std::string& path() const { return path_; }

private:
  struct Held {
    std::string name;
    size_t bytes;  // of its entry in the file
  };

  std::string Append(const std::string& bytes, bool flush);
  std::string Rewrite(const std::vector<Entry>& records);
  std::string CompactIfLarge();
  std::string RemoveFile();
  void HoldAll(const std::vector<Entry>& records);

  std::string folder_;
  std::string path_;
  std::string device_;
  RecordQueueLimits limits_;
  std::vector<Held> held_;  // oldest first; a few thousand at most
  size_t heldBytes_ = 0;  // of the held records' entries
  size_t fileBytes_ = 0;  // of the file as written
};

// Reads a journal file: its records still held (later marks applied), oldest
// first, within limits (the oldest give way, as in the queue). *damage names
// what could not be read ("" when all could). A missing file has no records
// and no damage.
std::vector<RecordQueue::Entry> LoadJournal(const std::string& path, const std::string& device,
                                            const RecordQueueLimits& limits, std::string* damage);

}  // namespace kiv

#endif
