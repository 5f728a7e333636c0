// Round trip, throughput and idle cost of the SDK, each beside its floor: a
// bare Paho client doing the same job without the SDK and without JSON. The
// whole gateway (the built gatewayd answering through RequestArrived, with
// its node script running every 15 s) is measured in the same run.
//
//   build/default/bench/sdk_bench [--requests 2000] [--inflight 16] [--total 5000]
//                                 [--nagle-requests 100] [--idle-seconds 60]
//                                 [--cse-requests 200]
//
// Last, the memory a full record queue costs: an SDK whose registrar never
// answers takes more records than the queue's default bounds hold.
//
// A private mosquitto on a free loopback port carries everything. The
// responder (the SDK's kiv::Proxy answering retrieves, or the bare Paho echo)
// runs in a child process, so that each side has its own MQTT library
// threads; the requester is a kiv::mqtt::Client here. Every figure is taken
// with TCP_NODELAY on all clients, then without it (fewer requests: each round
// trip then waits for delayed ACKs). The broker runs with set_tcp_nodelay.
//
// This program, like the SDK, includes Paho: the floor is Paho itself.
#include "kiv/MqttClient.h"
#include "kiv/Proxy.h"

#include "Gatewayd.h"
#include "PlatformRequests.h"
#include "TcpNoDelay.h"
#include "TestCse.h"
#include "TestSupport.h"

#include <MQTTAsync.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char kDevice[] = "bench-gw";    // served by the SDK
const char kEchoDevice[] = "bench-echo";  // served by the bare Paho echo
const char kGatewayDevice[] = "bench-gatewayd";  // served by gatewayd itself
const char kOriginator[] = "bench-req";
// A reply of the gateway's size and shape (jsoncpp's styled text).
const char kReply[] =
    "{\n   \"primitiveContent\" : {\n      \"anyOrAny\" : [\n         {\n"
    "            \"mgmtClientAddress\" : \"127.0.0.1\",\n            \"resourceType\" : 14\n"
    "         }\n      ]\n   }\n}\n";

struct Settings {
  int requests = 2000;
  int inflight = 16;
  int total = 5000;
  int nagleRequests = 100;
  int nagleTotal = 500;
  int idleSeconds = 60;
  int cseRequests = 200;
};

int PortOf(const std::string& uri) { return std::atoi(uri.substr(uri.rfind(':') + 1).c_str()); }

// ---- children: the responders and the idle clients --------------------------

class Answerer : public kiv::Proxy::Callback {
public:
  kiv::Proxy* proxy = nullptr;
  void RequestArrived(const std::string& requestId, int, std::list<kiv::RequestTarget>&,
                      std::list<kiv::RequestContent>&) override {
    proxy->Response(requestId, kReply, 15, true, nullptr);
  }
};

// CPU time of the process (all threads) and its resident anonymous memory.
double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long RssAnonKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("RssAnon:", 0) == 0) return std::atol(line.c_str() + 8);
  }
  return -1;
}

// Ready for requests; in idle mode, measure the idle window and report it.
void ReadyThenIdle(bool idle, int idleSeconds) {
  printf("ready\n");
  fflush(stdout);
  if (!idle) {
    for (;;) pause();  // serve until the parent kills us
  }
  double before = CpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));  // the idle window itself
  printf("idle cpu_ms=%.1f rss_anon_kib=%ld\n", (CpuSeconds() - before) * 1000.0, RssAnonKiB());
  fflush(stdout);
}

void SdkChild(const std::string& uri, bool idle, int idleSeconds) {
  kiv::ProxyInfo info(kiv::kConnectionMqtt, "key", "token", uri);
  info.SetDeviceId(kDevice);
  kiv::Proxy proxy(info);
  Answerer answerer;
  answerer.proxy = &proxy;
  proxy.SetCallback(answerer);
  std::string error = proxy.Connect(10, false, nullptr);  // as the gateway calls it
  if (!error.empty()) {
    fprintf(stderr, "sdk child: %s\n", error.c_str());
    exit(2);
  }
  ReadyThenIdle(idle, idleSeconds);
}

