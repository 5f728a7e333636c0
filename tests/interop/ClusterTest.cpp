// Two gateways on a 3-node RabbitMQ cluster set up with exactly the files of
// examples/rabbitmq/, and the platform (a stand-in registrar and a console)
// on node 1: registration and records while spread over the nodes, a
// request across nodes, and a gateway's node stopped, then killed, while
// requests go to it; then ACME on node 1, where it can run, checking a
// gateway on node 3 at the point of access set. Skipped with one line where
// rabbitmq-server is missing, under an emulator, or where the cluster does
// not come up within its bounded set-up. One cluster serves the whole story:
// starting one costs 15 s on an idle machine, minutes on a loaded one.
#include "Gatewayd.h"
#include "PlatformClient.h"
#include "Records.h"
#include "TestCse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <future>
#include <iostream>
#include <netinet/in.h>
#include <optional>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace interop {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kivtest::Process;

const char* const kServer = "/usr/lib/rabbitmq/bin/rabbitmq-server";
const char* const kCtl = "/usr/lib/rabbitmq/bin/rabbitmqctl";
const char* const kLost = "ConnectionLost: connection to";
const std::string kConsolePassword = "console-secret";
const std::string kPlatformPassword = "platform-secret";

// The cluster's set-up, step by step, each within its own time and all of
// them within kSetUpBudget: on a machine too loaded to start three Erlang
// nodes in time the test skips, naming the step, well before CTest's limit.
// The whole set-up takes about 45 s on a quiet machine, 110 s beside two busy
// loops and another run of this test.
constexpr std::chrono::seconds kSetUpBudget{240};
constexpr std::chrono::seconds kEpmdStart{10};
constexpr std::chrono::seconds kNodeBoot{120};      // a node's boot, plugins included
constexpr std::chrono::seconds kCommand{60};        // one rabbitmqctl or kiv-setup.sh run
constexpr std::chrono::seconds kNodeStopped{30};    // a killed node gone

const char* const kQuietScheduler = "+S 1:1 +sbwt none +sbwtdcpu none +sbwtdio none";

std::string Recipe(const std::string& file) {
  return kivtest::SourceDir() + "/examples/rabbitmq/" + file;
}

double Seconds(Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

// The last line of a program's output, trimmed to fit a one-line report.
std::string LastLine(const std::string& output) {
  size_t end = output.find_last_not_of(" \r\n");
  if (end == std::string::npos) return "(no output)";
  size_t begin = output.rfind('\n', end);
  begin = begin == std::string::npos ? 0 : begin + 1;
  std::string line = output.substr(begin, end + 1 - begin);
  return line.size() > 200 ? line.substr(0, 200) + "..." : line;
}

// Why a program did not end well within its time, in one line; "" when it
// ended with status 0.
std::string Outcome(Process& program, std::chrono::milliseconds limit) {
  std::optional<int> status = program.Wait(limit);
  if (status == 0) return "";
  std::string output = program.Stdout() + program.Stderr();
  if (!status) return "still running after " + std::to_string(limit.count() / 1000) + " s: " + LastLine(output);
  return "exit status " + std::to_string(*status) + ": " + LastLine(output);
}

bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address = kivtest::LoopbackAddress(port);
  bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return accepted;
}

// Three nodes on free loopback ports, each with its own folders, sharing an
// Erlang cookie and a private epmd; the recipe's rabbitmq.conf, then a file
// with the node's listeners and the nodes' names. Every program it starts
// leads a process group of its own, which its end kills whole: no node,
// Erlang helper or command outlives the cluster.
class RabbitCluster {
public:
  static constexpr int kNodes = 3;

  RabbitCluster() {
    kivtest::WriteFile(dir_.File(".erlang.cookie"), "kivclustertestcookie");
    chmod(dir_.File(".erlang.cookie").c_str(), 0400);
    epmdPort_ = kivtest::FreeLoopbackPort();
    for (int i = 1; i <= kNodes; ++i) {
      Node& node = nodes_[i - 1];
      node.name = "kiv" + std::to_string(i) + "@localhost";
      node.mqttPort = kivtest::FreeLoopbackPort();
      node.distPort = kivtest::FreeLoopbackPort();
      node.folder = dir_.File("node" + std::to_string(i));
      std::string conf = node.folder + "/conf";
      if (mkdir(node.folder.c_str(), 0700) != 0 || mkdir(conf.c_str(), 0700) != 0 ||
          symlink(Recipe("rabbitmq.conf").c_str(), (conf + "/10-kiv.conf").c_str()) != 0) {
        throw std::runtime_error("cannot lay out " + conf);
      }
      std::string site = "listeners.tcp.default = 127.0.0.1:" +
                         std::to_string(kivtest::FreeLoopbackPort()) + "\n" +
                         "mqtt.listeners.tcp.default = 127.0.0.1:" +
                         std::to_string(node.mqttPort) + "\n";
      for (int j = 1; j <= kNodes; ++j) {
        site += "cluster_formation.classic_config.nodes." + std::to_string(j) + " = kiv" +
                std::to_string(j) + "@localhost\n";
      }
      kivtest::WriteFile(conf + "/20-site.conf", site);
    }
  }

