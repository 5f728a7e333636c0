// modemsim: a BC66 NB-IoT modem on a pseudo-terminal, for trying modemctl
// without hardware and for its tests. Prints the device path on its first
// line, answers AT commands on it, and bridges the modem's MQTT client to a
// real broker (or to a small broker of its own when none is given).
//
// Control lines on standard input: "send <text>" writes text (C escapes)
// to the line and answers "sent <bytes>"; "quit" ends the simulator.
#include "LoopbackNetwork.h"
#include "ModemEngine.h"
#include "MqttNetwork.h"
#include "TextEscapes.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

using modemsim::FaultRule;

const char kUsage[] =
    "usage: modemsim [options]\n"
    "  --broker URI          bridge MQTT to this broker (tcp://host:port); any host the\n"
    "                        tool asks for maps to it. Without it, messages published\n"
    "                        come back to the simulator's own subscribers.\n"
    "  --transcript FILE     write every byte the tool sends to FILE, as is\n"
    "  --link PATH           also make PATH a symbolic link to the device\n"
    "  --verbose             log the traffic on standard error, with monotonic times\n"
    "faults (PATTERN is a whole command line, or its beginning when it ends in '*'):\n"
    "  --silent              answer nothing at all\n"
    "  --split N             send everything in pieces of N bytes...\n"
    "  --split-gap-ms MS     ...MS milliseconds apart (default 20)\n"
    "  --drop PATTERN        do the command, never send the reply the tool waits for\n"
    "  --error PATTERN       answer ERROR instead\n"
    "  --reply PATTERN TEXT  send the line TEXT instead of the awaited reply\n"
    "  --urc-before PATTERN TEXT  send the line TEXT before answering\n"
    "  --garbage PATTERN     send noise bytes (NUL included) before answering\n"
    "TEXT takes C escapes (\\r \\n \\t \\0 \\\\ \\\" \\xHH).\n"
    "standard input: \"send TEXT\" writes TEXT to the line, \"quit\" ends.\n";

struct Settings {
  std::string broker;
  std::string transcript;
  std::string link;
  bool verbose = false;
  modemsim::Faults faults;
};

[[noreturn]] void Fail(const std::string& message) {
  fprintf(stderr, "modemsim: %s\n", message.c_str());
  exit(2);
}

std::string EscapedArgument(const char* text) {
  std::optional<std::string> bytes = modemsim::Unescape(text);
  if (!bytes) Fail(std::string("bad escape in \"") + text + "\"");
  return *bytes;
}

int PositiveNumber(const char* text) {
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  if (*end != '\0' || value <= 0 || value > 1000000) Fail(std::string("bad number ") + text);
  return static_cast<int>(value);
}

Settings ParseArguments(int argc, char** argv) {
  Settings settings;
  auto value = [&](int& i) -> const char* {
    if (i + 1 >= argc) Fail(std::string(argv[i]) + " needs a value");
    return argv[++i];
  };
  auto rule = [&](int& i, FaultRule::Kind kind, bool withText) {
    FaultRule fault{kind, EscapedArgument(value(i)), ""};
    if (withText) fault.text = EscapedArgument(value(i));
    settings.faults.rules.push_back(fault);
  };
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--broker") {
      settings.broker = value(i);
    } else if (option == "--transcript") {
      settings.transcript = value(i);
    } else if (option == "--link") {
      settings.link = value(i);
    } else if (option == "--verbose") {
      settings.verbose = true;
    } else if (option == "--silent") {
      settings.faults.silent = true;
    } else if (option == "--split") {
      settings.faults.splitBytes = static_cast<size_t>(PositiveNumber(value(i)));
    } else if (option == "--split-gap-ms") {
      settings.faults.splitGap = std::chrono::milliseconds(PositiveNumber(value(i)));
    } else if (option == "--drop") {
      rule(i, FaultRule::Kind::kDrop, false);
    } else if (option == "--error") {
      rule(i, FaultRule::Kind::kError, false);
    } else if (option == "--garbage") {
      rule(i, FaultRule::Kind::kGarbage, false);
    } else if (option == "--reply") {
      rule(i, FaultRule::Kind::kReply, true);
    } else if (option == "--urc-before") {
      rule(i, FaultRule::Kind::kUrcBefore, true);
    } else if (option == "--help") {
      fputs(kUsage, stdout);
      exit(0);
    } else {
      fputs(kUsage, stderr);
      Fail("unknown option " + option);
    }
  }
  return settings;
}

