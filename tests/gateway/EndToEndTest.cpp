// gatewayd end to end: a private mosquitto, the built gatewayd running in a
// temporary folder that holds its node script, and the platform's side
// played by the platform client (docs/protocol.md). No CSE here: the
// gateway's registration goes unanswered, as on a broker without one.
#include "Descriptors.h"
#include "Gatewayd.h"
#include "PlatformClient.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <iostream>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

using namespace std::chrono_literals;
using kivtest::Occurrences;
using kivtest::ParseJson;
using Stream = kivtest::Process::Stream;

namespace {

constexpr std::chrono::milliseconds kDeadline = 30s;

// Why a test that starves gatewayd of file descriptors cannot run with the
// sanitizers: their runtimes (UBSan checks memory through a pipe) need
// descriptors of their own. qemu-user needs none once it has started the
// program.
const char* const kSanitizerNeedsDescriptors = "the sanitizer runtime needs descriptors of its own";

// The lowest descriptor number process pid has free.
int LowestFreeDescriptor(pid_t pid) {
  std::map<int, std::string> open = kivtest::OpenDescriptors(std::to_string(pid));
  int fd = 0;
  while (open.count(fd) != 0) ++fd;
  return fd;
}

class EndToEnd : public testing::Test {
protected:
  void TearDown() override {
    if (gateway && gateway->Running()) {
      gateway->Signal(SIGTERM);
      gateway->Wait(kDeadline);
    }
  }

  void WriteScript(const std::string& body) { kivtest::WriteNodeScript(folder, body); }

  // The platform (standing in for its CSE too), watching the device.
  void StartPlatform() {
    kiv::platform::Platform::Options settings;
    settings.serverUri = broker.uri();
    settings.answerAsRegistrar = true;
    platform = std::make_unique<kiv::platform::Platform>(settings);
    std::string error;
    ASSERT_EQ(platform->Connect(20s, &error), 0) << error;
    ASSERT_EQ(platform->Watch(device, &error), 0) << error;
  }
  // Starts the platform, then gatewayd for device against the broker.
  void StartGateway(std::vector<std::string> options = {},
                    const std::map<std::string, std::string>& env = {}) {
    StartPlatform();
    gateway = kivtest::StartGatewayd(folder, broker.uri(), device, options, env);
  }

  // What the platform has seen of the gateway.
  std::vector<std::string> Records() const {
    std::vector<std::string> texts;
    for (const auto& record : platform->Records(device)) texts.push_back(record.text);
    return texts;
  }
  std::vector<std::chrono::steady_clock::time_point> RecordTimes() const {
    std::vector<kiv::mqtt::Message> messages = platform->inbox().Messages();
    std::vector<std::chrono::steady_clock::time_point> arrivals = platform->inbox().Arrivals();
    std::vector<std::chrono::steady_clock::time_point> times;
    for (size_t i = 0; i < messages.size() && i < arrivals.size(); ++i) {
      if (!kiv::platform::RecordsIn({messages[i]}, device).empty()) times.push_back(arrivals[i]);
    }
    return times;
  }
  bool WaitForRecords(size_t count, std::chrono::milliseconds timeout) const {
    return platform->inbox().WaitUntil(
        [&](const auto& messages) { return kiv::platform::RecordsIn(messages, device).size() >= count; },
        timeout);
  }
  bool WaitForStatus(const std::string& status, std::chrono::milliseconds timeout) const {
    return platform->inbox().WaitUntil(
        [&](const auto& messages) {
          std::vector<std::string> seen = kiv::platform::StatusesIn(messages, device);
          return !seen.empty() && seen.back() == status;
        },
        timeout);
  }
  void Send(const std::string& body) {
    std::string error;
    ASSERT_EQ(platform->Send(device, body, &error), 0) << error;
  }
  std::optional<Json::Value> Response(const std::string& requestId,
                                      std::chrono::milliseconds timeout) const {
    std::optional<std::string> reply = platform->WaitForReply(device, requestId, timeout);
    if (!reply) return std::nullopt;
    return ParseJson(*reply);
  }
  bool HasResponse(const std::string& requestId) const {
    return platform->WaitForReply(device, requestId, 0ms).has_value();
  }

