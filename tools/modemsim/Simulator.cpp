#include "Simulator.h"

#include "LoopbackNetwork.h"
#include "ModemEngine.h"
#include "MqttNetwork.h"
#include "PseudoTerminal.h"
#include "TextEscapes.h"
#include "Transcript.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace modemsim {

namespace {

volatile sig_atomic_t stopRequested = 0;

void RequestStop(int) { stopRequested = 1; }

// SIGINT and SIGTERM are blocked everywhere (threads started later inherit
// that) and only let through while the loop waits in ppoll: the mask to
// wait with.
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

std::unique_ptr<Network> MakeNetwork(const std::string& broker) {
  if (broker.empty()) return std::make_unique<LoopbackNetwork>();
  return std::make_unique<MqttNetwork>(broker);
}

// A symbolic link to the device while the simulator runs.
class DeviceLink {
public:
  DeviceLink(const std::string& link, const std::string& device) : link_(link) {
    if (link_.empty()) return;
    unlink(link_.c_str());
    if (symlink(device.c_str(), link_.c_str()) != 0) {
      throw std::runtime_error("cannot link " + link_ + ": " + strerror(errno));
    }
  }
  ~DeviceLink() {
    if (!link_.empty()) unlink(link_.c_str());
  }
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

private:
  std::string link_;
};

// Runs one control line from standard input; false for "quit".
bool RunControl(const std::string& line, ModemEngine& engine) {
  if (line == "quit") return false;
  if (line.compare(0, 5, "send ") == 0) {
    std::optional<std::string> bytes = Unescape(line.substr(5));
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
  fprintf(stderr, "%.6f %s %s\n", now.count(), direction, Escape(bytes).c_str());
}

// Control lines from standard input, as they come in pieces.
class ControlInput {
public:
  bool open() const { return open_; }
  // Reads what is there and runs every whole line; false once told to quit.
  bool ReadAndRun(ModemEngine& engine) {
    char buffer[4096];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) open_ = false;
    if (n > 0) pending_.append(buffer, static_cast<size_t>(n));
    bool goOn = true;
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      goOn = RunControl(line, engine) && goOn;
    }
    return goOn;
  }

private:
  bool open_ = true;
  std::string pending_;
};

}  // namespace

void Run(const Settings& settings) {
  sigset_t waitMask = BlockStopSignals();
  PseudoTerminal line;
  Transcript transcript(settings.transcript);
  DeviceLink link(settings.link, line.path());
  std::unique_ptr<Network> network = MakeNetwork(settings.broker);
  ModemEngine engine(*network, settings.faults, [&](const std::string& bytes) {
    LogTraffic(settings.verbose, ">>", bytes);
    line.Write(bytes);
  });
  printf("%s\n", line.path().c_str());
  fflush(stdout);

  ControlInput control;
  char buffer[4096];
  while (!stopRequested) {
    struct pollfd fds[2] = {{line.master(), POLLIN, 0},
                            {control.open() ? STDIN_FILENO : -1, POLLIN, 0}};
    if (ppoll(fds, 2, nullptr, &waitMask) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("poll: ") + strerror(errno));
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
    if ((fds[1].revents & (POLLIN | POLLHUP)) && !control.ReadAndRun(engine)) stopRequested = 1;
  }
  for (int i = 0; i < kSockets; ++i) network->Close(i);
}

int Main(const std::vector<std::string>& arguments) {
  try {
    Settings settings = ParseArguments(arguments);
    if (settings.help) {
      fputs(kUsage, stdout);
      return 0;
    }
    Run(settings);
    return 0;
  } catch (const UsageError& error) {
    if (error.unknownOption()) fputs(kUsage, stderr);
    fprintf(stderr, "modemsim: %s\n", error.what());
  } catch (const std::exception& error) {
    fprintf(stderr, "modemsim: %s\n", error.what());
  }
  return 2;
}

}  // namespace modemsim
