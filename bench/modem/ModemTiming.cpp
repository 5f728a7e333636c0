// modem_timing: times the modemctl demonstration against a responsive modem
// simulator.
//
// Runs tools/modemsim/modemsim --verbose (its traffic log carries monotonic
// times) and modem/modemctl pointed at it, for a while, then reports from the
// simulator's log:
//   - start to first publish: from starting modemctl to the simulator
//     receiving the first AT+QMTPUB, and to its "+QMTPUB: 0,0,0" reply;
//   - the publish cycle: time between publishes, and how long one publish
//     call (two probes, status query, publish) takes;
//   - every exchange against its bound. An exchange is a drain of 0.5 s of
//     silence, the command, and up to k wait cycles of 10 ms plus a read that
//     ends after 0.5 s of silence. From one command to the next the log shows
//     this exchange's wait and the next one's drain: k * 0.51 s + 0.5 s by the
//     nominal arithmetic. The kernel ends a half-second read a little late
//     (timer granularity), so the bound checked uses the read timeout measured
//     on a pseudo-terminal here, T: k * (0.01 s + T) + T, plus 0.1 s for
//     printing and scheduling on a busy machine.
//
// The programs come from KIV_BUILD_DIR, else from the build folder this was
// built in; the simulator's log is left in that folder as modem_timing.log.
#include "ModemSimulator.h"
#include "Process.h"
#include "PseudoTerminal.h"
#include "TestSupport.h"
#include "TextEscapes.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

const char kUsage[] =
    "usage: modem_timing [--seconds 32] [--broker tcp://127.0.0.1:PORT]\n"
    "Without --broker the simulator answers from its own small broker.\n";

constexpr double kPause = 0.01;   // the sleep before each wait cycle
constexpr double kTimeout = 0.5;  // VTIME 5
constexpr double kSlack = 0.1;    // printing and scheduling
const char kPublish[] = "AT+QMTPUB=";
constexpr double kLongestRun = 86400;  // seconds; keeps the milliseconds in a 32-bit long

struct Settings {
  double seconds = 32.0;
  std::string broker;
};

// One logged chunk: its monotonic time, whether the tool sent it ("<<") or
// the simulator (">>"), and its bytes.
struct LogEntry {
  double when;
  bool fromTool;
  std::string text;
};

// One command line the tool wrote, with the time the simulator got it.
struct Command {
  double when;
  std::string line;
};

[[noreturn]] void Fail(const std::string& message) {
  fprintf(stderr, "modem_timing: %s\n", message.c_str());
  exit(2);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

Settings ParseArguments(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--help") {
      fputs(kUsage, stdout);
      exit(0);
    }
    if (i + 1 >= argc || (option != "--seconds" && option != "--broker")) {
      fputs(kUsage, stderr);
      Fail("bad option " + option);
    }
    const char* value = argv[++i];
    if (option == "--broker") {
      settings.broker = value;
      continue;
    }
    char* end = nullptr;
    settings.seconds = strtod(value, &end);
    bool inRange = settings.seconds > 0 && settings.seconds <= kLongestRun;
    if (*end != '\0' || !inRange) Fail(std::string("bad --seconds ") + value);
  }
  return settings;
}

// The wait cycles of a command's exchange, by its longest known prefix.
int WaitCycles(const std::string& command) {
  static const std::pair<const char*, int> kCycles[] = {
      {"AT+QMTCONN?", 5}, {"AT+QMTOPEN=", 9}, {"AT+QMTCONN=", 9}, {"AT+QMTSUB=", 9},
      {kPublish, 9},      {"AT+QMTCLOSE=", 5}, {"AT", 1}};
  size_t longest = 0;
  int cycles = 1;
  for (const auto& [prefix, k] : kCycles) {
    size_t length = strlen(prefix);
    if (length > longest && StartsWith(command, prefix)) {
      longest = length;
      cycles = k;
    }
  }
  return cycles;
}

// Where the simulator's log is left for a look after the run.
std::string LogPath() { return kivtest::BuildDir() + "/modem_timing.log"; }

double SecondsSince(Clock::time_point start) { return Seconds(Clock::now() - start).count(); }