// Connected, never registered (no CSE on the broker): every record waits.
// Fills the queue past its default bounds with records of a node script's
// size, and reports the resident anonymous memory before and after.
void FullQueueChild(const std::string& uri) {
  kiv::ProxyInfo info(kiv::kConnectionMqtt, "key", "token", uri);
  info.SetDeviceId("bench-queue");
  kiv::Proxy proxy(info);
  std::string error = proxy.Connect(10, false, nullptr);
  if (!error.empty()) {
    fprintf(stderr, "queue child: %s\n", error.c_str());
    exit(2);
  }
  std::this_thread::sleep_for(1s);  // the registration sent, the client settled
  long empty = RssAnonKiB();
  const std::string text(1000, 'x');
  kiv::Data data(&proxy);
  int taken = 0;
  for (int i = 0; i < 1500; ++i) taken += data.Create(text, false).errorCode == 0;
  std::this_thread::sleep_for(1s);
  printf("queue records_taken=%d rss_anon_kib_empty=%ld rss_anon_kib_full=%ld\n", taken, empty,
         RssAnonKiB());
  fflush(stdout);
}

struct PahoEcho {
  MQTTAsync handle = nullptr;
  std::string uri;
  bool noDelay = false;
  kiv::mqtt::SocketInodes before;
  std::mutex mutex;
  std::condition_variable done;
  int state = 0;  // 1 subscribed, -1 failed
};

int EchoArrived(void* context, char* topic, int topicLength, MQTTAsync_message* message) {
  auto* echo = static_cast<PahoEcho*>(context);
  // /oneM2M/req/O/D/json -> /oneM2M/resp/O/D/json, payload unchanged.
  std::string in = topicLength > 0 ? std::string(topic, static_cast<size_t>(topicLength)) : topic;
  std::string out = "/oneM2M/resp/" + in.substr(std::strlen("/oneM2M/req/"));
  MQTTAsync_message reply = MQTTAsync_message_initializer;
  reply.payload = message->payload;
  reply.payloadlen = message->payloadlen;
  reply.qos = 1;
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  MQTTAsync_sendMessage(echo->handle, out.c_str(), &reply, &options);
  MQTTAsync_freeMessage(&message);
  MQTTAsync_free(topic);
  return 1;
}

void EchoSettled(PahoEcho* echo, int state) {
  std::lock_guard<std::mutex> lock(echo->mutex);
  echo->state = state;
  echo->done.notify_all();
}

void EchoSubscribed(void* context, MQTTAsync_successData*) {
  EchoSettled(static_cast<PahoEcho*>(context), 1);
}
void EchoFailed(void* context, MQTTAsync_failureData*) {
  EchoSettled(static_cast<PahoEcho*>(context), -1);
}

void EchoConnected(void* context, MQTTAsync_successData*) {
  auto* echo = static_cast<PahoEcho*>(context);
  if (echo->noDelay) {
    kiv::mqtt::SetNoDelayOnNewSockets(echo->before,
                                      kiv::mqtt::ResolveBroker("127.0.0.1", PortOf(echo->uri)));
  }
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  options.onSuccess = EchoSubscribed;
  options.onFailure = EchoFailed;
  options.context = echo;
  std::string filter = std::string("/oneM2M/req/+/") + kEchoDevice + "/json";
  MQTTAsync_subscribe(echo->handle, filter.c_str(), 1, &options);
}

void PahoChild(const std::string& uri, bool noDelay, bool idle, int idleSeconds) {
  PahoEcho echo;
  echo.uri = uri;
  echo.noDelay = noDelay;
  std::string clientId = "bench-echo-" + std::to_string(getpid());
  MQTTAsync_create(&echo.handle, uri.c_str(), clientId.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr);
  MQTTAsync_setCallbacks(echo.handle, &echo, nullptr, EchoArrived, nullptr);
  MQTTAsync_connectOptions connect = MQTTAsync_connectOptions_initializer;
  connect.MQTTVersion = MQTTVERSION_3_1_1;
  connect.onSuccess = EchoConnected;
  connect.onFailure = EchoFailed;
  connect.context = &echo;
  echo.before = kiv::mqtt::OpenSocketInodes();
  MQTTAsync_connect(echo.handle, &connect);
  std::unique_lock<std::mutex> lock(echo.mutex);
  if (!echo.done.wait_for(lock, 10s, [&] { return echo.state != 0; }) || echo.state < 0) {
    fprintf(stderr, "paho child: no connection\n");
    exit(2);
  }
  lock.unlock();
  ReadyThenIdle(idle, idleSeconds);
}

