// What the interoperability tests share: the gateway's node script that
// numbers its records, and what each record must be stored as.
#ifndef KIV_INTEROP_RECORDS_H
#define KIV_INTEROP_RECORDS_H

#include <chrono>
#include <cstddef>
#include <string>

namespace interop {

inline constexpr std::chrono::milliseconds kDeadline{30000};
inline const std::string kRegistered = "registered with the platform's CSE";

// Each record names its cycle and carries text that JSON must escape. The
// record is printed before the count moves on, and the count is replaced by
// a rename: a run killed at its time limit or by a stop (its output is then
// not published) leaves the count where it was, so the next run prints the
// same number again, and a kill between the truncation and the write of
// `echo > count` cannot start the numbers over.
inline const char* const kCounterScript =
    "n=$(cat count 2>/dev/null || echo 0); n=$((n+1))\n"
    "printf 'record %s \"q\" \\\\ 100%% \\303\\251\\t\\n' $n\n"
    "echo $n > count.new; mv count.new count\n";

// The gateway's error lines but those of a node script run that outlived
// its time limit (the interval, 1 s here): on a machine too busy to run the
// counter script within a second that cycle publishes nothing and the count
// does not move, which no check of the platform's side may count against it.
inline size_t ErrorLines(const std::string& log) {
  size_t errors = 0;
  for (size_t at = log.find("[ERROR]"); at != std::string::npos; at = log.find("[ERROR]", at + 1)) {
    size_t end = log.find('\n', at);
    if (log.substr(at, end == std::string::npos ? std::string::npos : end - at)
            .find("did not end within its time limit") == std::string::npos) {
      ++errors;
    }
  }
  return errors;
}

inline std::string ExpectedRecord(int number) {
  return "record " + std::to_string(number) + " \"q\" \\ 100% \xc3\xa9\t\n";
}

}  // namespace interop

#endif
