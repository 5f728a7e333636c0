// Helpers shared by the test suites: files and temporary folders, waiting
// with deadlines, loopback ports, test certificates, and where the built
// programs are; with child processes (Process.h) and a private broker
// (TestBroker.h).
#ifndef KIV_TEST_SUPPORT_H
#define KIV_TEST_SUPPORT_H

#include "Process.h"
#include "TestBroker.h"

#include <chrono>
#include <functional>
#include <map>
#include <netinet/in.h>
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
// Where the POSIX extended regular expression pattern first matches in text
// (up to a NUL byte), or std::string::npos; throws std::runtime_error for a
// pattern it cannot compile. (The C library's regex: <regex> is slow to
// build.)
size_t RegexSearch(const std::string& text, const std::string& pattern);

// The reference MD5 (OpenSSL's) of message, as 32 lower-case hex digits.
std::string Md5Hex(const std::string& message);
// Two lower-case hex digits a byte.
std::string HexDigits(const unsigned char* bytes, size_t count);

// argv for a program's main or option parser: the program name, then words.
class CommandLine {
public:
  CommandLine(std::string program, std::vector<std::string> words);
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;
  int argc() const { return static_cast<int>(pointers_.size()) - 1; }
  char** argv() { return pointers_.data(); }  // argv()[argc()] is null

private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

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

// Sets the environment variables (unsets those without a value) while it
// lives, and restores what they were after.
class ScopedEnvironment {
public:
  explicit ScopedEnvironment(const std::map<std::string, std::optional<std::string>>& values);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
  std::map<std::string, std::optional<std::string>> saved_;
};

// Makes folder the working directory while it lives, then goes back; throws
// std::runtime_error when it cannot go there.
class WorkingDirectory {
public:
  explicit WorkingDirectory(const std::string& folder);
  ~WorkingDirectory();
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
  std::string previous_;
};

// 127.0.0.1:port as a socket address.
sockaddr_in LoopbackAddress(int port);
// A TCP socket that listens on a free port of 127.0.0.1, which it puts in
// *port; throws std::runtime_error when there is none.
int LoopbackListener(int* port);
// Any TCP port on 127.0.0.1 that nobody listens on right now (another
// process may take it before the caller does).
int FreeLoopbackPort();

// Generates a CA, a server certificate for 127.0.0.1/localhost and a client
// certificate with openssl in dir: ca.crt, server.crt/key, client.crt/key.
void MakeTestCertificates(const std::string& dir, const std::string& caName = "kiv test CA");
// One more certificate, dir/<name>.crt and .key, signed with `openssl ca` by
// dir's CA (MakeTestCertificates) and valid from start to end (openssl's
// YYMMDDHHMMSSZ, in the past or the future as a test needs), naming
// altName ("IP:127.0.0.1", "DNS:broker.example") as its host.
void MakeDatedCertificate(const std::string& dir, const std::string& name,
                          const std::string& altName, const std::string& start,
                          const std::string& end);

// The environment variable's value, or fallback when it is not set.
std::string EnvironmentVariable(const char* name, const std::string& fallback = "");

// Folder of the built binaries, from the environment (KIV_BUILD_DIR).
std::string BuildDir();
// Folder of the sources, from the environment (KIV_SOURCE_DIR).
std::string SourceDir();

// The command that runs one of our built programs: its path under BuildDir(),
// behind the emulator named by KIV_TEST_EMULATOR (blank-separated words, set
// when the tests run a cross build, e.g. "qemu-mipsel -L /sysroot"). Tests
// start every built program through this.
std::vector<std::string> ProgramCommand(const std::string& pathInBuildDir);

// The same for a program built for the target that lies elsewhere (an
// installed copy): path behind the emulator, if any.
std::vector<std::string> TargetProgramCommand(const std::string& path);

// True when this program runs with a sanitizer's runtime (AddressSanitizer,
// ThreadSanitizer), which needs memory and descriptors of its own: GCC says
// so with __SANITIZE_*__, clang with __has_feature.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// True when the tests run a cross build under an emulator (KIV_TEST_EMULATOR
// set). qemu-user keeps the address-space, data and stack limits to itself
// (setrlimit of RLIMIT_AS, RLIMIT_DATA, RLIMIT_STACK does nothing there), so
// a test that needs them skips under emulation.
bool UnderEmulator();

// The processes of process group `group` still alive, from /proc (zombies,
// which only wait to be reaped, do not count).
std::vector<pid_t> LiveProcessesInGroup(pid_t group);

}  // namespace kivtest

#endif