  bool WaitForLog(const std::string& text) {
    return gateway->WaitForOutput(text, kDeadline, Stream::kErr);
  }

  // Stops gatewayd as a service manager would; it must end by itself.
  std::optional<int> Terminate() {
    gateway->Signal(SIGTERM);
    return gateway->Wait(kDeadline);
  }

  kivtest::TestBroker broker;
  kivtest::TempDir folder;
  std::string device = "e2e-gw-" + std::to_string(getpid());
  std::unique_ptr<kiv::platform::Platform> platform;
  std::unique_ptr<kivtest::Process> gateway;
};

const char* kCounterScript =
    "n=$(cat count 2>/dev/null || echo 0); n=$((n+1)); echo $n > count; printf 'record %s\\n' $n\n";

TEST_F(EndToEnd, PublishesTheScriptOutputEachIntervalByteForByte) {
  const std::string output = "node \"one\" \\ 100% \xc3\xa9\t" + std::string(300, 'x') + "\nlast";
  kivtest::WriteFile(folder.File("data.txt"), output);
  WriteScript("cat data.txt\n");
  StartGateway({"-i", "1abc"});  // read as 1 s
  ASSERT_TRUE(WaitForRecords(5, kDeadline)) << gateway->Stderr();
  for (const std::string& record : Records()) EXPECT_EQ(record, output);
  // One a second: three records span at least two intervals (less jitter).
  // The first ones may come together: they wait a moment for the gateway's
  // registration, which no CSE answers here.
  auto times = RecordTimes();
  EXPECT_GE(times[4] - times[2], 1500ms);
  EXPECT_EQ(Terminate(), 0);
  EXPECT_NE(gateway->Stdout().find("retrive data = " + output), std::string::npos);
}

// A NUL the node script prints is published, escaped as JSON writes it (a
// reader that keeps C strings would cut the text there, not the gateway).
TEST_F(EndToEnd, PublishesANulOfTheNodeOutputEscaped) {
  WriteScript("printf 'a\\000b'\n");
  StartGateway({"-i", "60"});
  ASSERT_TRUE(WaitForRecords(1, kDeadline)) << gateway->Stderr();
  size_t escaped = 0;
  for (const kiv::mqtt::Message& message : platform->inbox().Messages()) {
    if (!kiv::platform::RecordsIn({message}, device).empty())
      escaped += Occurrences(message.payload, R"("a\u0000b")");
  }
  EXPECT_GE(escaped, 1u);
  EXPECT_EQ(Terminate(), 0);
}

TEST_F(EndToEnd, PublishesNothingForAMissingScriptOrEmptyOutput) {
  StartGateway({"-i", "1"});
  // The shell's complaint shows once; each cycle after it repeats it, held
  // back for a minute.
  ASSERT_TRUE(gateway->WaitForOutput("pynodes.py: not found", kDeadline, Stream::kErr))
      << gateway->Stderr();
  WriteScript("echo ran >> runs\n");  // prints nothing
  ASSERT_TRUE(kivtest::WaitUntil(
      [&] { return Occurrences(kivtest::ReadFile(folder.File("runs")), "ran") >= 2; }, kDeadline));
  EXPECT_TRUE(Records().empty());
  WriteScript("echo back\n");
  ASSERT_TRUE(WaitForRecords(1, kDeadline));
  EXPECT_EQ(Records()[0], "back\n");
  EXPECT_EQ(Terminate(), 0);
  EXPECT_EQ(Occurrences(gateway->Stderr(), "pynodes.py: not found"), 1u);
}

TEST_F(EndToEnd, CarriesOnWhenTheNodeScriptCannotStart) {
  if (kivtest::kSanitized) GTEST_SKIP() << kSanitizerNeedsDescriptors;
  WriteScript(kCounterScript);
  StartGateway({"-i", "1"});
  ASSERT_TRUE(WaitForRecords(1, kDeadline));
  rlimit saved{};
  ASSERT_EQ(prlimit(gateway->pid(), RLIMIT_NOFILE, nullptr, &saved), 0);
  // No descriptor left for the pipe to the script: popen fails. A cycle that
  // is running the script holds two more; try again until one failed.
  bool failed = kivtest::WaitUntil([&] {
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(LowestFreeDescriptor(gateway->pid()));
    prlimit(gateway->pid(), RLIMIT_NOFILE, &tight, nullptr);
    return gateway->WaitForOutput("Start: OutputAll failed: popen() failed!", 3s, Stream::kErr);
  }, kDeadline);
  ASSERT_EQ(prlimit(gateway->pid(), RLIMIT_NOFILE, &saved, nullptr), 0);
  ASSERT_TRUE(failed) << gateway->Stderr();
  EXPECT_NE(gateway->Stderr().find("[ERROR] src/main:"), std::string::npos);
  size_t before = Records().size();
  EXPECT_TRUE(WaitForRecords(before + 2, kDeadline));
  EXPECT_EQ(Terminate(), 0);
}

std::string RetrieveBody(const std::string& requestId, const std::string& types) {
  return R"({"rqi":")" + requestId + R"(","op":2,"fc":{"ty":)" + types + "}}";
}

TEST_F(EndToEnd, AnswersRetrievesWithTheExactDocuments) {
  WriteScript("true\n");
  StartGateway({"-i", "60"});
  ASSERT_TRUE(WaitForStatus("online", kDeadline)) << gateway->Stderr();
  using kivtest::kDeviceInfo;
  using kivtest::kFirmware;
  using kivtest::kNode;
  struct Case {
    const char* types;
    std::string anyOrAny;
  } cases[] = {
      {"[1001]", std::string("[") + kFirmware + "]"},
      {"[1007]", std::string("[") + kDeviceInfo + "]"},
      {"[14]", std::string("[") + kNode + "]"},
      {"[3]", R"([{"resourceType": 3}])"},
      {"[14, 1007]", std::string("[") + kNode + "," + kDeviceInfo + "]"},
      {"[1007, 99, 1007]", std::string("[") + kDeviceInfo + "," + kDeviceInfo + "]"},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.types);
    std::string requestId = "r" + std::to_string(++number);
    Send(RetrieveBody(requestId, c.types));
    std::optional<Json::Value> response = Response(requestId, kDeadline);
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ((*response)["rsc"].asInt(), 2000);
    Json::Value expected;
    expected["primitiveContent"]["anyOrAny"] = ParseJson(c.anyOrAny);
    EXPECT_EQ((*response)["pc"], expected) << (*response)["pc"].toStyledString();
  }
  // Requests are handled in order: once the last is answered, the ones
  // before it that yield nothing are known to stay unanswered.
  Send(RetrieveBody("unknown", "[5, 99]"));
  Send(RetrieveBody("attributes", "[20002]"));
  Send(RetrieveBody("last", "[14]"));
  ASSERT_TRUE(Response("last", kDeadline).has_value());
  EXPECT_FALSE(HasResponse("unknown"));
  EXPECT_FALSE(HasResponse("attributes"));
  EXPECT_EQ(Terminate(), 0);
}