  // Starts the cluster and runs kiv-setup.sh with each of setups: "" once
  // all is ready (*took then says how long each step took), else which step
  // did not finish in time and why, in one line. Node 1 boots first, so that nodes 2 and 3 find it up and join it
  // (booted together, each might find no other and start a cluster of its
  // own).
  std::string Start(const std::vector<std::vector<std::string>>& setups, std::string* took) {
    const Clock::time_point end = Clock::now() + kSetUpBudget;
    std::string failure;
    auto step = [&](const std::string& name, std::chrono::seconds limit,
                    const std::function<std::string(std::chrono::milliseconds)>& run) {
      if (!failure.empty()) return;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      auto started = Clock::now();
      std::string why = left.count() > 0 ? run(std::min<std::chrono::milliseconds>(limit, left))
                                         : "the set-up's " + std::to_string(kSetUpBudget.count()) +
                                               " s were spent";
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.1f s", Seconds(Clock::now() - started));
      if (!why.empty()) {
        failure = "cluster set-up step \"" + name + "\" failed after " + seconds + ": " + why;
      } else {
        *took += (took->empty() ? "" : ", ") + name + " " + seconds;
      }
    };
    step("private epmd", kEpmdStart, [&](std::chrono::milliseconds limit) { return StartEpmd(limit); });
    step("node 1 boots", kNodeBoot, [&](std::chrono::milliseconds limit) { return Boot({1}, limit); });
    step("nodes 2 and 3 boot", kNodeBoot,
         [&](std::chrono::milliseconds limit) { return Boot({2, 3}, limit); });
    step("3 nodes in one cluster", kCommand, [&](std::chrono::milliseconds limit) {
      return Ctl(1, {"await_online_nodes", std::to_string(kNodes)}, limit);
    });
    for (const std::vector<std::string>& words : setups) {
      step("kiv-setup.sh " + words[0] + (words[0] == "gateway" ? " " + words[1] : ""), kCommand,
           [&](std::chrono::milliseconds limit) { return Setup(words, limit); });
    }
    return failure;
  }

  // Runs rabbitmqctl against node i: "" when it succeeded, else why.
  std::string Ctl(int i, const std::vector<std::string>& words,
                  std::chrono::milliseconds limit = kCommand) {
    std::vector<std::string> command{kCtl, "-n", nodes_[i - 1].name};
    command.insert(command.end(), words.begin(), words.end());
    Process ctl(command, Options(i));
    return Outcome(ctl, limit);
  }

  // The recipe's set-up script, run as an operator would, against node 1.
  std::string Setup(const std::vector<std::string>& words, std::chrono::milliseconds limit = kCommand) {
    std::vector<std::string> command{"sh", Recipe("kiv-setup.sh")};
    command.insert(command.end(), words.begin(), words.end());
    Process::Options options = Options(1);
    options.env["RABBITMQCTL"] = std::string(kCtl) + " -n " + nodes_[0].name;
    Process setup(command, options);
    return Outcome(setup, limit);
  }

  void Kill(int i) {
    nodes_[i - 1].server->Signal(SIGKILL);
    nodes_[i - 1].server->Wait(kNodeStopped);
  }
  int Port(int i) const { return nodes_[i - 1].mqttPort; }
  // The node a broker URI names, or 0.
  int NodeOf(const std::string& uri) const {
    for (int i = 1; i <= kNodes; ++i) {
      if (Uri(i) == uri) return i;
    }
    return 0;
  }
  std::string Uri(int i) const { return "tcp://127.0.0.1:" + std::to_string(Port(i)); }

private:
  struct Node {
    std::string name, folder;
    int mqttPort = 0, distPort = 0;
    std::unique_ptr<Process> server;
  };

