// One run of a command as the node bridge runs its node script: through
// /bin/sh, in a process group of its own, its standard output read as bytes
// (NULs included) with poll against a time limit and a byte bound, and the
// start of its standard error kept. Whatever way the run ends, the whole
// group ends with it, so a script that hangs, forks a child that keeps the
// output open or ignores SIGTERM cannot hold the caller. Nothing here prints.
#ifndef KIV_IO_NODE_RUN_H
#define KIV_IO_NODE_RUN_H

#include <chrono>
#include <cstddef>
#include <string>

namespace kiv {
namespace io {

struct RunLimits {
  std::chrono::milliseconds time{60000};
  size_t outputBytes = 256 * 1024;
  int stopFd = -1;  // the run ends as soon as this descriptor is readable; -1: none
};

// How much of the standard error a run keeps (the rest is only counted).
constexpr size_t kKeptDiagnosticBytes = 2048;

struct RunOutcome {
  std::string output;          // all of the standard output, unless tooLarge
  size_t outputBytes = 0;      // bytes printed until the output ended or the run was ended
  bool tooLarge = false;       // more than RunLimits::outputBytes: output is empty
  bool timedOut = false;       // still running (or its output still open) at the time limit
  bool stopped = false;        // ended because the stop descriptor became readable
  std::string diagnostics;     // the first kKeptDiagnosticBytes of its standard error
  size_t diagnosticBytes = 0;  // all of its standard error
};

// Runs command and returns what it printed and how the run ended. When its
// output ends, the shell gets the rest of the time limit to exit; its
// standard error, which a background process may hold, holds no run. A run that
// ends early sends the group SIGTERM and waits up to 0.3 s for its outputs to
// close; after every run, what is left of the group gets SIGKILL (a process
// that left the group on purpose, with setsid or setpgid, is its own
// affair). The caller is held for at most the time limit and those 0.3 s. The usual signals start at
// their default dispositions, none blocked; the KIV_NODE_STOP_FD variable is
// not passed on. Throws std::runtime_error("popen() failed!")
// when the command cannot be started, and std::runtime_error for a failing
// poll (the group is ended first).
RunOutcome RunInProcessGroup(const char* command, const RunLimits& limits);

// Throws std::runtime_error with the printf-style text (at most 511 bytes):
// a message made without std::string sums, which bring their own code.
[[noreturn]] void ThrowFormatted(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

}  // namespace io
}  // namespace kiv

#endif