TEST_F(EndToEnd, HandsControlCommandsToTheNodeBridgeInOrder) {
  WriteScript("true\n");
  StartGateway({"-d", "on", "-i", "60"});
  ASSERT_TRUE(WaitForStatus("online", kDeadline));
  Send(R"({"rqi":"c1","op":3,"pc":[{"ty":12,"con":{"execReqArgs":{"all":[{"anyArg":[
      {"name":"switch","value":"on"},{"name":"note"},{"name":"level","value":5}]}]}}}]})");
  Send(R"({"rqi":"c2","op":3,"pc":[{"ty":12,"con":{"EXECREQARGS":{"All":[{"anyarg":[
      {"Value":"off"},{"VALUE":7}]}]}}}]})");
  ASSERT_TRUE(gateway->WaitForOutput("\ninput =7\n", kDeadline)) << gateway->Stdout();
  std::string out = gateway->Stdout();
  size_t on = out.find("\ninput =\"on\"\n");
  size_t five = out.find("\ninput =5\n");
  size_t off = out.find("\ninput =\"off\"\n");
  size_t seven = out.find("\ninput =7\n");
  EXPECT_TRUE(on < five && five < off && off < seven) << out;
  EXPECT_EQ(Occurrences(out, "input ="), 4u);
  std::string log = gateway->Stderr();
  EXPECT_EQ(Occurrences(log, "RequestArrived: control command 0\n"), 2u);
  EXPECT_EQ(Occurrences(log, "RequestArrived: control command 1\n"), 2u);
  EXPECT_EQ(Occurrences(log, "RequestArrived: control command 2\n"), 1u);
  EXPECT_EQ(Occurrences(log, "RequestArrived: TODO - processing with this command\n"), 4u);
  EXPECT_NE(log.find("RequestArrived: RequestArrived\nrequestId=c1 op=4"), std::string::npos);
  EXPECT_EQ(Terminate(), 0);
}

