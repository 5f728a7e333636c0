#include "NodeRun.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kiv {
namespace io {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a group that is ended early gets between SIGTERM and SIGKILL.
constexpr milliseconds kTermGrace{300};
// The longest step of the wait for the shell's exit once its output ended.
constexpr milliseconds kLongestExitPoll{50};
constexpr char kStopVariable[] = "KIV_NODE_STOP_FD=";
constexpr char kStartFailed[] = "popen() failed!";

class Descriptor {
public:
  Descriptor() = default;
  ~Descriptor() { Close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  void Take(int fd) {
    Close();
    fd_ = fd;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

private:
  int fd_ = -1;
};

struct Pipe {
  Descriptor read;
  Descriptor write;
};

// Both ends close on exec: the child gets only the copies dup2 makes.
void OpenPipe(Pipe& pipe) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(kStartFailed);
  pipe.read.Take(fds[0]);
  pipe.write.Take(fds[1]);
}

int MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, 3600 * 1000));
}

// Our environment less the stop descriptor's number, which means nothing in
// the child (the descriptor closes on exec).
// One array sized by a first count: no growing container for a list of
// pointers that is made once per run.
std::unique_ptr<char*[]> ChildEnvironment() {
  size_t count = 0;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) ++count;
  std::unique_ptr<char*[]> env(new char*[count + 1]);
  size_t kept = 0;
  for (size_t i = 0; i < count; ++i) {
    if (std::strncmp(environ[i], kStopVariable, sizeof kStopVariable - 1) == 0) continue;
    env[kept++] = environ[i];
  }
  env[kept] = nullptr;
  return env;
}

// The spawn attributes: a new process group led by the child, the signals a
// service may have set to be ignored back at their defaults (an ignored
// disposition survives exec), and nothing blocked.
class SpawnAttributes {
public:
  SpawnAttributes() {
    posix_spawnattr_init(&attributes_);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2}) {
      sigaddset(&defaults, signal);
    }
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setpgroup(&attributes_, 0);
    posix_spawnattr_setflags(&attributes_,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  const posix_spawnattr_t* get() const { return &attributes_; }

private:
  posix_spawnattr_t attributes_;
};

class FileActions {
public:
  FileActions(int output, int errors) {
    posix_spawn_file_actions_init(&actions_);
    posix_spawn_file_actions_adddup2(&actions_, output, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions_, errors, STDERR_FILENO);
  }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
  posix_spawn_file_actions_t actions_;
};

pid_t SpawnShell(const char* command, int output, int errors) {
  FileActions actions(output, errors);
  SpawnAttributes attributes;
  std::unique_ptr<char*[]> env = ChildEnvironment();
  char shell[] = "sh";
  char dashC[] = "-c";
  char* argv[] = {shell, dashC, const_cast<char*>(command), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/bin/sh", actions.get(), attributes.get(), argv, env.get()) != 0) {
    throw std::runtime_error(kStartFailed);
  }
  return pid;
}

bool IsReadable(int fd) {
  if (fd < 0) return false;
  pollfd ready{fd, POLLIN, 0};
  return poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0;
}

// Whether the leader has exited, without reaping it: its pid, and so its
// group's id, stays reserved until we have signalled the group.
bool HasExited(pid_t leader) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(leader), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    if (errno != EINTR) return true;  // nothing left to wait for
  }
  return info.si_pid == leader;
}

// The child's process group, led by the child. Ending it signals the group
// while the leader is not reaped yet, then reaps the leader.
class ProcessGroup {
public:
  explicit ProcessGroup(pid_t leader) : leader_(leader) {}
  ~ProcessGroup() { End(); }
  ProcessGroup(const ProcessGroup&) = delete;
  ProcessGroup& operator=(const ProcessGroup&) = delete;
  pid_t leader() const { return leader_; }

  void Terminate() { killpg(leader_, SIGTERM); }

  // SIGKILL for whatever is left of the group, then the leader reaped.
  void End() {
    if (leader_ < 0) return;
    killpg(leader_, SIGKILL);
    int status = 0;
    while (waitpid(leader_, &status, 0) < 0 && errno == EINTR) {
    }
    leader_ = -1;
  }

private:
  pid_t leader_;
};

// Reads one stream: false once it ended (end of file, or a read error).
bool ReadSome(int fd, std::string& kept, size_t keepAtMost, size_t& counted, bool& overflowed) {
  char buffer[16384];
  ssize_t got = read(fd, buffer, sizeof buffer);
  if (got < 0) return errno == EINTR || errno == EAGAIN;
  if (got == 0) return false;
  counted += static_cast<size_t>(got);
  if (overflowed) return true;
  if (kept.size() + static_cast<size_t>(got) > keepAtMost) {
    overflowed = true;
    return true;
  }
  kept.append(buffer, static_cast<size_t>(got));
  return true;
}

