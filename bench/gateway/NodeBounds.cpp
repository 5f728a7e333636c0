// What gatewayd's bounds cost and keep, measured on the built gatewayd
// against a private mosquitto:
//   - the stop: SIGTERM while the node script sleeps, ignores SIGTERM, or
//     left a child holding its output; time to exit, the held record saved,
//     processes of the script left (want: at most 2 s, saved, none);
//   - peak memory (VmHWM): idle, with node output at its bound (256 KiB),
//     stored each cycle by the stand-in registrar (want: what one cycle
//     takes over idle at most about 3 times the output), and at 10 MB; after
//     one platform request of 5 MB and of 50 MB, against a broker without a
//     message limit and with the limit of examples/mosquitto/kiv.conf (want:
//     16 MB at most each).
// Usage: node_bounds [--runs N]   (N stops per script, default 10; 0: memory only)
#include "Gatewayd.h"
#include "PlatformClient.h"
#include "TestSupport.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Stream = kivtest::Process::Stream;

namespace {

constexpr std::chrono::milliseconds kDeadline = 60s;

// A field of /proc/PID/status in kB ("VmHWM"), or -1.
long StatusKilobytes(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

std::string Config(const std::string& broker, const std::string& device, const std::string& more) {
  return R"({"serverURI": ")" + broker + R"(", "gatewayId": ")" + device + R"(", "interval": 1)" +
         more + "}";
}

struct StopRun {
  double seconds = 0;
  bool ended = false, saved = false, nothingLeft = false;
};

// One stop while the second run of the node script does `hang`.
StopRun StopDuringHang(const kivtest::TestBroker& broker, const std::string& hang) {
  const std::string device = "bench-stop-" + std::to_string(getpid());
  kivtest::TempDir folder, state;
  kivtest::WriteNodeScript(folder, "if [ -e printed ]; then cut -d' ' -f5 /proc/$$/stat > group; " +
                                       hang + "; fi; touch printed; echo 'record 1'\n");
  kivtest::WriteFile(folder.File("gw.cfg"), Config(broker.uri(), device, R"(, "node_timeout": 600)"));
  auto gateway = kivtest::StartGatewayd(folder, broker.uri(), device, {"-f", "gw.cfg"},
                                        {{"STATE_DIRECTORY", state.path()}});
  StopRun run;
  if (!kivtest::WaitUntil([&] { return !kivtest::ReadFile(folder.File("group")).empty(); },
                          kDeadline)) {
    return run;
  }
  const Clock::time_point start = Clock::now();
  gateway->Signal(SIGTERM);
  run.ended = gateway->Wait(kDeadline) == 0;
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.saved = kivtest::ReadFile(state.File("records.journal")).find("record 1\n") != std::string::npos;
  const pid_t group = std::stoi(kivtest::ReadFile(folder.File("group")));
  run.nothingLeft =
      kivtest::WaitUntil([&] { return kivtest::LiveProcessesInGroup(group).empty(); }, 10s);
  return run;
}

void MeasureStops(int runs) {
  kivtest::TestBroker broker;
  const std::pair<const char*, const char*> scripts[] = {
      {"sleeps", "sleep 3600"},
      {"ignores SIGTERM", "trap '' TERM; while :; do sleep 1; done"},
      {"child holds its output", "sleep 3600 & exit 0"},
  };
  std::printf("stop with SIGTERM during a hung node script, %d runs each (want <= 2 s):\n", runs);
  for (const auto& [name, hang] : scripts) {
    std::vector<double> times;
    int ended = 0, saved = 0, clean = 0;
    for (int i = 0; i < runs; ++i) {
      StopRun run = StopDuringHang(broker, hang);
      times.push_back(run.seconds);
      ended += run.ended;
      saved += run.saved;
      clean += run.nothingLeft;
    }
    std::sort(times.begin(), times.end());
    std::printf("  %-24s min %.3f s  median %.3f s  max %.3f s; ended %d/%d, record saved %d/%d, "
                "no process left %d/%d\n",
                name, times.front(), times[times.size() / 2], times.back(), ended, runs, saved,
                runs, clean, runs);
  }
}

// A platform client that answers as the gateways' registrar, so that their
// records are sent and stored as on a live platform.
std::unique_ptr<kiv::platform::Platform> Registrar(const kivtest::TestBroker& broker,
                                                   const std::string& device) {
  kiv::platform::Platform::Options settings;
  settings.serverUri = broker.uri();
  settings.answerAsRegistrar = true;
  auto registrar = std::make_unique<kiv::platform::Platform>(settings);
  std::string error;
  if (registrar->Connect(20s, &error) != 0 || registrar->Watch(device, &error) != 0) {
    std::fprintf(stderr, "registrar: %s\n", error.c_str());
    std::exit(1);
  }
  return registrar;
}

// VmHWM of a gatewayd whose node script prints `bytes` bytes, after three
// records of it were stored (or three cycles, when it is refused).
long PeakWithNodeOutput(const kivtest::TestBroker& broker, size_t bytes) {
  const std::string device = "bench-out-" + std::to_string(getpid()) + "-" + std::to_string(bytes);
  auto registrar = Registrar(broker, device);
  kivtest::TempDir folder;
  kivtest::WriteNodeScript(
      folder, "echo . >> runs; head -c " + std::to_string(bytes) + " /dev/zero | tr '\\0' x\n");
  kivtest::WriteFile(folder.File("gw.cfg"), Config(broker.uri(), device, ""));
  auto gateway = kivtest::StartGatewayd(folder, broker.uri(), device, {"-f", "gw.cfg"});
  const bool refused = bytes > 262144;
  kivtest::WaitUntil(
      [&] {
        return refused ? kivtest::ReadFile(folder.File("runs")).size() >= 4 * 2
                       : registrar->registrar()->Records(device).size() >= 3;
      },
      kDeadline);
  long peak = StatusKilobytes(gateway->pid(), "VmHWM");
  gateway->Signal(SIGTERM);
  gateway->Wait(kDeadline);
  return peak;
}

// VmHWM of a gatewayd after one request of `bytes` bytes was answered, or
// after waitForAnswer when a broker's limit drops it.
long PeakWithRequest(const kivtest::TestBroker& broker, size_t bytes,
                     std::chrono::milliseconds waitForAnswer = kDeadline) {
  const std::string device = "bench-req-" + std::to_string(getpid());
  kiv::platform::Platform::Options settings;
  settings.serverUri = broker.uri();
  kiv::platform::Platform platform(settings);
  std::string error;
  if (platform.Connect(20s, &error) != 0 || platform.Watch(device, &error) != 0) {
    std::fprintf(stderr, "platform: %s\n", error.c_str());
    return -1;
  }
  kivtest::TempDir folder;
  kivtest::WriteNodeScript(folder, "true\n");
  kivtest::WriteFile(folder.File("gw.cfg"), Config(broker.uri(), device, ""));
  auto gateway = kivtest::StartGatewayd(folder, broker.uri(), device, {"-f", "gw.cfg"});
  // Answered once it is connected and subscribed; asked again until then.
  const Clock::time_point giveUp = Clock::now() + kDeadline;
  do {
    platform.Send(device, R"({"rqi":"ready","op":2,"fc":{"ty":14}})");
  } while (!platform.WaitForReply(device, "ready", 1s) && Clock::now() < giveUp);
  std::string payload = R"({"rqi":"big","op":3,"pc":[{"ty":12,"con":")";
  payload += std::string(bytes - payload.size() - 4, 'b') + "\"}]}";
  if (platform.Send(device, payload, &error) != 0) {
    std::fprintf(stderr, "(the request of %zu bytes was not sent: %s)\n", bytes, error.c_str());
  } else if (!platform.WaitForReply(device, "big", waitForAnswer)) {
    std::fprintf(stderr, "(the request of %zu bytes was not answered)\n", bytes);
  }
  long peak = StatusKilobytes(gateway->pid(), "VmHWM");
  gateway->Signal(SIGTERM);
  gateway->Wait(kDeadline);
  return peak;
}

// The message limit line of the broker recipe docs/operations.md sets up.
std::string RecipeLimit() {
  std::ifstream recipe(KIV_SOURCE_DIR "/examples/mosquitto/kiv.conf");
  for (std::string line; std::getline(recipe, line);) {
    if (line.rfind("message_size_limit ", 0) == 0) return line;
  }
  std::fprintf(stderr, "examples/mosquitto/kiv.conf sets no message_size_limit\n");
  std::exit(1);
}

void MeasureMemory() {
  kivtest::TestBroker broker;  // mosquitto's default: messages up to 256 MB
  constexpr size_t kBound = 262144;
  std::printf("peak memory of gatewayd (VmHWM, want <= 16 MB each):\n");
  const long idle = PeakWithNodeOutput(broker, 16);
  const long bound = PeakWithNodeOutput(broker, kBound);
  std::printf("  node output 16 bytes (idle)   %6ld kB\n", idle);
  std::printf("  node output 256 KiB (bound), stored each cycle  %6ld kB: (peak - idle) / output "
              "= %.2f (want <= about 3)\n",
              bound, static_cast<double>(bound - idle) * 1024 / kBound);
  std::printf("  node output 10 MB (refused)   %6ld kB\n", PeakWithNodeOutput(broker, 10 << 20));
  std::printf("  no broker limit: one request of 5 MB   %6ld kB\n", PeakWithRequest(broker, 5 << 20));
  std::printf("  no broker limit: one request of 50 MB  %6ld kB\n", PeakWithRequest(broker, 50 << 20));
  // What keeps such a message out: the broker's own limit, as the recipe sets it.
  const std::string limit = RecipeLimit();
  const size_t limitBytes = std::stoul(limit.substr(limit.find(' ') + 1));
  broker.RequireAccess("allow_anonymous true\n" + limit);
  std::printf("  broker %s:\n", limit.c_str());
  std::printf("    one request at the limit      %6ld kB\n", PeakWithRequest(broker, limitBytes));
  std::printf("    one request of 5 MB (dropped) %6ld kB\n", PeakWithRequest(broker, 5 << 20, 5s));
  std::printf("    one request of 50 MB (dropped)%6ld kB\n", PeakWithRequest(broker, 50 << 20, 5s));
}

}  // namespace

int main(int argc, char** argv) {
  setenv("KIV_BUILD_DIR", KIV_DEFAULT_BUILD_DIR, 0);  // where gatewayd is
  int runs = 10;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(0, std::atoi(argv[i + 1]));
  }
  if (runs > 0) MeasureStops(runs);
  MeasureMemory();
  return 0;
}
