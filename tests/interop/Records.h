// What the interoperability tests share: the gateway's node script that
// numbers its records, and what each record must be stored as.
#ifndef KIV_INTEROP_RECORDS_H
#define KIV_INTEROP_RECORDS_H

#include <chrono>
#include <string>

namespace interop {

inline constexpr std::chrono::milliseconds kDeadline{30000};
inline const std::string kRegistered = "registered with the platform's CSE";

// Each record names its cycle and carries text that JSON must escape. The
// count is replaced by a rename: a stop that kills the script between the
// truncation and the write of `echo > count` would start the numbers over.
inline const char* const kCounterScript =
    "n=$(cat count 2>/dev/null || echo 0); n=$((n+1)); echo $n > count.new; mv count.new count\n"
    "printf 'record %s \"q\" \\\\ 100%% \\303\\251\\t\\n' $n\n";

inline std::string ExpectedRecord(int number) {
  return "record " + std::to_string(number) + " \"q\" \\ 100% \xc3\xa9\t\n";
}

}  // namespace interop

#endif