  // The nodes find each other through this epmd alone (they start none of
  // their own), so nothing of the machine's Erlang setup is in the way.
  std::string StartEpmd(std::chrono::milliseconds limit) {
    Process::Options options;
    options.ownGroup = true;
    epmd_ = std::make_unique<Process>(
        std::vector<std::string>{"epmd", "-address", "127.0.0.1", "-port", std::to_string(epmdPort_)},
        options);
    if (kivtest::WaitUntil([&] { return Accepts(epmdPort_) || !epmd_->Running(); }, limit) &&
        epmd_->Running()) {
      return "";
    }
    return epmd_->Running() ? "not listening" : "ended: " + LastLine(epmd_->Stdout() + epmd_->Stderr());
  }

  // Starts the nodes and waits until each has booted, joined the cluster
  // and enabled its plugins.
  std::string Boot(const std::vector<int>& which, std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    for (int i : which) {
      nodes_[i - 1].server = std::make_unique<Process>(std::vector<std::string>{kServer}, Options(i));
    }
    for (int i : which) {
      Process& server = *nodes_[i - 1].server;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (server.WaitForOutput("completed with", std::max(left, std::chrono::milliseconds(0)))) continue;
      std::string output = server.Stdout() + server.Stderr();
      return "node " + std::to_string(i) + (server.Running() ? " not up yet: " : " ended: ") + LastLine(output);
    }
    return "";
  }

  // The environment of a node and of the tools that talk to it. The
  // server replaces its start script by the Erlang VM (as under systemd), so
  // that the process started is the node. Each VM, node or command, runs one
  // scheduler that sleeps when idle (no busy-waiting), so that three nodes
  // and their commands share a loaded 2-core machine with the builds beside
  // them.
  Process::Options Options(int i) const {
    const Node& node = nodes_[i - 1];
    Process::Options options;
    options.ownGroup = true;
    options.env = {{"HOME", dir_.path()},
                   {"ERL_EPMD_PORT", std::to_string(epmdPort_)},
                   {"RABBITMQ_CONF_ENV_FILE", "/dev/null"},
                   {"RABBITMQ_NODENAME", node.name},
                   {"RABBITMQ_NODE_IP_ADDRESS", "127.0.0.1"},
                   {"RABBITMQ_DIST_PORT", std::to_string(node.distPort)},
                   {"RABBITMQ_CONFIG_FILES", node.folder + "/conf"},
                   {"RABBITMQ_ADVANCED_CONFIG_FILE", node.folder + "/advanced.config"},
                   {"RABBITMQ_ENABLED_PLUGINS_FILE", Recipe("enabled_plugins")},
                   {"RABBITMQ_MNESIA_BASE", node.folder + "/mnesia"},
                   {"RABBITMQ_LOG_BASE", node.folder + "/log"},
                   {"RABBITMQ_PID_FILE", node.folder + "/pid"},
                   {"RABBITMQ_SERVER_ERL_ARGS",
                    "-kernel inet_dist_use_interface {127,0,0,1} -start_epmd false"},
                   {"RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS", kQuietScheduler},
                   {"RABBITMQ_CTL_ERL_ARGS", kQuietScheduler},
                   {"RUNNING_UNDER_SYSTEMD", "1"}};
    return options;
  }

  kivtest::TempDir dir_;  // declared first: removed once every program is gone
  int epmdPort_ = 0;
  std::unique_ptr<Process> epmd_;
  Node nodes_[kNodes];
};

// A gateway publishing every second, numbering its records.
struct Gateway {
  Gateway(const std::string& id, const std::string& brokers, const std::string& poa)
      : device(id) {
    kivtest::WriteNodeScript(folder, kCounterScript);
    process = kivtest::StartGatewayd(folder, brokers, device,
                                     {"-d", "on", "-i", "1", "-u", device, "-p", Password()},
                                     {{"KIV_POINT_OF_ACCESS", poa}});
  }
  std::string Password() const { return device + "-secret"; }
  std::string Log() const { return process->Stderr(); }
  size_t Connections() const { return kivtest::Occurrences(Log(), "connected to tcp://"); }
  // The broker it connected to last.
  std::string Broker() const {
    std::string log = Log();
    size_t at = log.rfind("connected to tcp://");
    if (at == std::string::npos) return "";
    at += std::string("connected to ").size();
    return log.substr(at, log.find(' ', at) - at);
  }
  size_t Registrations() const { return kivtest::Occurrences(Log(), kRegistered); }
  bool WaitForConnections(size_t times, std::chrono::milliseconds timeout) const {
    return process->WaitForOutput("connected to tcp://", timeout, Process::Stream::kErr, times);
  }
  bool WaitForRegistrations(size_t times) const {
    return process->WaitForOutput(kRegistered, kDeadline, Process::Stream::kErr, times);
  }
  int Produced() const {
    int count = 0;
    std::sscanf(kivtest::ReadFile(folder.File("count")).c_str(), "%d", &count);
    return count;
  }