// Mean time a one-byte read with VMIN 0, VTIME 5 takes on a silent pty.
double MeasuredReadTimeout() {
  modemsim::PseudoTerminal line;
  kivtest::ConfigureTerminal(line.device(), [](struct termios& settings) {
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 5;
  });
  constexpr int kReads = 4;
  double total = 0;
  for (int i = 0; i < kReads; ++i) {
    Clock::time_point start = Clock::now();
    char byte;
    if (read(line.device(), &byte, 1) < 0) Fail(std::string("read: ") + strerror(errno));
    total += SecondsSince(start);
  }
  return total / kReads;
}

// Runs modemctl against the simulator for the given time; the simulator's
// log, or nothing when modemctl ended early. start is when modemctl started.
std::optional<std::string> RunDemonstration(const Settings& settings, Clock::time_point& start) {
  std::vector<std::string> simulatorCommand = kivtest::ProgramCommand("tools/modemsim/modemsim");
  simulatorCommand.push_back("--verbose");
  if (!settings.broker.empty()) {
    simulatorCommand.insert(simulatorCommand.end(), {"--broker", settings.broker});
  }
  kivtest::Process simulator(simulatorCommand);
  if (!simulator.WaitForOutput("\n", std::chrono::seconds(10))) {
    Fail("the simulator named no device: " + simulator.Stderr());
  }
  std::string device = simulator.Stdout();
  device.erase(device.find('\n'));
  kivtest::Process::Options options;
  options.env = {{"MODEMCTL_DEVICE", device}, {"MODEMCTL_BROKER_HOST", "127.0.0.1"}};
  start = Clock::now();
  kivtest::Process demo(kivtest::ProgramCommand("modem/modemctl"), options);
  bool endedEarly = demo.Wait(std::chrono::milliseconds(static_cast<long>(settings.seconds * 1000)))
                        .has_value();
  demo.Signal(SIGKILL);
  demo.Wait(std::chrono::seconds(5));
  simulator.Signal(SIGTERM);
  if (!simulator.Wait(std::chrono::seconds(5))) Fail("the simulator did not stop");
  std::string log = simulator.Stderr();
  kivtest::WriteFile(LogPath(), log);
  if (endedEarly) {
    fprintf(stderr, "modemctl ended early\n%s", demo.Stderr().c_str());
    return std::nullopt;
  }
  return log;
}

// Lines "<seconds> <<|>> <escaped text>"; other lines are skipped.
std::vector<LogEntry> ReadLog(const std::string& log) {
  std::vector<LogEntry> entries;
  size_t start = 0;
  for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = log.substr(start, end - start);
    char* rest = nullptr;
    double when = strtod(line.c_str(), &rest);
    size_t textAt = static_cast<size_t>(rest - line.c_str()) + 4;
    if (rest == line.c_str() || line.size() < textAt) continue;
    std::string direction = line.substr(textAt - 4, 4);
    if (direction != " << " && direction != " >> ") continue;
    std::optional<std::string> text = modemsim::Unescape(line.substr(textAt));
    entries.push_back({when, direction == " << ", text ? *text : line.substr(textAt)});
  }
  return entries;
}

// The command lines the tool wrote, split at CR LF.
std::vector<Command> Commands(const std::vector<LogEntry>& entries) {
  std::vector<Command> found;
  for (const LogEntry& entry : entries) {
    if (!entry.fromTool) continue;
    for (size_t start = 0; start <= entry.text.size();) {
      size_t end = std::min(entry.text.find("\r\n", start), entry.text.size());
      if (end > start) found.push_back({entry.when, entry.text.substr(start, end - start)});
      start = end + 2;
    }
  }
  return found;
}

// When the simulator first sent a chunk containing text, at or after since.
std::optional<double> FirstReply(const std::vector<LogEntry>& entries, const std::string& text,
                                 double since) {
  for (const LogEntry& entry : entries) {
    if (!entry.fromTool && entry.when >= since && entry.text.find(text) != std::string::npos) {
      return entry.when;
    }
  }
  return std::nullopt;
}

std::string Joined(const std::vector<double>& values) {
  std::string text;
  for (double value : values) {
    char number[32];
    snprintf(number, sizeof number, "%.3f", value);
    text += (text.empty() ? "" : ", ") + std::string(number);
  }
  return text;
}

