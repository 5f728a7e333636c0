// Resource names (rn) for records that no run of a device repeats and that
// sort in the order the records were produced, across restarts too:
//
//   rec-<start>-<sequence>-<run>    e.g. rec-1718000042-0000000007-5f3a9c1e
//
// start:    10 digits that grow at every start: the number kept in the state
//           folder ("record-names") plus one, or the clock's seconds when
//           those are more, so that a lost state folder starts again above
//           the earlier runs whenever the clock is right;
// sequence: 10 digits, 1 for the run's first record;
// run:      8 random hexadecimal digits drawn at the start, which keep apart
//           the names of two runs that came to the same start (a lost state
//           folder while the clock is behind: such runs may then sort out of
//           order, but never share a name, which the registrar would refuse
//           as a duplicate and the record be lost).
//
// Next() may be called from any thread.
#ifndef KIV_SDK_RECORD_NAMES_H
#define KIV_SDK_RECORD_NAMES_H

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

namespace kiv {

class RecordNames {
public:
  static constexpr char kFileName[] = "record-names";

  // Takes the next start number in folder ("": from the clock alone) and
  // keeps it there, written whole (ReplaceFile). *problem: "" or why the
  // stored number could not be read or the new one not kept (the names stay
  // unique: run tells this run apart).
  RecordNames(const std::string& folder, std::time_t now, std::string run, std::string* problem);

  std::string Next();
  uint64_t start() const { return start_; }

private:
  uint64_t start_ = 0;
  std::string run_;
  // 32 bits: a lock-free atomic on a 32-bit router (a 64-bit one needs
  // libatomic there), and four billion records a run fill ten digits.
  std::atomic<uint32_t> sequence_{0};
};

}  // namespace kiv

#endif
