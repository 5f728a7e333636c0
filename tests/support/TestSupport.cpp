#include "TestSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <regex.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kivtest {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
    ++count;
  return count;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& content, bool executable) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << content;
  }
  if (executable) chmod(path.c_str(), 0755);
}

size_t RegexSearch(const std::string& text, const std::string& pattern) {
  regex_t compiled;
  if (int error = regcomp(&compiled, pattern.c_str(), REG_EXTENDED); error != 0) {
    char reason[256];
    regerror(error, &compiled, reason, sizeof reason);
    throw std::runtime_error("regular expression " + pattern + ": " + reason);
  }
  regmatch_t match;
  bool found = regexec(&compiled, text.c_str(), 1, &match, 0) == 0;
  regfree(&compiled);
  return found ? static_cast<size_t>(match.rm_so) : std::string::npos;
}

std::string Md5Hex(const std::string& message) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(message.data(), message.size(), digest, &length, EVP_md5(), nullptr) != 1) {
    throw std::runtime_error("OpenSSL's MD5 failed");
  }
  return HexDigits(digest, length);
}

std::string HexDigits(const unsigned char* bytes, size_t count) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < count; ++i) {
    hex += kHex[bytes[i] >> 4];
    hex += kHex[bytes[i] & 15];
  }
  return hex;
}

CommandLine::CommandLine(std::string program, std::vector<std::string> words)
    : words_(std::move(words)) {
  words_.insert(words_.begin(), std::move(program));
  for (std::string& word : words_) pointers_.push_back(word.data());
  pointers_.push_back(nullptr);
}

TempDir::TempDir() {
  char pattern[] = "/tmp/kivtest.XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

namespace {

void SetEnvironment(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}

}  // namespace

ScopedEnvironment::ScopedEnvironment(const std::map<std::string, std::optional<std::string>>& values) {
  for (const auto& [name, value] : values) {
    const char* old = std::getenv(name.c_str());
    saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    SetEnvironment(name, value);
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  for (const auto& [name, value] : saved_) SetEnvironment(name, value);
}

WorkingDirectory::WorkingDirectory(const std::string& folder) {
  std::error_code error;
  previous_ = std::filesystem::current_path(error).string();
  if (!error) std::filesystem::current_path(folder, error);
  if (error) throw std::runtime_error("cannot work in " + folder + ": " + error.message());
}

WorkingDirectory::~WorkingDirectory() {
  std::error_code error;
  std::filesystem::current_path(previous_, error);
  if (error) std::fprintf(stderr, "kivtest: cannot go back to %s: %s\n", previous_.c_str(), error.message().c_str());
}

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

int LoopbackListener(int* port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = LoopbackAddress(0);
  socklen_t length = sizeof address;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(s, 1) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::string error = strerror(errno);
    if (s >= 0) close(s);
    throw std::runtime_error("no loopback listener: " + error);
  }
  *port = ntohs(address.sin_port);
  return s;
}

int FreeLoopbackPort() {
  int port = 0;
  close(LoopbackListener(&port));
  return port;
}

void MakeTestCertificates(const std::string& dir, const std::string& caName) {
  // P-256 keys: made in a millisecond, where RSA keys take a good part of a second.
  const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  std::ostringstream script;
  script << "set -e; cd '" << dir << "';"
         << "openssl req -x509 " << key << " -days 2 -subj '/CN=" << caName
         << "' -keyout ca.key -out ca.crt 2>/dev/null;"
         << "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > san.ext;"
         << "openssl req " << key << " -subj '/CN=localhost' -keyout server.key -out server.csr 2>/dev/null;"
         << "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2"
         << " -extfile san.ext -out server.crt 2>/dev/null;"
         << "openssl req " << key << " -subj '/CN=kiv-client' -keyout client.key -out client.csr 2>/dev/null;"
         << "openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2"
         << " -out client.crt 2>/dev/null";
  std::string command = "sh -c \"" + script.str() + "\"";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl failed in " + dir);
}

void MakeDatedCertificate(const std::string& dir, const std::string& name,
                          const std::string& altName, const std::string& start,
                          const std::string& end) {
  WriteFile(dir + "/ca.cnf",
            "[ca]\ndefault_ca = test\n"
            "[test]\ndatabase = index.txt\nserial = serial\nnew_certs_dir = .\ndefault_md = sha256\n"
            "policy = any\nunique_subject = no\n"
            "[any]\ncommonName = supplied\n");
  WriteFile(dir + "/" + name + ".ext", "subjectAltName=" + altName + "\n");
  std::ostringstream script;
  script << "set -e; cd '" << dir << "'; touch index.txt;"
         << "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=" << name
         << "' -keyout " << name << ".key -out " << name << ".csr 2>/dev/null;"
         << "openssl ca -batch -notext -create_serial -config ca.cnf -cert ca.crt -keyfile ca.key"
         << " -startdate " << start << " -enddate " << end << " -extfile " << name << ".ext"
         << " -in " << name << ".csr -out " << name << ".crt 2>/dev/null";
  std::string command = "sh -c \"" + script.str() + "\"";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl ca failed in " + dir);
}

std::string EnvironmentVariable(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value ? value : fallback;
}

std::string BuildDir() { return EnvironmentVariable("KIV_BUILD_DIR", "."); }

std::string SourceDir() { return EnvironmentVariable("KIV_SOURCE_DIR", "."); }

std::vector<std::string> TargetProgramCommand(const std::string& path) {
  std::vector<std::string> command;
  std::istringstream words(EnvironmentVariable("KIV_TEST_EMULATOR"));
  for (std::string word; words >> word;) command.push_back(word);
  command.push_back(path);
  return command;
}

std::vector<std::string> ProgramCommand(const std::string& pathInBuildDir) {
  return TargetProgramCommand(BuildDir() + "/" + pathInBuildDir);
}

bool UnderEmulator() { return !EnvironmentVariable("KIV_TEST_EMULATOR").empty(); }

std::vector<pid_t> LiveProcessesInGroup(pid_t group) {
  std::vector<pid_t> live;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    // "pid (comm) state ppid pgrp ...": comm may hold blanks and parentheses.
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;  // ended meanwhile
    size_t afterName = line.rfind(')');
    if (afterName == std::string::npos) continue;
    std::istringstream fields(line.substr(afterName + 1));
    char state = 0;
    long parent = 0, processGroup = 0;
    if (fields >> state >> parent >> processGroup && processGroup == group && state != 'Z') {
      live.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  return live;
}

}  // namespace kivtest
