// A real oneM2M CSE (the ACME CSE, Python, kept beside the project in
// ../shared/third_party) for interoperability tests: an IN-CSE "id-in" with
// CSEBase "cse-in", its HTTP server on a free loopback port and its MQTT
// binding on a broker the test runs (TestBroker).
#ifndef KIV_TEST_CSE_H
#define KIV_TEST_CSE_H

#include "HttpClient.h"
#include "Process.h"
#include "TestSupport.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kivtest {

// The folder of third-party peers (ACME, tinyIoT): $KIV_ACME_DIR, or
// ../shared/third_party beside the sources; the first of the two names what
// was looked at, the second is set when release stands in it.
std::pair<std::string, std::optional<std::string>> ThirdPartyFolder(const std::string& release);

// Why a CSE test skips under an emulator, or nothing when it runs natively:
// such tests check the protocol, which the emulated build does not change.
std::optional<std::string> EmulatedSkip();

class TestCse {
public:
  struct Options {
    int mqttPort = 0;              // the broker the CSE connects to, on 127.0.0.1
    int checkIntervalSeconds = 30;  // [cse.registrar] checkInterval: liveness checks of remote CSEs
    std::string mqttUser, mqttPassword;  // its login at the broker; empty: none
  };

  // The folder that holds acme-cse-0.9.1/ and tinydb-4.5.2/: $KIV_ACME_DIR,
  // or ../shared/third_party beside the sources ($KIV_SOURCE_DIR); nothing
  // when neither exists (a clone of the project on its own).
  static std::optional<std::string> Folder();
  // Why the CSE cannot run here, in one line, or nothing when it can: its
  // folder or Debian's Python packages are missing, or the tests run under an
  // emulator. Tests that need the CSE skip with this text.
  static std::optional<std::string> Unavailable();

  // Starts the CSE and waits until it is ready; throws std::runtime_error
  // with its log when it is not within about 30 s.
  explicit TestCse(const Options& options);
  ~TestCse();  // kills it
  TestCse(const TestCse&) = delete;
  TestCse& operator=(const TestCse&) = delete;

  // Kills the CSE, as a crash would. Its in-memory database is lost.
  void Stop();
  // Starts it (again) on the same ports with an empty database, and waits
  // until it is ready: answering on HTTP and subscribed on MQTT.
  void Start();
  void Restart();

  const std::string& cseName() const { return cseName_; }  // "cse-in"
  // How long the last Start took until the CSE was ready.
  std::chrono::milliseconds startDuration() const { return startDuration_; }

  // A oneM2M request to the CSE's HTTP interface.
  HttpResponse Request(const OneM2mHttpRequest& request,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) const;
  // A retrieve of target (e.g. "/cse-in") by the CSE's administrator.
  HttpResponse Retrieve(const std::string& target) const;
  // The contents of the content instances in container (e.g.
  // "/cse-in/gw/data"), oldest first; none when the container is not there.
  std::vector<std::string> Contents(const std::string& container) const;

  // The CSE's log file and its standard error, of every run so far: for
  // diagnostics when a test fails.
  std::string Log() const;

private:
  std::string RunDir(int run) const;
  void WriteConfig(const std::string& dir) const;
  bool AnswersWithCseBase() const;
  bool Ready() const;

  const std::string cseId_ = "id-in";
  const std::string cseName_ = "cse-in";
  const std::string admin_ = "CAdmin";
  Options options_;
  int httpPort_;
  TempDir dir_;
  int runs_ = 0;
  std::chrono::milliseconds startDuration_{0};
  std::vector<std::string> finishedStderr_;  // of the runs before this one
  std::unique_ptr<Process> process_;
};

}  // namespace kivtest

#endif