TEST_F(EndToEnd, LogsScheduleConfigurationsAndDeletions) {
  WriteScript("true\n");
  StartGateway({"-d", "on", "-i", "60"});
  ASSERT_TRUE(WaitForStatus("online", kDeadline));
  const char* requests[] = {
      R"({"rqi":"s1","op":1,"pc":[{"ty":18,"con":{"scheduleElement":{"scheduleEntry":["0 0 7 * * *"]}}}]})",
      R"({"rqi":"s2","op":3,"pc":[{"ty":18,"con":{"scheduleElement":{"scheduleEntry":["0 30 7 * * *"]}}}]})",
      R"({"rqi":"s3","op":1,"pc":[{"ty":18,"con":{"scheduleElement":{"scheduleEntry":[]}}}]})",
      R"({"rqi":"s4","op":4,"pc":[{"ty":18,"con":{"resourceName":7}}]})",
      R"({"rqi":"s5","op":4,"pc":[{"ty":18,"con":{"resourceName":"morning"}}]})",
  };
  for (const char* request : requests) Send(request);
  // The last line the last request logs.
  ASSERT_TRUE(WaitForLog("TODO - Tranfer this request to Corvane Core Logic")) << gateway->Stderr();
  std::string log = gateway->Stderr();
  EXPECT_NE(log.find("RequestArrived: create new configuration = 0 0 7 * * *\n"), std::string::npos);
  EXPECT_NE(log.find("RequestArrived: update the configuration = 0 30 7 * * *\n"), std::string::npos);
  EXPECT_EQ(Occurrences(log, "TODO - Tranfer this configuration to Corvane Core Logic"), 2u);
  EXPECT_EQ(Occurrences(log, "TODO - delete the config with name = "), 1u);
  EXPECT_EQ(Occurrences(log, "TODO - Tranfer this request to Corvane Core Logic"), 1u);
  EXPECT_EQ(Terminate(), 0);
}

