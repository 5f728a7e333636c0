// A child process for tests: its standard output and error come back through
// pipes, collected as they arrive, and waits for output wake when it comes.
#ifndef KIV_TEST_PROCESS_H
#define KIV_TEST_PROCESS_H

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kivtest {

// Our environment with extra added or replacing, as "NAME=value" lines.
std::vector<std::string> EnvironmentWith(const std::map<std::string, std::string>& extra);
// The null-terminated array exec wants; words must outlive it.
std::vector<char*> ExecPointers(std::vector<std::string>& words);

class Process {
public:
  struct Options {
    std::string workingDir;                   // empty: inherit
    std::map<std::string, std::string> env;   // added to (or replacing in) ours
    bool stdinPipe = false;                   // keep a pipe to its stdin open
    // The child leads a process group of its own: Signal and the end (the
    // destructor) reach whatever it started too, also once it is gone.
    bool ownGroup = false;
  };
  enum class Stream { kOut, kErr };

  // Throws std::runtime_error when the child cannot be started; a program
  // that cannot be executed ends the child with status 127.
  Process(const std::vector<std::string>& argv, const Options& options);
  explicit Process(const std::vector<std::string>& argv) : Process(argv, Options()) {}
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  // Everything the child (and whatever it started) wrote so far.
  std::string Stdout() const;
  std::string Stderr() const;
  // Waits until text stands at least times times in the stream; false at
  // the deadline or once the stream ended without it.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                     Stream stream = Stream::kOut, size_t times = 1) const;
  void WriteStdin(const std::string& text);
  void CloseStdin();
  void Signal(int signal);
  // The exit status (or 128 + signal) once it ended within timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running();

private:
  class Output;
  std::unique_ptr<Output> output_;
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  std::optional<int> status_;
  bool ownGroup_ = false;
};

}  // namespace kivtest

#endif