// The pseudo-terminal: the master is the modem's end; the tool opens the
// device. The simulator keeps the device open itself, raw and without echo,
// so the line survives the tool closing and reopening it.
class PseudoTerminal {
public:
  PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      Fail(std::string("cannot open a pseudo-terminal: ") + strerror(errno));
    }
    const char* name = ptsname(master_);
    if (name == nullptr) Fail(std::string("ptsname: ") + strerror(errno));
    path_ = name;
    device_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (device_ < 0) Fail("cannot open " + path_ + ": " + strerror(errno));
    struct termios tty;
    if (tcgetattr(device_, &tty) != 0) Fail(std::string("tcgetattr: ") + strerror(errno));
    cfmakeraw(&tty);
    cfsetspeed(&tty, B115200);
    if (tcsetattr(device_, TCSANOW, &tty) != 0) Fail(std::string("tcsetattr: ") + strerror(errno));
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PseudoTerminal() {
    close(device_);
    close(master_);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  int master() const { return master_; }
  const std::string& path() const { return path_; }

  // Writes everything, waiting while the tool does not read; after two
  // seconds of a full line the rest is dropped, as a modem's buffer would.
  void Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t written = write(master_, bytes.data() + done, bytes.size() - done);
      if (written > 0) {
        done += static_cast<size_t>(written);
        continue;
      }
      if (written < 0 && errno != EAGAIN && errno != EINTR) break;
      struct pollfd out = {master_, POLLOUT, 0};
      if (poll(&out, 1, 2000) == 0) break;
    }
    if (done < bytes.size()) {
      fprintf(stderr, "modemsim: line full, dropped %zu bytes\n", bytes.size() - done);
    }
  }

private:
  int master_ = -1;
  int device_ = -1;
  std::string path_;
};

// Appends bytes to a file exactly as they came.
class Transcript {
public:
  explicit Transcript(const std::string& path) {
    if (path.empty()) return;
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) Fail("cannot write " + path + ": " + strerror(errno));
  }
  ~Transcript() {
    if (fd_ >= 0) close(fd_);
  }
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;

  void Append(const std::string& bytes) {
    if (fd_ >= 0 && write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      fprintf(stderr, "modemsim: transcript write failed: %s\n", strerror(errno));
    }
  }

private:
  int fd_ = -1;
};

volatile sig_atomic_t stopRequested = 0;

void RequestStop(int) { stopRequested = 1; }

// SIGINT and SIGTERM are blocked everywhere (threads started later inherit
// that) and only let through while the main loop waits in ppoll.
sigset_t BlockStopSignals() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = RequestStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigset_t stopSignals, previous;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  sigdelset(&previous, SIGINT);
  sigdelset(&previous, SIGTERM);
  return previous;
}

std::unique_ptr<modemsim::Network> MakeNetwork(const std::string& broker) {
  if (broker.empty()) return std::make_unique<modemsim::LoopbackNetwork>();
  return std::make_unique<modemsim::MqttNetwork>(broker);
}

// Runs one control line from standard input; false for "quit".
bool RunControl(const std::string& line, modemsim::ModemEngine& engine) {
  if (line == "quit") return false;
  if (line.compare(0, 5, "send ") == 0) {
    std::optional<std::string> bytes = modemsim::Unescape(line.substr(5));
    if (!bytes) {
      printf("error: bad escape\n");
    } else {
      engine.Inject(*bytes);
      printf("sent %zu\n", bytes->size());
    }
  } else if (!line.empty()) {
    printf("error: unknown control line (send TEXT, quit)\n");
  }
  fflush(stdout);
  return true;
}

// One line per chunk: the monotonic clock in seconds (the clock other
// programs on this machine can compare with), << from the tool, >> to it.
void LogTraffic(bool verbose, const char* direction, const std::string& bytes) {
  if (!verbose) return;
  std::chrono::duration<double> now = std::chrono::steady_clock::now().time_since_epoch();
  fprintf(stderr, "%.6f %s %s\n", now.count(), direction, modemsim::Escape(bytes).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings = ParseArguments(argc, argv);
  sigset_t waitMask = BlockStopSignals();
  PseudoTerminal line;
  Transcript transcript(settings.transcript);
  if (!settings.link.empty()) {
    unlink(settings.link.c_str());
    if (symlink(line.path().c_str(), settings.link.c_str()) != 0) {
      Fail("cannot link " + settings.link + ": " + strerror(errno));
    }
  }
  std::unique_ptr<modemsim::Network> network = MakeNetwork(settings.broker);
  modemsim::ModemEngine engine(*network, settings.faults, [&](const std::string& bytes) {
    LogTraffic(settings.verbose, ">>", bytes);
    line.Write(bytes);
  });
  printf("%s\n", line.path().c_str());
  fflush(stdout);

  bool controlOpen = true;
  std::string control;
  char buffer[4096];
  while (!stopRequested) {
    struct pollfd fds[2] = {{line.master(), POLLIN, 0},
                            {controlOpen ? STDIN_FILENO : -1, POLLIN, 0}};
    if (ppoll(fds, 2, nullptr, &waitMask) < 0) {
      if (errno == EINTR) continue;
      Fail(std::string("poll: ") + strerror(errno));
    }
    if (fds[0].revents & POLLIN) {
      ssize_t n = read(line.master(), buffer, sizeof buffer);
      if (n > 0) {
        std::string bytes(buffer, static_cast<size_t>(n));
        transcript.Append(bytes);
        LogTraffic(settings.verbose, "<<", bytes);
        engine.Feed(bytes);
      }
    }
    if (fds[1].revents & (POLLIN | POLLHUP)) {
      ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
      if (n <= 0) controlOpen = false;
      if (n > 0) control.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = control.find('\n')) != std::string::npos;) {
        std::string command = control.substr(0, end);
        control.erase(0, end + 1);
        if (!RunControl(command, engine)) stopRequested = 1;
      }
    }
  }
  for (int i = 0; i < modemsim::kSockets; ++i) network->Close(i);
  if (!settings.link.empty()) unlink(settings.link.c_str());
  return 0;
}
