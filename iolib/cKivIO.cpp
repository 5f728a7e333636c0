// libKIVIOcpp: runs the node script and passes its output on; prints the
// control commands meant for the nodes.
#include "cKivIO.h"

#include "NodeRun.h"
#include "RepeatedLine.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace {

using kiv::io::RunLimits;
using kiv::io::RunOutcome;
using kiv::io::ThrowFormatted;

constexpr char kNodeScript[] = "./pynodes.py";

// The same complaint of the node script (a missing script, the same
// traceback) is passed on at most once per interval.
constexpr std::chrono::seconds kRepeatedDiagnosticInterval{60};

constexpr unsigned long long kLongestTimeLimitMs = 24ull * 3600 * 1000;
constexpr unsigned long long kLargestOutputBound = 64ull * 1024 * 1024;

// Error texts are formatted into a bounded buffer: a setting's value is
// quoted up to kQuotedBytes, a command up to kCommandBytes.
constexpr int kQuotedBytes = 64;
constexpr int kCommandBytes = 200;

// A whole number from least to most in the environment variable, else
// fallback when it is unset or empty. Throws for any other value: a setting
// that is silently replaced would hide the mistake.
unsigned long long WholeSetting(const char* name, unsigned long long least,
                                unsigned long long most, unsigned long long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  size_t digits = std::strspn(text, "0123456789");
  errno = 0;
  unsigned long long value = std::strtoull(text, nullptr, 10);
  if (text[digits] != '\0' || digits > 20 || errno != 0 || value < least || value > most) {
    ThrowFormatted("%s is \"%.*s\": not a whole number from %llu to %llu", name, kQuotedBytes,
                   text, least, most);
  }
  return value;
}

int StopDescriptor() {
  const char* name = "KIV_NODE_STOP_FD";
  if (std::getenv(name) == nullptr) return -1;
  int fd = static_cast<int>(WholeSetting(name, 0, 1 << 20, 0));
  if (fcntl(fd, F_GETFD) == -1) ThrowFormatted("%s names descriptor %d, which is not open", name, fd);
  return fd;
}

RunLimits LimitsFromEnvironment() {
  RunLimits limits;
  limits.time = std::chrono::milliseconds(
      WholeSetting("KIV_NODE_TIMEOUT_MS", 1, kLongestTimeLimitMs,
                   static_cast<unsigned long long>(limits.time.count())));
  limits.outputBytes = static_cast<size_t>(
      WholeSetting("KIV_NODE_OUTPUT_BYTES", 1, kLargestOutputBound, limits.outputBytes));
  limits.stopFd = StopDescriptor();
  return limits;
}

// Throws why a run gave nothing to pass on; returns when it did.
void ThrowIfFailed(const char* cmd, const RunOutcome& run, const RunLimits& limits) {
  if (run.stopped) ThrowFormatted("%.*s was ended early: a stop was asked for", kCommandBytes, cmd);
  if (!run.tooLarge && !run.timedOut) return;
  char tooLarge[128] = "";
  char timedOut[160] = "";
  if (run.tooLarge) {
    std::snprintf(tooLarge, sizeof tooLarge, "printed %zu bytes, more than the limit of %zu bytes",
                  run.outputBytes, limits.outputBytes);
  }
  if (run.timedOut) {
    const long long ms = static_cast<long long>(limits.time.count());
    std::snprintf(timedOut, sizeof timedOut,
                  "did not end within its time limit of %lld %s, so its process group was killed",
                  ms % 1000 == 0 ? ms / 1000 : ms, ms % 1000 == 0 ? "s" : "ms");
  }
  ThrowFormatted("%.*s %s%s%s; its output is not passed on", kCommandBytes, cmd, tooLarge,
                 run.tooLarge && run.timedOut ? ", and " : "", timedOut);
}

// The command's standard error goes on to ours, as it would unread, except
// that a complaint repeated each cycle is held back.
void PassOnDiagnostics(const RunOutcome& run) {
  if (run.diagnosticBytes == 0) return;
  std::string text = run.diagnostics;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (run.diagnosticBytes > run.diagnostics.size()) {
    char more[48];
    std::snprintf(more, sizeof more, " [%zu more bytes not shown]",
                  run.diagnosticBytes - run.diagnostics.size());
    text += more;
  }
  static std::mutex mutex;
  static kiv::RepeatedLine repeated(kRepeatedDiagnosticInterval);
  std::optional<std::string> line;
  {
    std::lock_guard<std::mutex> lock(mutex);
    line = repeated.Next(text, kiv::RepeatedLine::Clock::now());
  }
  if (line) {
    *line += '\n';
    std::fwrite(line->data(), 1, line->size(), stderr);
  }
}

}  // namespace

std::string exec(const char* cmd) {
  if (!cmd) throw std::runtime_error("popen() failed!");
  const RunLimits limits = LimitsFromEnvironment();
  RunOutcome run = kiv::io::RunInProcessGroup(cmd, limits);
  PassOnDiagnostics(run);
  ThrowIfFailed(cmd, run, limits);
  return std::move(run.output);
}

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" {

std::string OutputAll() {
  std::string data = exec(kNodeScript);
  // Written whole (the data may hold NULs), unformatted: the stream's
  // formatted output would bring its own template code for the same bytes.
  static constexpr char kLabel[] = "retrive data = ";
  std::cout.write(kLabel, sizeof kLabel - 1);
  std::cout.write(data.data(), static_cast<std::streamsize>(data.size()));
  return data;
}

std::string Input(const char* input) {
  if (input) std::printf("\ninput =%s\n", input);
  return std::string();
}

std::string Output() { return std::string(); }

}  // extern "C"
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