// After a broker restart publishing resumes, each record once, whole, in
// order. By default no readings are taken while the broker is away (cycles
// missed leave gaps); with readings while offline asked for, none is missed.
TEST_F(EndToEnd, ResumesPublishingAfterTheBrokerRestarts) {
  for (bool readWhileOffline : {false, true}) {
    SCOPED_TRACE(readWhileOffline ? "reading while offline" : "waiting while offline");
    kivtest::TempDir state;
    std::remove(folder.File("count").c_str());
    WriteScript(kCounterScript);
    StartGateway({"-d", "on", "-i", "1"},
                 {{"STATE_DIRECTORY", state.path()},
                  {"KIV_READ_WHILE_OFFLINE", readWhileOffline ? "1" : "0"}});
    ASSERT_TRUE(WaitForRecords(2, kDeadline));
    broker.Stop();
    ASSERT_TRUE(WaitForLog("ConnectionLost")) << gateway->Stderr();
    std::this_thread::sleep_for(3s);  // the outage: cycles come and go meanwhile
    broker.Start();
    size_t before = Records().size();
    ASSERT_TRUE(WaitForRecords(before + 3, 60s)) << gateway->Stderr();
    EXPECT_EQ(Terminate(), 0);
    int previous = 0, gaps = 0;
    for (const std::string& record : Records()) {
      int number = 0;
      char end = 0;
      ASSERT_EQ(sscanf(record.c_str(), "record %d%c", &number, &end), 2) << record;
      EXPECT_EQ(record, "record " + std::to_string(number) + "\n");
      EXPECT_GT(number, previous) << "published twice or out of order";
      gaps += number - previous - 1;
      previous = number;
    }
    if (readWhileOffline) {
      EXPECT_EQ(gaps, 0) << "a reading missed while the broker was away";
    }
  }
}

TEST_F(EndToEnd, StopsOnSigtermWithinTheCurrentSleepAndDisconnects) {
  WriteScript("echo x\n");
  StartGateway({"-i", "600"});
  ASSERT_TRUE(WaitForRecords(1, kDeadline));  // now asleep for 600 s
  gateway->Signal(SIGTERM);
  EXPECT_EQ(gateway->Wait(20s), 0) << "not stopped within the sleep";
  EXPECT_TRUE(WaitForStatus("offline", kDeadline));
}

// SIGTERM and SIGINT end gatewayd with status 0 in each state of its
// connection: while the broker is away (between attempts), while a broker
// that took the TCP connection never answers (inside Connect's 10 s wait),
// and connected (it says "offline" first). The bound is far below the
// service managers' 10 s; the time taken is reported per state (maximum over
// the runs).
TEST(EndToEndStart, StopsWithinMomentsInEveryConnectionState) {
  kivtest::TestBroker broker;
  int silentPort = 0;
  int silent = kivtest::LoopbackListener(&silentPort);
  const std::string device = "e2e-stop-" + std::to_string(getpid());
  kiv::platform::Platform::Options settings;
  settings.serverUri = broker.uri();
  kiv::platform::Platform platform(settings);
  std::string error;
  ASSERT_EQ(platform.Connect(20s, &error), 0) << error;
  ASSERT_EQ(platform.Watch(device, &error), 0) << error;
  struct Case {
    const char* state;
    std::string uri;
    const char* ready;  // on standard error once gatewayd is in that state
  } cases[] = {
      {"broker_absent", "tcp://127.0.0.1:" + std::to_string(kivtest::FreeLoopbackPort()),
       "connection attempt failed"},
      {"broker_silent", "tcp://127.0.0.1:" + std::to_string(silentPort), "connecting to"},
      {"connected", broker.uri(), "Connected"},
  };
  kivtest::TempDir folder;
  kivtest::WriteNodeScript(folder, "true\n");
  for (const Case& c : cases) {
    std::chrono::steady_clock::duration longest{};
    for (int signal : {SIGTERM, SIGINT}) {
      SCOPED_TRACE(std::string(c.state) + " " + strsignal(signal));
      size_t statuses = kiv::platform::StatusesIn(platform.inbox().Messages(), device).size();
      auto gateway = kivtest::StartGatewayd(folder, c.uri, device, {"-d", "on", "-i", "600"});
      ASSERT_TRUE(gateway->WaitForOutput(c.ready, kDeadline, Stream::kErr)) << gateway->Stderr();
      auto start = std::chrono::steady_clock::now();
      gateway->Signal(signal);
      EXPECT_EQ(gateway->Wait(kDeadline), 0);
      auto took = std::chrono::steady_clock::now() - start;
      longest = std::max(longest, took);
      // Within the service managers' stop timeout (10 s) however loaded the
      // machine; the figures themselves are recorded below.
      EXPECT_LT(took, 10s) << gateway->Stderr();
      if (c.uri == broker.uri()) {
        auto seen = kiv::platform::StatusesIn(platform.inbox().Messages(), device);
        ASSERT_GT(seen.size(), statuses);
        EXPECT_EQ(seen.back(), "offline");
      }
    }
    RecordProperty(std::string("stop_ms_") + c.state,
                   static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()));
  }
  close(silent);
}

