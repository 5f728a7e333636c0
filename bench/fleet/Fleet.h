// N gatewayd processes for the fleet benchmark, each in a folder of its own
// with a cheap shell node script that numbers its records, its own state
// folder (STATE_DIRECTORY) and its own device id. Their output goes to a log
// file in their folder, not through pipes: a thousand of them cost the
// benchmark no thread and no descriptor.
#ifndef KIV_BENCH_FLEET_H
#define KIV_BENCH_FLEET_H

#include <chrono>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace fleet {

class Fleet {
public:
  struct Settings {
    int size = 20;
    int intervalSeconds = 5;
    std::string brokerUri;
    std::map<std::string, std::string> environment;  // added to every gatewayd's
  };

  // Writes the folders under root; throws std::runtime_error when it cannot.
  Fleet(const std::string& root, Settings settings);
  ~Fleet();  // kills what still runs
  Fleet(const Fleet&) = delete;
  Fleet& operator=(const Fleet&) = delete;

  // Starts every gatewayd; throws std::runtime_error when one cannot start.
  void StartAll();
  // The node scripts print nothing from now on: no more records.
  void StopProducing();
  // SIGTERM to each, then SIGKILL to those still running after grace.
  void StopAll(std::chrono::seconds grace);

  int size() const { return settings_.size; }
  const std::string& DeviceId(int gateway) const { return devices_[gateway]; }
  // The records gateway's node script produced so far.
  long Produced(int gateway) const;
  long ProducedByAll() const;
  // gatewayd processes that ended before StopAll.
  int Ended();
  // Resident anonymous memory of the running gatewayd, summed (KiB).
  long RssAnonKiB() const;
  // Lines the fleet logged with this category ("[ERROR]", "[WARN]").
  long LogLines(const std::string& category) const;
  // Gateways that left records for their next start (records.queue).
  int SavedQueues() const;

private:
  std::string Folder(int gateway) const;
  pid_t Spawn(int gateway) const;

  std::string root_;
  Settings settings_;
  std::vector<std::string> devices_;
  std::vector<pid_t> pids_;  // 0 once it ended and was waited for
};

// A device id for the i-th gateway (fleet0001, ...): unreserved characters
// only, as every CSE takes them.
std::string FleetDeviceId(int i);

}  // namespace fleet

#endif