  std::string device;
  kivtest::TempDir folder;
  std::unique_ptr<Process> process;
};

// Each run starts a cluster of its own and ends it whole, also when its
// set-up skipped.
class ClusterTest : public testing::Test {
protected:
  void SetUp() override {
    if (access(kServer, X_OK) != 0) GTEST_SKIP() << "rabbitmq-server is not installed";
    // The nodes run natively: under the emulator this would time qemu's
    // gateway beside three Erlang VMs, and add nothing the native run checks.
    if (kivtest::UnderEmulator()) GTEST_SKIP() << "the broker cluster is tested natively only";
    auto start = Clock::now();
    cluster_ = std::make_unique<RabbitCluster>();
    std::string steps;
    std::string failure = cluster_->Start({{"cluster", kPlatformPassword, kConsolePassword},
                                           {"gateway", "gw-a", "gw-a-secret"},
                                           {"gateway", "gw-b", "gw-b-secret"}},
                                          &steps);
    if (!failure.empty()) GTEST_SKIP() << failure;
    std::printf("cluster up and set up in %.1f s (%s)\n", Seconds(Clock::now() - start), steps.c_str());
  }
  void TearDown() override { cluster_.reset(); }

  std::unique_ptr<RabbitCluster> cluster_;
};

std::unique_ptr<kiv::platform::Platform> StartPlatform(const std::string& uri,
                                                       const std::string& user,
                                                       const std::string& password,
                                                       bool registrar) {
  kiv::platform::Platform::Options options;
  options.serverUri = uri;
  options.originator = registrar ? "id-in" : kiv::platform::FreshOriginator("console");
  options.username = user;
  options.password = password;
  options.answerAsRegistrar = registrar;
  auto platform = std::make_unique<kiv::platform::Platform>(options);
  std::string error;
  EXPECT_EQ(platform->Connect(10s, &error), 0) << user << ": " << error;
  return platform;
}

// The record numbers of device the registrar was sent, a number sent again
// (its answer lost) counted once as a registrar that refuses the second
// create of a name does; each must follow the one before.
void ExpectEachOnceInOrder(const kiv::platform::Platform& registrar, const Gateway& gateway) {
  std::vector<kiv::platform::Record> records = registrar.Records(gateway.device);
  ASSERT_FALSE(records.empty()) << gateway.device;
  int previous = 0;
  for (const auto& record : records) {
    int number = 0;
    ASSERT_EQ(std::sscanf(record.text.c_str(), "record %d", &number), 1) << record.text;
    EXPECT_EQ(number, previous + 1) << gateway.device << ": lost, twice or out of order";
    previous = number;
  }
  std::cout << gateway.device << ": records 1 to " << previous << " of " << gateway.Produced()
            << " produced, each once, in order\n";
}

// ACME on node 1 checks now and then that the gateway is alive by sending it
// a request at the registration's point of access; the gateway is on node 3,
// which ACME never connects to. With the point of access set to the address
// ACME reaches the cluster at, the registration and its records stay.
void ExpectRegistrarReachesGatewayOnAnotherNode(RabbitCluster& cluster) {
  if (auto why = kivtest::TestCse::Unavailable()) {
    std::cout << "ACME's liveness checks not tried: " << *why << "\n";
    return;
  }
  kivtest::TestCse::Options options;
  options.mqttPort = cluster.Port(1);
  options.mqttUser = "id-in";
  options.mqttPassword = kPlatformPassword;
  options.checkIntervalSeconds = 2;
  kivtest::TestCse cse(options);
  ASSERT_EQ(cluster.Setup({"gateway", "gw-c", "gw-c-secret"}), "");
  Gateway c("gw-c", cluster.Uri(3), "mqtt://127.0.0.1:" + std::to_string(cluster.Port(1)));
  ASSERT_TRUE(c.WaitForRegistrations(1)) << c.Log() << cse.Log();
  const std::string registration = "/" + cse.cseName() + "/" + c.device;
  // The checks as they reach node 3, seen with the gateway's own rights.
  auto checks = StartPlatform(cluster.Uri(3), c.device, c.Password(), false);
  ASSERT_EQ(checks->Subscribe(kiv::protocol::RequestTopic("id-in", c.device)), 0);
  constexpr size_t kChecks = 5;
  ASSERT_TRUE(checks->inbox().WaitFor(kChecks, kDeadline)) << cse.Log();
  EXPECT_EQ(cse.Retrieve(registration).status, 200) << cse.Log();
  EXPECT_EQ(c.Registrations(), 1u) << "registered once, never dropped";
  EXPECT_FALSE(cse.Contents(registration + "/data").empty());
  std::cout << "ACME: " << checks->inbox().Messages().size()
            << " liveness checks reached the gateway on node 3; its registration stays\n";
}