// ---- gatewayd ------------------------------------------------------------------

// CPU seconds of another process: the run time of each of its threads, in
// nanoseconds (per-thread schedstat), so a process that idles for a minute
// is not rounded to clock ticks. Waited-for children (the node script) are
// not in it.
double ProcessCpuSeconds(pid_t pid) {
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  double nanoseconds = 0;
  if (DIR* dir = opendir(tasks.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream schedstat(tasks + "/" + entry->d_name + "/schedstat");
      double runtime = 0;
      if (schedstat >> runtime) nanoseconds += runtime;
    }
    closedir(dir);
  }
  return nanoseconds / 1e9;
}

long ProcessRssAnonKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("RssAnon:", 0) == 0) return std::atol(line.c_str() + 8);
  }
  return -1;
}

// The built gatewayd serving kGatewayDevice every intervalSeconds, in folder
// with the example node script.
std::unique_ptr<kivtest::Process> StartGatewayd(const std::string& uri, bool noDelay,
                                                int intervalSeconds, const kivtest::TempDir& folder) {
  kivtest::WriteFile(folder.File("pynodes.py"),
                     kivtest::ReadFile(std::string(KIV_SOURCE_DIR) + "/examples/pynodes.py"), true);
  return kivtest::StartGatewayd(folder, uri, kGatewayDevice, {"-i", std::to_string(intervalSeconds)},
                                {{"KIV_TCP_NODELAY", noDelay ? "1" : "0"}});
}

// ---- the requester -------------------------------------------------------------

class Requester {
public:
  Requester(const std::string& uri, bool noDelay) : client_(Options(uri, noDelay)) {
    client_.OnMessage([this](const kiv::mqtt::Message& m) { Arrived(m.payload); });
    std::string error;
    if (client_.Connect(10s, &error) != 0 ||
        client_.Subscribe(std::string("/oneM2M/resp/") + kOriginator + "/+/json", 1, &error) != 0) {
      fprintf(stderr, "requester: %s\n", error.c_str());
      exit(2);
    }
  }

  // Latencies in microseconds of count requests sent one after the other.
  std::vector<double> Sequential(const std::string& device, int count) {
    device_ = device;
    std::vector<double> latencies;
    for (int i = 0; i < count; ++i) {
      auto start = Clock::now();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        waitingFor_ = Id(i);
      }
      Send(i);
      std::unique_lock<std::mutex> lock(mutex_);
      if (!arrived_.wait_for(lock, 5s, [&] { return waitingFor_.empty(); })) {
        fprintf(stderr, "requester: no reply to request %d\n", i);
        exit(3);
      }
      latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return latencies;
  }

  // Whether device answers a retrieve within timeout (asked again each second).
  bool Answers(const std::string& device, std::chrono::seconds timeout) {
    device_ = device;
    auto deadline = Clock::now() + timeout;
    for (int i = 0; Clock::now() < deadline; ++i) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        waitingFor_ = Id(i);
      }
      Send(i);
      std::unique_lock<std::mutex> lock(mutex_);
      if (arrived_.wait_for(lock, 1s, [&] { return waitingFor_.empty(); })) return true;
    }
    return false;
  }

  // Requests per second with inflight requests outstanding at any time.
  double Pipelined(const std::string& device, int total, int inflight) {
    device_ = device;
    sent_ = 0;
    answered_ = 0;
    total_ = total;
    pipelined_ = true;
    auto start = Clock::now();
    for (int i = 0; i < inflight && i < total; ++i) Send(sent_++);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, 120s, [&] { return answered_ == total_; })) {
      fprintf(stderr, "requester: only %d of %d replies\n", answered_.load(), total);
      exit(3);
    }
    pipelined_ = false;
    return total / std::chrono::duration<double>(Clock::now() - start).count();
  }