// SIGTERM and SIGINT end gatewayd whatever its node script does when the
// stop comes: it sleeps, it ignores SIGTERM, or it left a child that keeps
// its output open. The record held from the cycle before (no CSE takes it) is
// saved, and no process of the script's group is left. The longest stop per
// script is reported.
TEST(EndToEndStart, StopsWhateverTheNodeScriptDoes) {
  kivtest::TestBroker broker;
  const std::string device = "e2e-hang-" + std::to_string(getpid());
  struct Case {
    const char* name;
    const char* hang;
  } const cases[] = {
      {"sleeps", "sleep 3600"},
      {"ignores_sigterm", "trap '' TERM; while :; do sleep 1; done"},
      {"child_holds_output", "sleep 3600 & exit 0"},
  };
  for (const Case& c : cases) {
    std::chrono::steady_clock::duration longest{};
    for (int signal : {SIGTERM, SIGINT}) {
      SCOPED_TRACE(std::string(c.name) + " " + strsignal(signal));
      kivtest::TempDir folder, state;
      // The first run prints a record, the second writes its process group
      // id to ./group and hangs, far inside its 600 s time limit.
      kivtest::WriteNodeScript(folder, std::string("if [ -e printed ]; then cut -d' ' -f5 "
                                                   "/proc/$$/stat > group; ") +
                                           c.hang + "; fi; touch printed; echo 'record 1'\n");
      kivtest::WriteFile(folder.File("gw.cfg"), R"({"serverURI": ")" + broker.uri() +
                                                    R"(", "gatewayId": ")" + device +
                                                    R"(", "interval": 1, "node_timeout": 600})");
      auto gateway = kivtest::StartGatewayd(folder, broker.uri(), device, {"-f", "gw.cfg"},
                                            {{"STATE_DIRECTORY", state.path()}});
      ASSERT_TRUE(kivtest::WaitUntil([&] { return !kivtest::ReadFile(folder.File("group")).empty(); },
                                     kDeadline))
          << gateway->Stderr();
      auto start = std::chrono::steady_clock::now();
      gateway->Signal(signal);
      ASSERT_EQ(gateway->Wait(kDeadline), 0) << "not stopped";
      longest = std::max(longest, std::chrono::steady_clock::now() - start);
      EXPECT_NE(kivtest::ReadFile(state.File("records.journal")).find("record 1\n"), std::string::npos);
      const pid_t group = std::stoi(kivtest::ReadFile(folder.File("group")));
      EXPECT_TRUE(kivtest::WaitUntil([&] { return kivtest::LiveProcessesInGroup(group).empty(); }));
    }
    RecordProperty(std::string("stop_ms_") + c.name,
                   static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()));
  }
}