// One story, so that one cluster serves it all.
TEST_F(ClusterTest, GatewaysStayRegisteredAndMoveToAnotherNodeLosingNothing) {
  auto registrar = StartPlatform(cluster_->Uri(1), "id-in", kPlatformPassword, true);
  ASSERT_EQ(registrar->Subscribe(kiv::protocol::RequestTopic("+", "id-in")), 0);
  auto console = StartPlatform(cluster_->Uri(1), "console", kConsolePassword, false);
  const std::string poa = "mqtt://broker.example:1883";  // the cluster's common name
  // Gateway a starts on node 3 (or 2, when 3 does not take it at once),
  // gateway b on node 2; each may move to the other.
  Gateway a("gw-a", cluster_->Uri(3) + "," + cluster_->Uri(2), poa);
  Gateway b("gw-b", cluster_->Uri(2) + "," + cluster_->Uri(3), poa);
  ASSERT_TRUE(a.WaitForRegistrations(1)) << a.Log();
  ASSERT_TRUE(b.WaitForRegistrations(1)) << b.Log();
  EXPECT_NE(a.Log().find("(" + poa + ")"), std::string::npos) << "the registration's poa";

  auto retrieve = [&] {
    std::string error;
    auto reply = console->Ask(a.device, kiv::platform::Retrieve(console->HeaderFor(a.device), {1007}),
                              30s, &error);
    return reply ? std::string() : "no answer: " + error;
  };
  EXPECT_EQ(retrieve(), "") << "from node 1 to a gateway on node " << cluster_->NodeOf(a.Broker());

  // The node gateway a is on fails; a stopped node comes back after its case.
  struct Case {
    const char* how;
    std::function<void(int node)> fail;
    bool restart;
  } cases[] = {
      {"stop_app", [&](int node) { EXPECT_EQ(cluster_->Ctl(node, {"stop_app"}), ""); }, true},
      {"kill -9", [&](int node) { cluster_->Kill(node); }, false},
  };
  // Records of gateway a stored beyond those stored so far.
  auto waitForMoreRecords = [&](size_t more) {
    size_t stored = registrar->Records(a.device).size();
    return kivtest::WaitUntil([&] { return registrar->Records(a.device).size() >= stored + more; },
                              kDeadline);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    ASSERT_TRUE(waitForMoreRecords(2));
    size_t connections = a.Connections(), registrations = a.Registrations();
    size_t losses = kivtest::Occurrences(a.Log(), kLost);
    const int node = cluster_->NodeOf(a.Broker());
    ASSERT_NE(node, 0) << a.Log();
    auto start = Clock::now();
    std::future<std::string> request = std::async(std::launch::async, [&] {
      c.fail(node);
      return retrieve();  // sent while the gateway moves
    });
    // Timed from the loss: rabbitmqctl itself takes a second or more.
    ASSERT_TRUE(a.process->WaitForOutput(kLost, kDeadline, Process::Stream::kErr, losses + 1));
    auto lost = Clock::now();
    ASSERT_TRUE(a.WaitForConnections(connections + 1, kDeadline)) << a.Log();
    auto connected = Clock::now() - lost;
    ASSERT_TRUE(a.WaitForRegistrations(registrations + 1)) << a.Log();
    auto registered = Clock::now() - lost;
    EXPECT_EQ(request.get(), "") << "a request during the failover";
    std::printf("%s of node %d: lost %.1f s after the command; connected to another node %.1f s "
                "after the loss, registered after %.1f s\n",
                c.how, node, Seconds(lost - start), Seconds(connected), Seconds(registered));
    if (c.restart) {
      // A node too slow to come back says nothing about the gateway.
      std::string why = cluster_->Ctl(node, {"start_app"});
      if (!why.empty()) GTEST_SKIP() << "node " << node << " did not start again: " << why;
    }
  }
  ASSERT_TRUE(waitForMoreRecords(3));
  int last = a.Produced();
  ASSERT_TRUE(kivtest::WaitUntil(
      [&] {
        auto records = registrar->Records(a.device);
        return !records.empty() && records.size() >= static_cast<size_t>(last);
      },
      kDeadline));
  ExpectEachOnceInOrder(*registrar, a);
  ExpectEachOnceInOrder(*registrar, b);
  registrar.reset();  // ACME takes the platform's place (and client id)
  ExpectRegistrarReachesGatewayOnAnotherNode(*cluster_);
}


}  // namespace
}  // namespace interop