private:
  static kiv::mqtt::Options Options(const std::string& uri, bool noDelay) {
    kiv::mqtt::Options options;
    options.serverUri = uri;
    options.clientId = kOriginator;
    options.tcpNoDelay = noDelay;
    return options;
  }
  static std::string Id(int i) { return "b-" + std::to_string(i); }
  void Send(int i) {
    std::string request = kiv::platform::Retrieve({Id(i), kOriginator, device_}, {14});
    client_.Publish(kiv::protocol::RequestTopic(kOriginator, device_), request, 1, false);
  }
  // The reply's rqi, found without a JSON parser (the same for both responders).
  static std::string ReplyId(const std::string& payload) {
    size_t at = payload.find("\"rqi\":\"");
    if (at == std::string::npos) return "";
    at += 7;
    return payload.substr(at, payload.find('"', at) - at);
  }
  void Arrived(const std::string& payload) {
    if (pipelined_) {
      if (sent_ < total_) Send(sent_++);
      if (++answered_ == total_) {
        std::lock_guard<std::mutex> lock(mutex_);
        arrived_.notify_all();
      }
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (ReplyId(payload) == waitingFor_) {
      waitingFor_.clear();
      arrived_.notify_all();
    }
  }

  kiv::mqtt::Client client_;
  std::string device_;  // set between runs, read by the handler during one
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::string waitingFor_;
  std::atomic<bool> pipelined_{false};
  std::atomic<int> sent_{0}, answered_{0}, total_{0};
};

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[at];
}

std::string SelfPath() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  self[n > 0 ? n : 0] = '\0';
  return self;
}

std::vector<std::string> ChildCommand(const char* role, const std::string& uri, bool noDelay,
                                      bool idle, int idleSeconds) {
  return {SelfPath(), "--child", role, uri, noDelay ? "1" : "0", idle ? "1" : "0",
          std::to_string(idleSeconds)};
}

struct Figures {
  std::vector<double> latencies;
  std::vector<double> throughputs;
  double P(double p) const { return Percentile(latencies, p); }
  double Throughput() const { return Percentile(throughputs, 0.5); }
};

// The two responders are measured in alternating rounds, so that a change of
// load on the machine hits both alike; latencies are pooled, throughput is
// the median of the rounds.
void ReportRoundTrips(const Settings& s, const std::string& uri) {
  const int kRounds = 4;
  for (bool noDelay : {true, false}) {
    int requests = noDelay ? s.requests : s.nagleRequests;
    int total = noDelay ? s.total : s.nagleTotal;
    kivtest::Process echo(ChildCommand("paho", uri, noDelay, false, 0));
    kivtest::Process sdk(ChildCommand("sdk", uri, noDelay, false, 0));
    kivtest::TempDir folder;
    auto gatewayd = StartGatewayd(uri, noDelay, 15, folder);
    if (!echo.WaitForOutput("ready", 30s) || !sdk.WaitForOutput("ready", 30s)) {
      fprintf(stderr, "responders did not start: %s %s\n", echo.Stderr().c_str(), sdk.Stderr().c_str());
      exit(2);
    }
    Requester requester(uri, noDelay);
    if (!requester.Answers(kGatewayDevice, 30s)) {
      fprintf(stderr, "gatewayd does not answer: %s\n", gatewayd->Stderr().c_str());
      exit(2);
    }
    Figures bare, ours, whole;
    const std::pair<const char*, Figures*> responders[] = {
        {kEchoDevice, &bare}, {kDevice, &ours}, {kGatewayDevice, &whole}};
    for (const auto& responder : responders) requester.Sequential(responder.first, std::min(50, requests));
    for (int round = 0; round < kRounds; ++round) {
      for (const auto& [device, figures] : responders) {
        auto latencies = requester.Sequential(device, requests / kRounds);
        figures->latencies.insert(figures->latencies.end(), latencies.begin(), latencies.end());
        figures->throughputs.push_back(requester.Pipelined(device, total / kRounds, s.inflight));
      }
    }
    printf("\nTCP_NODELAY %s: %d sequential retrieves, then %d with %d in flight (QoS 1),\n"
           "in %d alternating rounds\n",
           noDelay ? "on" : "off", requests, total, s.inflight, kRounds);
    printf("  %-24s %10s %10s %14s\n", "", "p50 (us)", "p99 (us)", "throughput/s");
    printf("  %-24s %10.0f %10.0f %14.0f\n", "bare Paho echo", bare.P(0.5), bare.P(0.99), bare.Throughput());
    printf("  %-24s %10.0f %10.0f %14.0f\n", "SDK (Proxy, Response)", ours.P(0.5), ours.P(0.99),
           ours.Throughput());
    printf("  %-24s %10.0f %10.0f %14.0f\n", "gatewayd (RequestArrived)", whole.P(0.5),
           whole.P(0.99), whole.Throughput());
    printf("  SDK/bare: p50 %.2fx, throughput %.2fx\n", ours.P(0.5) / bare.P(0.5),
           ours.Throughput() / bare.Throughput());
    printf("  gatewayd/bare: p50 %.2fx, throughput %.2fx\n", whole.P(0.5) / bare.P(0.5),
           whole.Throughput() / bare.Throughput());
    fflush(stdout);
  }
}

