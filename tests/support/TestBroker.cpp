#include "TestBroker.h"

#include "TestSupport.h"

#include <csignal>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace kivtest {

namespace {

constexpr std::chrono::seconds kStartTimeout(10);
// How often a first start tries another port that somebody else took.
constexpr int kPortAttempts = 5;

std::string MosquittoPath() {
  for (const char* candidate : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto", "/usr/local/sbin/mosquitto"}) {
    if (access(candidate, X_OK) == 0) return candidate;
  }
  return "mosquitto";
}

}  // namespace

TestBroker::TestBroker() : dir_(std::make_unique<TempDir>()) { StartOnAFreePort(); }

TestBroker::TestBroker(const Tls& tls) : dir_(std::make_unique<TempDir>()), tls_(tls) {
  StartOnAFreePort();
}

TestBroker::~TestBroker() { Stop(); }

std::string TestBroker::uri() const {
  return std::string(tls_ ? "ssl" : "tcp") + "://127.0.0.1:" + std::to_string(port_);
}

void TestBroker::WriteConfig() const {
  std::ostringstream conf;
  conf << "listener " << port_ << " 127.0.0.1\n"
       << accessConfig_.value_or("allow_anonymous " + std::string(passwords_ ? "false" : "true")) << "\n"
       << "persistence false\n"
       << "set_tcp_nodelay true\n"
       << "log_dest stderr\n";  // unbuffered: each line comes back as it is written
  if (fleet_) {
    conf << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
         << "connection_messages false\n"
         << "max_queued_messages 100000\n";
  } else {
    conf << "log_type all\n";
  }
  // As root mosquitto would switch to its own user, which cannot read our
  // private temporary folder.
  if (geteuid() == 0) conf << "user root\n";
  if (passwords_ && !accessConfig_) conf << "password_file " << dir_->File("passwords") << "\n";
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
  WriteFile(dir_->File("mosquitto.conf"), conf.str());
}

// FreeLoopbackPort gives the port up before mosquitto binds it: another
// process may take it in between.
void TestBroker::StartOnAFreePort() {
  for (int attempt = 1; attempt < kPortAttempts; ++attempt) {
    port_ = FreeLoopbackPort();
    if (Launch()) return;
  }
  port_ = FreeLoopbackPort();
  Start();
}

void TestBroker::Start() {
  if (!Launch()) throw std::runtime_error("mosquitto: port " + std::to_string(port_) + " is taken");
}

bool TestBroker::Launch() {
  if (process_) return true;
  WriteConfig();
  process_ = std::make_unique<Process>(
      std::vector<std::string>{MosquittoPath(), "-c", dir_->File("mosquitto.conf")});
  // It says it runs once its listener is open, and why when it ends instead.
  if (process_->WaitForOutput(" running\n", kStartTimeout, Process::Stream::kErr) && process_->Running()) {
    return true;
  }
  std::string log = process_->Stdout() + process_->Stderr();
  Stop();
  if (log.find("Address already in use") != std::string::npos) return false;
  throw std::runtime_error("mosquitto did not start on port " + std::to_string(port_) + ": " + log);
}

void TestBroker::Signal(int signal) {
  if (process_) process_->Signal(signal);
}

void TestBroker::Stop() {
  if (!process_) return;
  process_->Signal(SIGKILL);
  process_->Wait(kStartTimeout);
  process_.reset();
}

void WritePasswordFile(const std::string& path, const std::map<std::string, std::string>& users) {
  std::string lines;
  for (const auto& [user, password] : users) lines += user + ":" + password + "\n";
  WriteFile(path, lines);
  // Hashes the plain "user:password" lines in place.
  Process hash({"mosquitto_passwd", "-U", path});
  if (hash.Wait(kStartTimeout) != 0) throw std::runtime_error("mosquitto_passwd failed: " + hash.Stderr());
}

void TestBroker::RequirePasswords(const std::map<std::string, std::string>& users) {
  WritePasswordFile(dir_->File("passwords"), users);
  passwords_ = true;
  Stop();
  Start();
}

void TestBroker::RequireAccess(const std::string& accessConfig) {
  accessConfig_ = accessConfig;
  Stop();
  Start();
}

void TestBroker::ServeAFleet() {
  fleet_ = true;
  Stop();
  Start();
}

void TestBroker::BridgeTo(int port) {
  bridgePort_ = port;
  Stop();
  Start();
}

}  // namespace kivtest