TEST_F(EndToEnd, SurvivesHostileRequests) {
  WriteScript("true\n");
  StartGateway({"-i", "60"});
  ASSERT_TRUE(WaitForStatus("online", kDeadline));
  std::string deep = std::string(20000, '[') + std::string(20000, ']');
  std::string many;  // as many values as the request bound (64 KiB) lets through
  for (int i = 0; i < 3000; ++i) many += std::string(i ? "," : "") + R"({"value":)" + std::to_string(i) + "}";
  const std::string requests[] = {
      R"({"rqi":"h1","op":3,"pc":[{"ty":12,"con":)" + deep + "}]}",
      R"({"rqi":"h2","op":3,"pc":[{"ty":12,"con":{"execReqArgs":{"all":[{"anyArg":[)" + many + "]}]}}}]}",
      R"({"rqi":"h3","op":3,"pc":[{"ty":12,"con":{"execReqArgs":5}},{"ty":18,"con":{"scheduleElement":[1]}},
          {"ty":12,"con":"not json {"},{"ty":12,"con":{"execReqArgs":{"all":{"x":{"anyArg":"y"}}}}}]})",
      R"({"rqi":"h4","op":1,"pc":[{"ty":18,"con":{"scheduleElement":{"scheduleEntry":[)" + deep + "]}}}]}",
      R"({"rqi":"h5","op":4,"pc":[{"ty":18,"con":{"resourceName":[null,{"a":)" + deep + "}]}}]}",
  };
  for (const std::string& request : requests) Send(request);
  // Past the size bound, and a value that a NUL would cut: answered 4000,
  // never handed to the node bridge.
  Send(R"({"rqi":"big","op":3,"pc":[{"ty":12,"con":{"execReqArgs":{"all":[{"anyArg":[{"value":")" +
       std::string(70000, 'b') + R"("}]}]}}}]})");
  Send(R"({"rqi":"nul","op":3,"pc":[{"ty":12,"con":{"execReqArgs":{"all":[{"anyArg":[{"value":"\u0000x"}]}]}}}]})");
  for (const char* refused : {"big", "nul"}) {
    std::optional<Json::Value> reply = Response(refused, 60s);
    ASSERT_TRUE(reply.has_value()) << refused;
    EXPECT_EQ((*reply)["rsc"].asInt(), 4000) << refused;
  }
  Send(RetrieveBody("alive", "[14]"));
  ASSERT_TRUE(Response("alive", 60s).has_value()) << gateway->Stderr();
  EXPECT_EQ(Terminate(), 0);  // also no leak: the asan preset fails the exit
  EXPECT_EQ(Occurrences(gateway->Stdout(), "input ="), 3000u);
}