// Waits until the CSE holds the gateway's registration.
bool RegisteredAt(const kivtest::TestCse& cse, std::chrono::seconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::string target = "/" + cse.cseName() + "/" + kGatewayDevice;
  while (Clock::now() < deadline) {
    if (cse.Retrieve(target).Header("X-M2M-RSC") == std::string("2000")) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

// A oneM2M application asks the CSE over HTTP for the gateway's node
// resource: the CSE forwards the retrieve over MQTT, gatewayd answers it and
// the CSE answers the HTTP request. Beside it, the same retrieve sent to
// gatewayd over MQTT directly.
void ReportThroughTheCse(const Settings& s, const kivtest::TestBroker& broker) {
  if (std::optional<std::string> why = kivtest::TestCse::Unavailable()) {
    printf("\nThrough a oneM2M CSE: not measured (%s)\n", why->c_str());
    return;
  }
  kivtest::TestCse::Options options;
  options.mqttPort = broker.port();
  kivtest::TestCse cse(options);
  kivtest::TempDir folder;
  auto gatewayd = StartGatewayd(broker.uri(), true, 15, folder);
  Requester requester(broker.uri(), true);
  if (!requester.Answers(kGatewayDevice, 30s) || !RegisteredAt(cse, 30s)) {
    fprintf(stderr, "gatewayd does not answer or register: %s\n", gatewayd->Stderr().c_str());
    exit(2);
  }
  kivtest::OneM2mHttpRequest retrieve;
  retrieve.target = std::string("/~/") + kGatewayDevice + "/gateway?fu=1&ty=14";
  std::vector<double> viaCse;
  for (int i = 0; i < s.cseRequests; ++i) {
    auto start = Clock::now();
    kivtest::HttpResponse response = cse.Request(retrieve);
    if (response.Header("X-M2M-RSC") != std::string("2000")) {
      fprintf(stderr, "the CSE answered %d: %s\n", response.status, response.body.c_str());
      exit(3);
    }
    viaCse.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::vector<double> direct = requester.Sequential(kGatewayDevice, s.cseRequests);
  printf("\nThrough a oneM2M CSE (the independent ACME CSE, Python): %d retrieves of type 14\n",
         s.cseRequests);
  printf("  %-32s %10s %10s\n", "", "p50 (us)", "p99 (us)");
  printf("  %-32s %10.0f %10.0f\n", "HTTP to the CSE, forwarded", Percentile(viaCse, 0.5),
         Percentile(viaCse, 0.99));
  printf("  %-32s %10.0f %10.0f\n", "MQTT to gatewayd directly", Percentile(direct, 0.5),
         Percentile(direct, 0.99));
  fflush(stdout);
}

void ReportIdle(const Settings& s, const kivtest::TestBroker& broker) {
  const std::string uri = broker.uri();
  // gatewayd registered with a CSE when one can run here: its liveness checks
  // (every 30 s) are part of the gateway's idle cost.
  std::optional<kivtest::TestCse> cse;
  kivtest::TestCse::Options options;
  options.mqttPort = broker.port();
  if (!kivtest::TestCse::Unavailable()) cse.emplace(options);
  kivtest::Process sdk(ChildCommand("sdk", uri, true, true, s.idleSeconds));
  kivtest::Process paho(ChildCommand("paho", uri, true, true, s.idleSeconds));
  // gatewayd in the same window, publishing the example node script's data
  // every 15 s; measured from outside, its node script excluded.
  kivtest::TempDir folder;
  auto gatewayd = StartGatewayd(uri, true, 15, folder);
  Requester requester(uri, true);
  if (!requester.Answers(kGatewayDevice, 30s)) {
    fprintf(stderr, "gatewayd does not answer: %s\n", gatewayd->Stderr().c_str());
    exit(2);
  }
  double gatewaydBefore = ProcessCpuSeconds(gatewayd->pid());
  auto window = std::chrono::seconds(s.idleSeconds + 30);
  if (!sdk.WaitForOutput("idle ", window) || !paho.WaitForOutput("idle ", window)) {
    fprintf(stderr, "idle children did not report\n");
    exit(2);
  }
  double gatewaydCpuMs = (ProcessCpuSeconds(gatewayd->pid()) - gatewaydBefore) * 1000.0;
  long gatewaydRss = ProcessRssAnonKiB(gatewayd->pid());
  auto line = [](const std::string& out) { return out.substr(out.find("idle ") + 5); };
  printf("\nIdle and connected for %d s (CPU of the whole process, resident anonymous memory):\n",
         s.idleSeconds);
  printf("  bare Paho client: %s", line(paho.Stdout()).c_str());
  printf("  SDK Proxy:        %s", line(sdk.Stdout()).c_str());
  printf("  gatewayd (15 s interval, examples/pynodes.py, script excluded%s): cpu_ms=%.1f "
         "rss_anon_kib=%ld\n",
         cse ? ", registered with the CSE" : "", gatewaydCpuMs, gatewaydRss);
}

void ReportFullQueue(const kivtest::TestBroker& broker) {
  kivtest::Process child({SelfPath(), "--queue", broker.uri()});
  if (!child.WaitForOutput("queue ", 60s)) {
    fprintf(stderr, "queue child did not report: %s\n", child.Stderr().c_str());
    exit(2);
  }
  const std::string out = child.Stdout();
  printf("\nRecord queue at its default bounds (1000 records or 1 MiB; records of 1000 bytes, "
         "no CSE answering):\n  %s",
         out.substr(out.find("queue ") + 6).c_str());
}

bool ReadFlag(int& i, int argc, char** argv, const char* name, int* value) {
  if (std::strcmp(argv[i], name) != 0 || i + 1 >= argc) return false;
  *value = std::atoi(argv[++i]);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "--child") == 0) {
    bool noDelay = argv[4][0] == '1';
    bool idle = argv[5][0] == '1';
    int idleSeconds = std::atoi(argv[6]);
    if (std::strcmp(argv[2], "sdk") == 0) {
      setenv("KIV_TCP_NODELAY", noDelay ? "1" : "0", 1);
      SdkChild(argv[3], idle, idleSeconds);
    } else {
      PahoChild(argv[3], noDelay, idle, idleSeconds);
    }
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--queue") == 0) {
    FullQueueChild(argv[2]);
    return 0;
  }
  setenv("KIV_BUILD_DIR", KIV_DEFAULT_BUILD_DIR, 0);  // where gatewayd is
  Settings s;
  for (int i = 1; i < argc; ++i) {
    if (!ReadFlag(i, argc, argv, "--requests", &s.requests) &&
        !ReadFlag(i, argc, argv, "--inflight", &s.inflight) &&
        !ReadFlag(i, argc, argv, "--total", &s.total) &&
        !ReadFlag(i, argc, argv, "--nagle-requests", &s.nagleRequests) &&
        !ReadFlag(i, argc, argv, "--idle-seconds", &s.idleSeconds) &&
        !ReadFlag(i, argc, argv, "--cse-requests", &s.cseRequests)) {
      fprintf(stderr, "usage: sdk_bench [--requests N] [--inflight N] [--total N] "
                      "[--nagle-requests N] [--idle-seconds N] [--cse-requests N]\n");
      return 1;
    }
  }
  kivtest::TestBroker broker;
  printf("broker %s (mosquitto, set_tcp_nodelay true)\n", broker.uri().c_str());
  ReportRoundTrips(s, broker.uri());
  if (s.cseRequests > 0) ReportThroughTheCse(s, broker);
  if (s.idleSeconds > 0) ReportIdle(s, broker);
  ReportFullQueue(broker);
  return 0;
}
