#include "Process.h"

#include "TestSupport.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace kivtest {

namespace {

using Clock = std::chrono::steady_clock;

// Both ends close on exec: the child's copies are the ones dup2 makes.
void MakePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + strerror(errno));
}

// Runs in the forked child: only calls that are safe between fork and exec
// in a process with threads (so nothing that allocates).
[[noreturn]] void ExecChild(char* const* argv, char* const* envp, const char* workingDir, bool ownGroup,
                            int in, int out, int err) {
  if (ownGroup) setpgid(0, 0);
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  for (int fd = 3; fd < 256; ++fd) close(fd);  // the test's sockets and files stay ours
  if (*workingDir != '\0' && chdir(workingDir) != 0) _exit(126);
  execvpe(argv[0], argv, envp);
  _exit(127);
}

}  // namespace

std::vector<std::string> EnvironmentWith(const std::map<std::string, std::string>& extra) {
  std::vector<std::string> lines;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string variable(*entry);
    if (extra.count(variable.substr(0, variable.find('='))) == 0) lines.push_back(variable);
  }
  for (const auto& [name, value] : extra) lines.push_back(name + "=" + value);
  return lines;
}

std::vector<char*> ExecPointers(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Collects both output pipes on a thread of its own, so that a child that
// writes much never blocks on a full pipe, and wakes waiters when text
// arrives. Every read happens under the mutex: the thread's reads and those
// of a caller that takes what is there now keep the bytes in order.
class Process::Output {
public:
  // Takes the reading ends of the child's standard output and error.
  Output(int out, int err) : fds_{out, err} {
    MakePipe(stop_);
    for (int fd : fds_) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread([this] { Collect(); });
  }

  ~Output() {
    close(stop_[1]);  // its reading end reports the hang-up to the thread
    thread_.join();
    for (int fd : {fds_[0], fds_[1], stop_[0]}) close(fd);
  }

  std::string Text(Stream stream) const {
    std::lock_guard<std::mutex> lock(mutex_);
    ReadAvailable();
    return texts_[Index(stream)];
  }

  bool WaitFor(Stream stream, const std::string& text, size_t times, Clock::time_point deadline) const {
    std::unique_lock<std::mutex> lock(mutex_);
    bool found = false;
    grew_.wait_until(lock, deadline, [&] {
      ReadAvailable();
      found = Occurrences(texts_[Index(stream)], text) >= times;
      return found || ended_[Index(stream)];
    });
    return found;
  }

private:
  static size_t Index(Stream stream) { return stream == Stream::kOut ? 0 : 1; }

  void Collect() {
    for (;;) {
      pollfd watched[3] = {{-1, POLLIN, 0}, {-1, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < 2; ++i) watched[i].fd = ended_[i] ? -1 : fds_[i];
      }
      if (watched[0].fd < 0 && watched[1].fd < 0) return;
      int ready = poll(watched, 3, -1);
      std::lock_guard<std::mutex> lock(mutex_);
      if (ready < 0 && errno != EINTR) {
        texts_[1] += std::string("\n[kivtest: waiting for output failed: ") + strerror(errno) + "]\n";
        ended_[0] = ended_[1] = true;
      }
      if (watched[2].revents != 0) return;
      ReadAvailable();
      grew_.notify_all();
    }
  }

  // Appends what each pipe holds now; marks a pipe ended at its end.
  void ReadAvailable() const {
    char chunk[4096];
    for (size_t i = 0; i < 2; ++i) {
      while (!ended_[i]) {
        ssize_t n = read(fds_[i], chunk, sizeof chunk);
        if (n > 0) {
          texts_[i].append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          if (n < 0) texts_[i] += std::string("\n[kivtest: reading output failed: ") + strerror(errno) + "]\n";
          ended_[i] = true;
        } else if (errno == EAGAIN) {
          break;
        }
      }
    }
  }

  int fds_[2];
  int stop_[2];
  mutable std::mutex mutex_;
  mutable std::condition_variable grew_;
  mutable std::string texts_[2];
  mutable bool ended_[2] = {false, false};
  std::thread thread_;
};

Process::Process(const std::vector<std::string>& argv, const Options& options) {
  std::vector<std::string> words = argv;
  std::vector<std::string> environment = EnvironmentWith(options.env);
  std::vector<char*> argPointers = ExecPointers(words);
  std::vector<char*> envPointers = ExecPointers(environment);
  int in[2] = {-1, -1}, out[2], err[2];
  if (options.stdinPipe) {
    MakePipe(in);
  } else if ((in[0] = open("/dev/null", O_RDONLY | O_CLOEXEC)) < 0) {
    throw std::runtime_error(std::string("/dev/null: ") + strerror(errno));
  }
  MakePipe(out);
  MakePipe(err);
  pid_ = fork();
  if (pid_ == 0) {
    ExecChild(argPointers.data(), envPointers.data(), options.workingDir.c_str(), options.ownGroup, in[0],
              out[1], err[1]);
  }
  // Also here: a signal sent before the child ran setpgid reaches the group.
  if (pid_ > 0 && options.ownGroup) setpgid(pid_, pid_);
  ownGroup_ = options.ownGroup;
  int forkError = errno;
  // The child holds its ends now: the pipes end when it (and whatever it
  // started) no longer does.
  for (int fd : {in[0], out[1], err[1]}) close(fd);
  if (pid_ < 0) {
    for (int fd : {in[1], out[0], err[0]}) close(fd);
    throw std::runtime_error(std::string("fork: ") + strerror(forkError));
  }
  stdinFd_ = in[1];
  output_ = std::make_unique<Output>(out[0], err[0]);
}

Process::~Process() {
  CloseStdin();
  if (ownGroup_) kill(-pid_, SIGKILL);
  if (Running()) {
    kill(pid_, SIGKILL);
    Wait(std::chrono::milliseconds(5000));
  }
}

std::string Process::Stdout() const { return output_->Text(Stream::kOut); }

std::string Process::Stderr() const { return output_->Text(Stream::kErr); }

bool Process::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout, Stream stream,
                            size_t times) const {
  return output_->WaitFor(stream, text, times, Clock::now() + timeout);
}

void Process::WriteStdin(const std::string& text) {
  if (stdinFd_ >= 0 && write(stdinFd_, text.data(), text.size()) < 0) {
    throw std::runtime_error(std::string("write to child: ") + strerror(errno));
  }
}

void Process::CloseStdin() {
  if (stdinFd_ >= 0) close(stdinFd_);
  stdinFd_ = -1;
}

void Process::Signal(int signal) {
  if (ownGroup_) {
    kill(-pid_, signal);
  } else if (Running()) {
    kill(pid_, signal);
  }
}

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
  WaitUntil([&] { return !Running(); }, timeout);
  return status_;
}

bool Process::Running() {
  if (status_) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r != pid_) return r == 0;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
  return false;
}

}  // namespace kivtest
