// A private mosquitto broker on a free loopback port, for the tests that need
// a real one.
#ifndef KIV_TEST_BROKER_H
#define KIV_TEST_BROKER_H

#include "Process.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace kivtest {

class TempDir;

// Writes a mosquitto password file at path for users (name to password).
// Needs mosquitto_passwd; throws std::runtime_error when it fails.
void WritePasswordFile(const std::string& path, const std::map<std::string, std::string>& users);

class TestBroker {
public:
  struct Tls {
    std::string caFile, certFile, keyFile;
    bool requireClientCertificate = false;
  };
  // Both start the broker; when another process takes the free port first,
  // on another one. Throw std::runtime_error with its log when it cannot start.
  TestBroker();                         // plain TCP
  explicit TestBroker(const Tls& tls);  // TLS only
  ~TestBroker();

  int port() const { return port_; }
  std::string uri() const;  // tcp://127.0.0.1:PORT or ssl://...
  void Stop();              // kill it (as a crash would)
  void Start();             // (re)start on the same port
  void Signal(int signal);  // SIGSTOP freezes it as a hung broker, SIGCONT thaws it
  // From now on only these users (name to password) may connect; restarts
  // the broker. Needs mosquitto_passwd.
  void RequirePasswords(const std::map<std::string, std::string>& users);
  // From now on access is as accessConfig says: lines of mosquitto.conf
  // (allow_anonymous, password_file, acl_file, ...) in place of the
  // broker's own; restarts the broker.
  void RequireAccess(const std::string& accessConfig);
  // From now on this broker bridges every topic, both ways at QoS 1, with
  // the plain broker on the loopback port, as the nodes of a cluster do;
  // restarts the broker.
  void BridgeTo(int port);
  // From now on tuned for a fleet of clients (benchmarks): it logs no line
  // per message or connection (errors, warnings and notices only), and
  // queues up to 100,000 messages for a subscriber that falls behind (one
  // client that follows the whole fleet); restarts the broker.
  void ServeAFleet();

private:
  void StartOnAFreePort();
  // Starts mosquitto on port_; false when the port was taken.
  bool Launch();
  void WriteConfig() const;
  std::unique_ptr<TempDir> dir_;  // its configuration and password file
  std::optional<Tls> tls_;
  bool passwords_ = false;
  std::optional<std::string> accessConfig_;
  std::optional<int> bridgePort_;
  bool fleet_ = false;
  int port_ = 0;
  std::unique_ptr<Process> process_;
};

}  // namespace kivtest

#endif
