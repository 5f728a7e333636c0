// Two gateways on a 3-node RabbitMQ cluster set up with exactly the files of
// examples/rabbitmq/, and the platform (a stand-in registrar and a console)
// on node 1: registration and records while spread over the nodes, a
// request across nodes, and a gateway's node stopped, then killed, while
// requests go to it; then ACME on node 1, where it can run, checking a
// gateway on node 3 at the point of access set. Skipped with one line where
// rabbitmq-server is missing. One cluster serves the whole story: starting
// one costs 15 to 60 s.
#include "Gatewayd.h"
#include "PlatformClient.h"
#include "Records.h"
#include "TestCse.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <future>
#include <iostream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace interop {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kivtest::Process;

const char* const kServer = "/usr/lib/rabbitmq/bin/rabbitmq-server";
const char* const kCtl = "/usr/lib/rabbitmq/bin/rabbitmqctl";
constexpr auto kNodeStart = 150s;  // a node's boot, the cluster forming included
constexpr auto kFailover = 5s;     // what a moved gateway must not exceed
const char* const kLost = "ConnectionLost: connection to";
const std::string kConsolePassword = "console-secret";
const std::string kPlatformPassword = "platform-secret";

std::string Recipe(const std::string& file) {
  return kivtest::SourceDir() + "/examples/rabbitmq/" + file;
}

// Three nodes on free loopback ports, each with its own folders, sharing an
// Erlang cookie and a private epmd; the recipe's rabbitmq.conf, then a file
// with the node's listeners and the nodes' names.
class RabbitCluster {
public:
  static constexpr int kNodes = 3;