// Reads and drops what a terminated group still writes until every process
// holding its outputs has closed them (ended, mostly) or the grace is over.
void DropUntilClosed(Descriptor& output, Descriptor& errors, Clock::time_point deadline) {
  std::string dropped;
  size_t counted = 0;
  bool full = true;
  while ((output.open() || errors.open()) && MillisecondsUntil(deadline) > 0) {
    pollfd fds[2] = {{output.get(), POLLIN, 0}, {errors.get(), POLLIN, 0}};
    if (poll(fds, 2, MillisecondsUntil(deadline)) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0 && !ReadSome(output.get(), dropped, 0, counted, full)) output.Close();
    if (fds[1].revents != 0 && !ReadSome(errors.get(), dropped, 0, counted, full)) errors.Close();
  }
}

class RunReader {
public:
  RunReader(Pipe& output, Pipe& errors, const RunLimits& limits, RunOutcome& outcome)
      : output_(output.read), errors_(errors.read), limits_(limits), stopFd_(limits.stopFd),
        outcome_(outcome) {}

  // Reads until the output has ended and the leader has exited, the time
  // limit passes or a stop is asked. Standard error is read meanwhile but
  // does not hold the run: a background process may keep it open. Past the
  // byte bound the output is dropped and only counted on, so that the error
  // can say how much the command printed.
  void ReadUntilEnd(pid_t leader, Clock::time_point deadline) {
    milliseconds exitStep{1};
    while (output_.open() || !HasExited(leader)) {
      int left = MillisecondsUntil(deadline);
      if (left == 0) {
        outcome_.timedOut = true;
        return;
      }
      // Once the output ended, the leader's exit is looked at in growing
      // steps: there is no portable descriptor to poll for it.
      if (!output_.open()) {
        left = std::min<int>(left, static_cast<int>(exitStep.count()));
        exitStep = std::min(exitStep * 2, kLongestExitPoll);
      }
      pollfd fds[3] = {{output_.get(), POLLIN, 0}, {errors_.get(), POLLIN, 0},
                       {stopFd_, POLLIN, 0}};
      int ready = poll(fds, 3, left);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) ThrowFormatted("poll failed: %s", std::strerror(errno));
      if ((fds[2].revents & POLLIN) != 0) {
        outcome_.stopped = true;
        return;
      }
      if (fds[2].revents != 0) stopFd_ = -1;  // closed or failing: no stop can come
      if (fds[0].revents != 0) ReadOutput();
      if (fds[1].revents != 0) ReadErrors();
    }
    ReadWaitingErrors();
  }

private:
  void ReadOutput() {
    bool tooLarge = outcome_.tooLarge;
    if (!ReadSome(output_.get(), outcome_.output, limits_.outputBytes, outcome_.outputBytes,
                  tooLarge)) {
      output_.Close();
    }
    if (tooLarge && !outcome_.tooLarge) std::string().swap(outcome_.output);
    outcome_.tooLarge = tooLarge;
  }
  void ReadErrors() {
    if (!ReadSome(errors_.get(), outcome_.diagnostics, kKeptDiagnosticBytes,
                  outcome_.diagnosticBytes, diagnosticsFull_)) {
      errors_.Close();
    }
  }
  // What the finished command wrote last on its standard error, without
  // waiting for more (a few reads: a background writer cannot hold us).
  void ReadWaitingErrors() {
    for (int reads = 0; reads < 4 && IsReadable(errors_.get()); ++reads) ReadErrors();
  }

  Descriptor& output_;
  Descriptor& errors_;
  const RunLimits& limits_;
  int stopFd_;
  RunOutcome& outcome_;
  bool diagnosticsFull_ = false;
};

}  // namespace

void ThrowFormatted(const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  throw std::runtime_error(text);
}

RunOutcome RunInProcessGroup(const char* command, const RunLimits& limits) {
  RunOutcome outcome;
  if (IsReadable(limits.stopFd)) {
    outcome.stopped = true;  // not worth starting
    return outcome;
  }
  Pipe output, errors;
  OpenPipe(output);
  OpenPipe(errors);
  const Clock::time_point deadline = Clock::now() + limits.time;
  ProcessGroup group(SpawnShell(command, output.write.get(), errors.write.get()));
  output.write.Close();  // the child's copies are the only writers now
  errors.write.Close();
  RunReader(output, errors, limits, outcome).ReadUntilEnd(group.leader(), deadline);
  if (outcome.timedOut || outcome.stopped) {
    std::string().swap(outcome.output);
    group.Terminate();
    DropUntilClosed(output.read, errors.read, Clock::now() + kTermGrace);
  }
  output.read.Close();
  errors.read.Close();
  group.End();
  return outcome;
}

}  // namespace io
}  // namespace kiv
