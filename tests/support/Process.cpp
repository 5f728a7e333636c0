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

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + strerror(errno));
}

// A descriptor closed when the object goes, unless released.
class Descriptor {
public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { Reset(-1); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.Release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  int get() const { return fd_; }
  void Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

private:
  int fd_;
};

struct Pipe {
  Descriptor read, write;
};

// Both ends close on exec: the child's copies are the ones dup2 makes.
Pipe MakePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) Fail("pipe");
  return Pipe{Descriptor(fds[0]), Descriptor(fds[1])};
}

// "NAME=value" for our environment with extra added or replacing.
std::vector<std::string> Environment(const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> all;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string variable(*entry);
    size_t equals = variable.find('=');
    if (equals != std::string::npos) all[variable.substr(0, equals)] = variable.substr(equals + 1);
  }
  for (const auto& [name, value] : extra) all[name] = value;
  std::vector<std::string> lines;
  for (const auto& [name, value] : all) lines.push_back(name + "=" + value);
  return lines;
}

// The null-terminated array execvpe wants; words must outlive it.
std::vector<char*> Pointers(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Runs in the forked child: only calls that are safe between fork and exec
// in a process with threads.
[[noreturn]] void ExecChild(char* const* argv, char* const* envp, const std::string& workingDir,
                            int in, int out, int err) {
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  for (int fd = 3; fd < 256; ++fd) close(fd);  // the test's sockets and files stay ours
  if (!workingDir.empty() && chdir(workingDir.c_str()) != 0) _exit(126);
  execvpe(argv[0], argv, envp);
  _exit(127);
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

// Collects both output pipes on a thread of its own, so that a child that
// writes much never blocks on a full pipe, and wakes waiters when text
// arrives. Every read happens under the mutex: reads from the thread and
// from a caller that takes what is there now keep the bytes in order.
class Process::Output {
public:
  // The reading ends of the child's standard output and error.
  Output(Descriptor out, Descriptor err) : pipes_{std::move(out), std::move(err)}, stop_(MakePipe()) {
    for (const Descriptor& pipe : pipes_) {
      fcntl(pipe.get(), F_SETFL, fcntl(pipe.get(), F_GETFL) | O_NONBLOCK);
    }
    thread_ = std::thread([this] { Collect(); });
  }

  ~Output() {
    stop_.write.Reset(-1);  // its reading end reports the hang-up to the thread
    thread_.join();
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
      pollfd watched[3];
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < 2; ++i) watched[i] = {ended_[i] ? -1 : pipes_[i].get(), POLLIN, 0};
      }
      watched[2] = {stop_.read.get(), POLLIN, 0};
      if (watched[0].fd < 0 && watched[1].fd < 0) return;
      if (poll(watched, 3, -1) < 0 && errno != EINTR) {
        Note("waiting for the child's output failed: " + std::string(strerror(errno)));
        return;
      }
      if (watched[2].revents != 0) return;
      std::lock_guard<std::mutex> lock(mutex_);
      ReadAvailable();
      grew_.notify_all();
    }
  }

  // Appends what each open pipe holds now; marks a pipe ended at its end.
  void ReadAvailable() const {
    char chunk[4096];
    for (size_t i = 0; i < 2; ++i) {
      while (!ended_[i]) {
        ssize_t n = read(pipes_[i].get(), chunk, sizeof chunk);
        if (n > 0) {
          texts_[i].append(chunk, static_cast<size_t>(n));
        } else if (n == 0) {
          ended_[i] = true;
        } else if (errno == EAGAIN) {
          break;
        } else if (errno != EINTR) {
          ended_[i] = true;
          texts_[i] += "\n[kivtest: reading the child's output failed: " + std::string(strerror(errno)) + "]\n";
        }
      }
    }
  }

  void Note(const std::string& problem) {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_[1] += "\n[kivtest: " + problem + "]\n";
  }

  Descriptor pipes_[2];
  Pipe stop_;
  mutable std::mutex mutex_;
  mutable std::condition_variable grew_;
  mutable std::string texts_[2];
  mutable bool ended_[2] = {false, false};
  std::thread thread_;
};

Process::Process(const std::vector<std::string>& argv, const Options& options) {
  std::vector<std::string> words = argv;
  std::vector<std::string> environment = Environment(options.env);
  std::vector<char*> argPointers = Pointers(words);
  std::vector<char*> envPointers = Pointers(environment);
  Pipe out = MakePipe();
  Pipe err = MakePipe();
  Pipe in = options.stdinPipe ? MakePipe() : Pipe{Descriptor(open("/dev/null", O_RDONLY | O_CLOEXEC)), Descriptor()};
  if (in.read.get() < 0) Fail("open /dev/null");
  pid_ = fork();
  if (pid_ < 0) Fail("fork");
  if (pid_ == 0) {
    ExecChild(argPointers.data(), envPointers.data(), options.workingDir, in.read.get(),
              out.write.get(), err.write.get());
  }
  stdinFd_ = in.write.Release();  // -1 without a pipe
  // Our copies of the child's ends close here: the pipes end when it (and
  // whatever it started) no longer holds them.
  output_ = std::make_unique<Output>(std::move(out.read), std::move(err.read));
}

Process::~Process() {
  CloseStdin();
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
  if (stdinFd_ >= 0 && write(stdinFd_, text.data(), text.size()) < 0) Fail("write to child");
}

void Process::CloseStdin() {
  if (stdinFd_ >= 0) close(stdinFd_);
  stdinFd_ = -1;
}

void Process::Signal(int signal) {
  if (Running()) kill(pid_, signal);
}

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
  WaitUntil([&] { return !Running(); }, timeout);
  return status_;
}

bool Process::Running() {
  if (status_) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = DecodeStatus(status);
    return false;
  }
  return r == 0;
}

}  // namespace kivtest
