// Helpers shared by the test suites: temporary folders, child processes, a
// private mosquitto broker on a free loopback port, and waiting with deadlines.
#ifndef KIV_TEST_SUPPORT_H
#define KIV_TEST_SUPPORT_H

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kivtest {

using namespace std::chrono_literals;

// Polls condition every few milliseconds until it holds or timeout passes.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

std::string ReadFile(const std::string& path);
// How many times part occurs in text, not overlapping.
size_t Occurrences(const std::string& text, const std::string& part);
void WriteFile(const std::string& path, const std::string& content, bool executable = false);

// A folder under /tmp removed with everything in it when the object goes.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// A child process whose standard output and error go to files.
class Process {
public:
  struct Options {
    std::string workingDir;                   // empty: inherit
    std::map<std::string, std::string> env;   // added to (or replacing in) ours
    bool stdinPipe = false;                   // keep a pipe to its stdin open
  };
  Process(const std::vector<std::string>& argv, const Options& options);
  explicit Process(const std::vector<std::string>& argv) : Process(argv, Options()) {}
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  std::string Stdout() const { return ReadFile(outPath_); }
  std::string Stderr() const { return ReadFile(errPath_); }
  // Waits for output containing text on stdout (or stderr when fromStderr).
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                     bool fromStderr = false) const;
  void WriteStdin(const std::string& text);
  void CloseStdin();
  void Signal(int signal);
  // The exit status (or 128 + signal) once it ended within timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running();

private:
  TempDir logs_;
  std::string outPath_;
  std::string errPath_;
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  std::optional<int> status_;
};

// Any TCP port on 127.0.0.1 that nobody listens on right now.
int FreeLoopbackPort();

// A private mosquitto broker on a free loopback port.
class TestBroker {
public:
  struct Tls {
    std::string caFile, certFile, keyFile;
    bool requireClientCertificate = false;
  };
  TestBroker();                      // plain TCP
  explicit TestBroker(const Tls& tls);  // TLS only
  ~TestBroker();

  int port() const { return port_; }
  std::string uri() const;           // tcp://127.0.0.1:PORT or ssl://...
  void Stop();                       // kill it (as a crash would)
  void Start();                      // (re)start on the same port
  bool running() const { return pid_ > 0; }
  // From now on only these users (name to password) may connect; restarts
  // the broker. Needs mosquitto_passwd.
  void RequirePasswords(const std::map<std::string, std::string>& users);
  // From now on this broker bridges every topic, both ways at QoS 1, with
  // the plain broker on the loopback port, as the nodes of a cluster do;
  // restarts the broker.
  void BridgeTo(int port);

private:
  void WriteConfig();
  TempDir dir_;
  std::optional<Tls> tls_;
  bool passwords_ = false;
  std::optional<int> bridgePort_;
  int port_;
  pid_t pid_ = -1;
};

// Generates a CA, a server certificate for 127.0.0.1/localhost and a client
// certificate with openssl in dir: ca.crt, server.crt/key, client.crt/key.
void MakeTestCertificates(const std::string& dir, const std::string& caName = "kiv test CA");

// Folder of the built binaries, from the environment (KIV_BUILD_DIR).
std::string BuildDir();

// The command that runs one of our built programs: its path under BuildDir(),
// behind the emulator named by KIV_TEST_EMULATOR (blank-separated words, set
// when the tests run a cross build, e.g. "qemu-mipsel -L /sysroot"). Tests
// start every built program through this.
std::vector<std::string> ProgramCommand(const std::string& pathInBuildDir);

// The same for a program built for the target that lies elsewhere (an
// installed copy): path behind the emulator, if any.
std::vector<std::string> TargetProgramCommand(const std::string& path);

// True when the tests run a cross build under an emulator (KIV_TEST_EMULATOR
// set). qemu-user keeps the address-space, data and stack limits to itself
// (setrlimit of RLIMIT_AS, RLIMIT_DATA, RLIMIT_STACK does nothing there), so
// a test that needs them skips under emulation.
bool UnderEmulator();

}  // namespace kivtest

#endif