  RabbitCluster() {
    kivtest::WriteFile(dir_.File(".erlang.cookie"), "kivclustertestcookie");
    chmod(dir_.File(".erlang.cookie").c_str(), 0400);
    epmdPort_ = kivtest::FreeLoopbackPort();
    epmd_ = std::make_unique<Process>(std::vector<std::string>{
        "epmd", "-address", "127.0.0.1", "-port", std::to_string(epmdPort_)});
    for (int i = 1; i <= kNodes; ++i) {
      Node& node = nodes_[i - 1];
      node.name = "kiv" + std::to_string(i) + "@localhost";
      node.mqttPort = kivtest::FreeLoopbackPort();
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

  // Boots the nodes together (they form one cluster as they come up);
  // false when one did not start.
  bool Start() {
    for (int i = 1; i <= kNodes; ++i) Boot(i);
    for (int i = 1; i <= kNodes; ++i) {
      if (!AwaitStartup(i)) return false;
    }
    return true;
  }

  // Runs rabbitmqctl against node i; false (with its output said) when it failed.
  bool Ctl(int i, const std::vector<std::string>& words) {
    std::vector<std::string> command{kCtl, "-n", nodes_[i - 1].name};
    command.insert(command.end(), words.begin(), words.end());
    Process ctl(command, Options(i));
    if (ctl.Wait(kNodeStart) == 0) return true;
    std::cerr << "rabbitmqctl " << words[0] << " on node " << i << ": " << ctl.Stdout()
              << ctl.Stderr();
    return false;
  }

  // The recipe's set-up script, run as an operator would, against node 1.
  bool Setup(const std::vector<std::string>& words) {
    std::vector<std::string> command{"sh", Recipe("kiv-setup.sh")};
    command.insert(command.end(), words.begin(), words.end());
    Process::Options options = Options(1);
    options.env["RABBITMQCTL"] = std::string(kCtl) + " -n " + nodes_[0].name;
    Process setup(command, options);
    if (setup.Wait(kNodeStart) == 0) return true;
    std::cerr << "kiv-setup.sh: " << setup.Stdout() << setup.Stderr();
    return false;
  }

  // Waits until node i has booted, joined the cluster and enabled its plugins.
  bool AwaitStartup(int i) {
    Process& server = *nodes_[i - 1].server;
    if (server.WaitForOutput("completed with", kNodeStart)) return true;
    std::cerr << "node " << i << " did not start: " << server.Stdout() << server.Stderr();
    return false;
  }
  void Boot(int i) {
    Node& node = nodes_[i - 1];
    node.server = std::make_unique<Process>(std::vector<std::string>{kServer}, Options(i));
  }
  void Kill(int i) { nodes_[i - 1].server->Signal(SIGKILL); nodes_[i - 1].server->Wait(30s); }
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
    int mqttPort = 0;
    std::unique_ptr<Process> server;
  };

  // The environment of a node and of the tools that talk to it. The
  // server replaces its start script by the Erlang VM (as under systemd), so
  // that the process started is the node.
  Process::Options Options(int i) const {
    const Node& node = nodes_[i - 1];
    Process::Options options;
    options.env = {{"HOME", dir_.path()},
                   {"ERL_EPMD_PORT", std::to_string(epmdPort_)},
                   {"RABBITMQ_CONF_ENV_FILE", "/dev/null"},
                   {"RABBITMQ_NODENAME", node.name},
                   {"RABBITMQ_NODE_IP_ADDRESS", "127.0.0.1"},
                   {"RABBITMQ_DIST_PORT", std::to_string(distPorts_[i - 1])},
                   {"RABBITMQ_CONFIG_FILES", node.folder + "/conf"},
                   {"RABBITMQ_ADVANCED_CONFIG_FILE", node.folder + "/advanced.config"},
                   {"RABBITMQ_ENABLED_PLUGINS_FILE", Recipe("enabled_plugins")},
                   {"RABBITMQ_MNESIA_BASE", node.folder + "/mnesia"},
                   {"RABBITMQ_LOG_BASE", node.folder + "/log"},
                   {"RABBITMQ_PID_FILE", node.folder + "/pid"},
                   {"RABBITMQ_SERVER_ERL_ARGS", "-kernel inet_dist_use_interface {127,0,0,1}"},
                   {"RUNNING_UNDER_SYSTEMD", "1"}};
    return options;
  }

  kivtest::TempDir dir_;
  int epmdPort_ = 0;
  int distPorts_[kNodes] = {kivtest::FreeLoopbackPort(), kivtest::FreeLoopbackPort(),
                            kivtest::FreeLoopbackPort()};
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

class ClusterTest : public testing::Test {
protected:
  static void SetUpTestSuite() {
    if (access(kServer, X_OK) != 0) return;
    auto start = Clock::now();
    cluster_ = new RabbitCluster();
    ready_ = cluster_->Start() &&
             cluster_->Setup({"cluster", kPlatformPassword, kConsolePassword}) &&
             cluster_->Setup({"gateway", "gw-a", "gw-a-secret"}) &&
             cluster_->Setup({"gateway", "gw-b", "gw-b-secret"});
    std::cout << "cluster up and set up in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()
              << " ms\n";
  }
  static void TearDownTestSuite() {
    delete cluster_;
    cluster_ = nullptr;
  }
  void SetUp() override {
    if (access(kServer, X_OK) != 0) GTEST_SKIP() << "rabbitmq-server is not installed";
    ASSERT_TRUE(ready_) << "the cluster did not start";
  }

  static RabbitCluster* cluster_;
  static bool ready_;
};

RabbitCluster* ClusterTest::cluster_ = nullptr;
bool ClusterTest::ready_ = false;

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

double Seconds(Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
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
  ASSERT_TRUE(cluster.Setup({"gateway", "gw-c", "gw-c-secret"}));
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
TEST_F(ClusterTest, GatewaysStayRegisteredAndMoveToAnotherNodeWithinSecondsLosingNothing) {
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
      {"stop_app", [&](int node) { ASSERT_TRUE(cluster_->Ctl(node, {"stop_app"})); }, true},
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
    EXPECT_LT(connected, kFailover);
    if (c.restart) {
      ASSERT_TRUE(cluster_->Ctl(node, {"start_app"}));
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
