#include "TestSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const Process::Options& options,
                            const std::string& out, const std::string& err, int stdinRead) {
  if (stdinRead >= 0) {
    dup2(stdinRead, STDIN_FILENO);
  } else {
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, STDIN_FILENO);
  }
  int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(o, STDOUT_FILENO);
  dup2(e, STDERR_FILENO);
  for (int fd = 3; fd < 256; ++fd) close(fd);
  if (!options.workingDir.empty() && chdir(options.workingDir.c_str()) != 0) _exit(126);
  for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const Options& options)
    : outPath_(logs_.File("stdout")), errPath_(logs_.File("stderr")) {
  WriteFile(outPath_, "");
  WriteFile(errPath_, "");
  int pipeFds[2] = {-1, -1};
  if (options.stdinPipe && pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) ExecChild(argv, options, outPath_, errPath_, pipeFds[0]);
  if (options.stdinPipe) {
    close(pipeFds[0]);
    stdinFd_ = pipeFds[1];
  }
}

Process::~Process() {
  CloseStdin();
  if (Running()) {
    kill(pid_, SIGKILL);
    Wait(std::chrono::milliseconds(5000));
  }
}

bool Process::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                            bool fromStderr) const {
  return WaitUntil([&] { return (fromStderr ? Stderr() : Stdout()).find(text) != std::string::npos; },
                   timeout);
}

void Process::WriteStdin(const std::string& text) {
  if (stdinFd_ >= 0 && write(stdinFd_, text.data(), text.size()) < 0) {
    throw std::runtime_error(std::string("write to child failed: ") + strerror(errno));
  }
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

int FreeLoopbackPort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (s >= 0) close(s);
    throw std::runtime_error("no free loopback port");
  }
  close(s);
  return ntohs(addr.sin_port);
}

namespace {

bool Accepts(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(s);
  return ok;
}

std::string MosquittoPath() {
  for (const char* candidate : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto", "/usr/local/sbin/mosquitto"}) {
    if (access(candidate, X_OK) == 0) return candidate;
  }
  return "mosquitto";
}

}  // namespace

TestBroker::TestBroker() : port_(FreeLoopbackPort()) { Start(); }

TestBroker::TestBroker(const Tls& tls) : tls_(tls), port_(FreeLoopbackPort()) { Start(); }

TestBroker::~TestBroker() { Stop(); }

std::string TestBroker::uri() const {
  return std::string(tls_ ? "ssl" : "tcp") + "://127.0.0.1:" + std::to_string(port_);
}

void TestBroker::WriteConfig() {
  std::ostringstream conf;
  conf << "listener " << port_ << " 127.0.0.1\n"
       << "allow_anonymous " << (passwords_ ? "false" : "true") << "\n"
       << "persistence false\n"
       << "set_tcp_nodelay true\n"
       << "log_dest file " << dir_.File("broker.log") << "\n"
       << "log_type all\n";
  // As root mosquitto would switch to its own user, which cannot read our
  // private temporary folder.
  if (geteuid() == 0) conf << "user root\n";
  if (passwords_) conf << "password_file " << dir_.File("passwords") << "\n";
  if (tls_) {
    conf << "cafile " << tls_->caFile << "\n"
         << "certfile " << tls_->certFile << "\n"
         << "keyfile " << tls_->keyFile << "\n"
         << "require_certificate " << (tls_->requireClientCertificate ? "true" : "false") << "\n";
  }
  if (bridgePort_) {  // the bridge retries at once when its peer restarts
    conf << "connection bridge-" << *bridgePort_ << "\n"
         << "address 127.0.0.1:" << *bridgePort_ << "\n"
         << "topic # both 1\n"
         << "restart_timeout 1\n";
  }
  WriteFile(dir_.File("mosquitto.conf"), conf.str());
}

void TestBroker::Start() {
  if (pid_ > 0) return;
  WriteConfig();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, STDIN_FILENO);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    std::string path = MosquittoPath();
    std::string conf = dir_.File("mosquitto.conf");
    execl(path.c_str(), path.c_str(), "-c", conf.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (!WaitUntil([&] { return Accepts(port_); }, std::chrono::milliseconds(10000))) {
    Stop();
    throw std::runtime_error("mosquitto did not start on port " + std::to_string(port_) + ": " +
                             ReadFile(dir_.File("broker.log")));
  }
}

void TestBroker::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

void TestBroker::RequirePasswords(const std::map<std::string, std::string>& users) {
  std::string lines;
  for (const auto& [user, password] : users) lines += user + ":" + password + "\n";
  std::string file = dir_.File("passwords");
  WriteFile(file, lines);
  // Hashes the plain "user:password" lines in place.
  std::string command = "mosquitto_passwd -U '" + file + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("mosquitto_passwd failed");
  passwords_ = true;
  Stop();
  Start();
}

void TestBroker::BridgeTo(int port) {
  bridgePort_ = port;
  Stop();
  Start();
}

void MakeTestCertificates(const std::string& dir, const std::string& caName) {
  std::ostringstream script;
  script << "set -e; cd '" << dir << "';"
         << "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=" << caName
         << "' -keyout ca.key -out ca.crt 2>/dev/null;"
         << "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > san.ext;"
         << "openssl req -newkey rsa:2048 -nodes -subj '/CN=localhost' -keyout server.key -out server.csr 2>/dev/null;"
         << "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2"
         << " -extfile san.ext -out server.crt 2>/dev/null;"
         << "openssl req -newkey rsa:2048 -nodes -subj '/CN=kiv-client' -keyout client.key -out client.csr 2>/dev/null;"
         << "openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2"
         << " -out client.crt 2>/dev/null";
  std::string command = "sh -c \"" + script.str() + "\"";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl failed in " + dir);
}

std::string BuildDir() {
  const char* dir = std::getenv("KIV_BUILD_DIR");
  return dir ? dir : ".";
}

std::vector<std::string> TargetProgramCommand(const std::string& path) {
  std::vector<std::string> command;
  if (const char* emulator = std::getenv("KIV_TEST_EMULATOR")) {
    std::istringstream words(emulator);
    for (std::string word; words >> word;) command.push_back(word);
  }
  command.push_back(path);
  return command;
}

std::vector<std::string> ProgramCommand(const std::string& pathInBuildDir) {
  return TargetProgramCommand(BuildDir() + "/" + pathInBuildDir);
}

bool UnderEmulator() {
  const char* emulator = std::getenv("KIV_TEST_EMULATOR");
  return emulator != nullptr && *emulator != '\0';
}

}  // namespace kivtest