void ReportStart(const std::vector<LogEntry>& entries, double firstPublish, double start) {
  printf("start to first AT+QMTPUB received:  %.3f s\n", firstPublish - start);
  std::optional<double> confirmed = FirstReply(entries, "+QMTPUB: 0,0,0", 0);
  if (confirmed) printf("start to first publish confirmed:   %.3f s\n", *confirmed - start);
}

void ReportPublishGaps(const std::vector<double>& publishes) {
  std::vector<double> gaps;
  for (size_t i = 1; i < publishes.size(); ++i) gaps.push_back(publishes[i] - publishes[i - 1]);
  if (gaps.empty()) return;
  double sum = 0;
  for (double gap : gaps) sum += gap;
  printf("publish to publish: %s s (mean %.3f)\n", Joined(gaps).c_str(),
         sum / static_cast<double>(gaps.size()));
}

// A publish call starts with its two probes: the "AT" two commands before
// its status query.
void ReportPublishCalls(const std::vector<Command>& sent) {
  std::vector<double> calls;
  for (size_t i = 3; i < sent.size(); ++i) {
    if (StartsWith(sent[i].line, kPublish) && sent[i - 3].line == "AT") {
      calls.push_back(sent[i].when - sent[i - 3].when);
    }
  }
  if (calls.empty()) return;
  printf("one publish call, first probe to publish command: %s s (+ its own drain of 0.5 s)\n",
         Joined(calls).c_str());
}

void ReportPublishReplies(const std::vector<LogEntry>& entries,
                          const std::vector<double>& publishes) {
  std::optional<double> longest;
  for (double when : publishes) {
    std::optional<double> answered = FirstReply(entries, "+QMTPUB:", when);
    if (answered) longest = std::max(longest.value_or(0), *answered - when);
  }
  if (longest) {
    printf("publish command to its +QMTPUB reply (9 cycles allowed, 4.6 s): max %.3f s\n",
           *longest);
  }
}

// Prints every exchange against its bound; the number over it.
int ReportExchanges(const std::vector<Command>& sent, double timeout) {
  printf("\n%-36s %2s %8s %8s %8s %s\n", "command", "k", "to next", "nominal", "bound", "");
  double worst = 0;
  int over = 0;
  for (size_t i = 0; i + 1 < sent.size(); ++i) {
    const Command& command = sent[i];
    // The loop's pause between publishes, not an exchange.
    if (sent[i + 1].line == "AT" && StartsWith(command.line, kPublish)) continue;
    int k = WaitCycles(command.line);
    double nominal = k * (kPause + kTimeout) + kTimeout;
    double bound = k * (kPause + timeout) + timeout + kSlack;
    double gap = sent[i + 1].when - command.when;
    worst = std::max(worst, gap / bound);
    bool ok = gap <= bound;
    over += ok ? 0 : 1;
    printf("%-36s %2d %8.3f %8.3f %8.3f %s\n", command.line.substr(0, 36).c_str(), k, gap, nominal,
           bound, ok ? "ok" : "OVER");
  }
  printf("\nworst exchange at %.0f%% of its bound; %d over\n", worst * 100, over);
  return over;
}

// Everything after the run; the exit status.
int Report(const std::string& log, double start) {
  double timeout = MeasuredReadTimeout();
  printf("half-second read timeout measured on a pty here: %.3f s\n", timeout);
  std::vector<LogEntry> entries = ReadLog(log);
  std::vector<Command> sent = Commands(entries);
  std::vector<double> publishes;
  for (const Command& command : sent) {
    if (StartsWith(command.line, kPublish)) publishes.push_back(command.when);
  }
  if (publishes.empty()) {
    fprintf(stderr, "no publish seen; log in %s\n", LogPath().c_str());
    return 1;
  }
  ReportStart(entries, publishes.front(), start);
  ReportPublishGaps(publishes);
  ReportPublishCalls(sent);
  ReportPublishReplies(entries, publishes);
  return ReportExchanges(sent, timeout) > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("KIV_BUILD_DIR", KIV_DEFAULT_BUILD_DIR, 0);  // where modemsim and modemctl are
  Settings settings = ParseArguments(argc, argv);
  Clock::time_point start;
  std::optional<std::string> log = RunDemonstration(settings, start);
  if (!log) return 1;
  return Report(*log, Seconds(start.time_since_epoch()).count());
}
