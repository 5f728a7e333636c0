// A second real oneM2M CSE for interoperability tests: tinyIoT (C, kept in
// ../shared/third_party), an IN-CSE "tinyiot" with CSEBase "TinyIoT" and
// SQLite storage in the folder it runs in. Its MQTT port is compiled in, so
// it is built for the broker it is given (about 10 s), once per object.
//
// Stricter than ACME where it matters to the gateway: it refuses an update
// of a registration that carries write-once attributes, subscribes at QoS 0
// (the broker keeps nothing for it while it is down) and refuses a second
// content instance of a name (4105).
#ifndef KIV_TEST_TINY_IOT_CSE_H
#define KIV_TEST_TINY_IOT_CSE_H

#include "HttpClient.h"
#include "Process.h"
#include "TestSupport.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kivtest {

class TinyIotCse {
public:
  // Why it cannot run here, in one line, or nothing when it can: its folder,
  // a compiler or the Debian packages it builds with are missing, or the
  // tests run under an emulator.
  static std::optional<std::string> Unavailable();

  // Builds it for the broker on 127.0.0.1:mqttPort and starts it in a fresh
  // folder; throws std::runtime_error with its output when either fails.
  explicit TinyIotCse(int mqttPort);
  ~TinyIotCse();  // kills it

  TinyIotCse(const TinyIotCse&) = delete;
  TinyIotCse& operator=(const TinyIotCse&) = delete;

  void Stop();        // as a crash would: what it stored stays in its folder
  void Start();       // again in the same folder, with everything it stored
  void StartFresh();  // in a new, empty folder

  // The content instances stored under container of the CSEBase, oldest
  // first, read from its database (an HTTP read of an older instance can
  // crash this release). container is an SQL LIKE pattern: "%/data" reads
  // every gateway's records at once.
  struct Instance {
    std::string name;
    std::string content;
    std::string address;  // TinyIoT/<container>/<name>
  };
  std::vector<Instance> Instances(const std::string& container) const;

  HttpResponse Retrieve(const std::string& target) const;
  std::string Log() const;  // its output over every start, for a failing test

private:
  std::string RunDir() const { return dir_.File("run-" + std::to_string(folder_)); }
  void PrepareDatabase() const;
  void Launch();

  int httpPort_;
  TempDir dir_;
  int folder_ = 1;
  std::string finishedOutput_;
  std::unique_ptr<Process> process_;
};

}  // namespace kivtest

#endif