// Every text of a request tries to start a line that looks like the
// gateway's own; in debug mode all of them are logged, each on its own line.
TEST_F(EndToEnd, PayloadsCannotForgeLogLines) {
  WriteScript("true\n");
  StartGateway({"-d", "on", "-i", "60"});
  ASSERT_TRUE(WaitForStatus("online", kDeadline));
  const std::string forged = "2026-01-01 00:00:00.000 [ERROR] src/main:1 Start: forged";
  Send("junk\n" + forged + "\r\n");
  Send(RetrieveBody("f1\\n" + forged, "[14]"));
  Send(R"({"rqi":"f2","op":1,"pc":[{"ty":18,"con":{"scheduleElement":)"
                 R"({"scheduleEntry":["x\n)" + forged + R"("]}}}]})");
  Send(R"({"rqi":"f3","op":4,"pc":[{"ty":18,"con":{"resourceName":"y\r\n)" + forged +
                 R"(\u001b[2J"}}]})");
  ASSERT_TRUE(Response("f3", kDeadline).has_value()) << gateway->Stderr();
  std::string log = gateway->Stderr();
  for (const std::string& line : {"MessageArrived\nmessage=junk\\n" + forged + "\\r\\n",
                                  "RequestArrived\nrequestId=f1\\n" + forged + " op=6",
                                  "create new configuration = x\\n" + forged + "\n",
                                  "delete the config with name = y\\r\\n" + forged + "\\x1b[2J\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(log.find("\n" + forged), std::string::npos) << log;
  EXPECT_EQ(log.find('\r'), std::string::npos);
  EXPECT_EQ(Terminate(), 0);
}

TEST(EndToEndStart, EndsInOrderWhenTheMacLookupCannotStart) {
  if (kivtest::kSanitized) GTEST_SKIP() << kSanitizerNeedsDescriptors;
  kivtest::TestBroker broker;
  // Standard streams and the stop pipe fit; the pipe to the shell does not.
  std::string command = "ulimit -n 5 && exec";
  for (const std::string& word : kivtest::ProgramCommand("src/gatewayd")) command += " " + word;
  command += " -s " + broker.uri();
  kivtest::Process::Options options;
  options.stdinPipe = true;
  kivtest::Process gateway({"sh", "-c", command}, options);
  // A failed start says so to the service manager too.
  ASSERT_EQ(gateway.Wait(kDeadline), 1) << gateway.Stderr();
  EXPECT_NE(gateway.Stderr().find("[ERROR] src/main:"), std::string::npos);
  EXPECT_NE(gateway.Stderr().find(" main: stopped by an unexpected error: popen() failed!"),
            std::string::npos)
      << gateway.Stderr();
}

// While the platform's CSE is away, or the broker with readings asked for
// while offline, every record is held in the journal as it comes: a kill -9
// (a power cut, as far as the process can tell) loses none but the one being
// written, and the next start delivers each once, in order, ahead of new ones.
TEST_F(EndToEnd, HeldRecordsSurviveAKillAndAreDeliveredOnce) {
  WriteScript("n=$(cat count 2>/dev/null || echo 0); n=$((n+1)); echo $n > count; echo \"record $n\"");
  auto produced = [&] { return std::atoi(kivtest::ReadFile(folder.File("count")).c_str()); };
  for (bool brokerAway : {false, true}) {
    SCOPED_TRACE(brokerAway ? "the broker away, readings on" : "the CSE away");
    platform.reset();  // no registrar until the restart: the last case's would store records
    kivtest::TempDir state;
    std::remove(folder.File("count").c_str());
    std::map<std::string, std::string> env = {{"STATE_DIRECTORY", state.path()}};
    if (brokerAway) env["KIV_READ_WHILE_OFFLINE"] = "1";
    auto away = kivtest::StartGatewayd(folder, broker.uri(), device, {"-i", "1"}, env);
    if (brokerAway) {  // readings go on once the broker went, after the first connection
      ASSERT_TRUE(kivtest::WaitUntil([&] { return produced() >= 1; }, 30s));
      broker.Stop();
    }
    ASSERT_TRUE(kivtest::WaitUntil([&] { return produced() >= 4; }, 30s));
    away->Signal(SIGKILL);
    away->Wait(kDeadline);
    int before = produced();
    if (brokerAway) broker.Start();

    StartPlatform();
    gateway = kivtest::StartGatewayd(folder, broker.uri(), device, {"-i", "1"}, env);
    ASSERT_TRUE(kivtest::WaitUntil([&] { return Records().size() >= static_cast<size_t>(before); }, 30s));
    std::vector<int> numbers;
    for (const std::string& record : Records()) {
      int number = 0;
      ASSERT_EQ(std::sscanf(record.c_str(), "record %d", &number), 1) << record;
      numbers.push_back(number);
    }
    // In order and once each; the record the kill cut short (its node script
    // ran, gatewayd had not read it yet) may be missing.
    int missing = numbers.front() - 1;
    for (size_t i = 1; i < numbers.size(); ++i) {
      ASSERT_GT(numbers[i], numbers[i - 1]) << "twice or out of order at " << i;
      missing += numbers[i] - numbers[i - 1] - 1;
    }
    EXPECT_LE(missing, 1) << ::testing::PrintToString(numbers);
    std::cout << (brokerAway ? "broker away" : "CSE away") << ", kill -9 with " << before
              << " records produced: " << missing << " lost, " << numbers.size()
              << " delivered once each, in order\n";
    Terminate();
  }
}

}  // namespace
