// gwctl in process: its command line, the requests it builds, and the ways
// it fails before it reaches a gateway.
#include "Console.h"

#include "ConsoleCapture.h"
#include "Gatewayd.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

using gwctl::Settings;
using kivtest::ConsoleCapture;
using kivtest::ParseJson;

// The console's own variables, none set unless a test sets them.
const std::map<std::string, std::optional<std::string>> kNoConsoleEnvironment = {
    {"KIV_SERVER_URI", std::nullopt},
    {"KIV_TLS_CAFILE", std::nullopt},
    {"KIV_TLS_CERTFILE", std::nullopt},
    {"KIV_TLS_KEYFILE", std::nullopt}};

struct Parsed {
  std::optional<Settings> settings;
  std::string errors;  // what it printed on standard error
};

Parsed Parse(const std::vector<std::string>& words) {
  kivtest::CommandLine line("gwctl", words);
  ConsoleCapture errors(STDERR_FILENO);
  Parsed parsed;
  parsed.settings = gwctl::ParseCommandLine(line.argc(), line.argv());
  parsed.errors = errors.Text();
  return parsed;
}

TEST(ParseCommandLine, ReadsOptionsThenCommandDeviceAndArguments) {
  kivtest::ScopedEnvironment environment(kNoConsoleEnvironment);
  Parsed parsed = Parse({"-s", "tcp://127.0.0.1:1883", "-u", "op", "-p", "pw", "--cafile", "ca",
                         "--cert", "crt", "--key", "key", "-t", "7", "-n", "3", "-i", "me", "-r",
                         "control", "gw-1", "5", "-2", "{\"a\":1}"});
  ASSERT_TRUE(parsed.settings) << parsed.errors;
  const Settings& s = *parsed.settings;
  EXPECT_EQ(s.serverUri, "tcp://127.0.0.1:1883");
  EXPECT_EQ(s.user + "/" + s.password, "op/pw");
  EXPECT_EQ(s.caFile + " " + s.certFile + " " + s.keyFile, "ca crt key");
  EXPECT_EQ(s.timeoutSeconds, 7);
  EXPECT_EQ(s.count, 3);
  EXPECT_EQ(s.originator, "me");
  EXPECT_TRUE(s.raw);
  EXPECT_FALSE(s.help);
  EXPECT_EQ(s.command, "control");
  EXPECT_EQ(s.device, "gw-1");
  // Options end at the command: "-2" is a value.
  EXPECT_EQ(s.arguments, (std::vector<std::string>{"5", "-2", "{\"a\":1}"}));
  EXPECT_EQ(parsed.errors, "");
}

TEST(ParseCommandLine, TakesTheServerAndTlsFilesFromTheEnvironmentUnlessGiven) {
  kivtest::ScopedEnvironment environment({{"KIV_SERVER_URI", "ssl://127.0.0.1:8883"},
                                          {"KIV_TLS_CAFILE", "env-ca"},
                                          {"KIV_TLS_CERTFILE", "env-crt"},
                                          {"KIV_TLS_KEYFILE", "env-key"}});
  Parsed fromEnvironment = Parse({"watch", "gw-1"});
  ASSERT_TRUE(fromEnvironment.settings) << fromEnvironment.errors;
  EXPECT_EQ(fromEnvironment.settings->serverUri, "ssl://127.0.0.1:8883");
  EXPECT_EQ(fromEnvironment.settings->caFile + " " + fromEnvironment.settings->certFile + " " +
                fromEnvironment.settings->keyFile,
            "env-ca env-crt env-key");
  // A default originator, fresh each time, usable as a topic level.
  EXPECT_EQ(fromEnvironment.settings->originator.rfind("gwctl-", 0), 0u);
  EXPECT_EQ(fromEnvironment.settings->timeoutSeconds, 10);

  Parsed given = Parse({"-s", "tcp://h:1", "--cafile", "mine", "watch", "gw-1"});
  ASSERT_TRUE(given.settings) << given.errors;
  EXPECT_EQ(given.settings->serverUri, "tcp://h:1");
  EXPECT_EQ(given.settings->caFile, "mine");
}

TEST(ParseCommandLine, RefusesWhatItCannotUseWithTheReasonAndTheUsage) {
  kivtest::ScopedEnvironment environment(kNoConsoleEnvironment);
  struct Case {
    std::vector<std::string> words;
    std::string reason;
  } cases[] = {
      {{"-s", "S"}, "no command"},
      {{"-s", "S", "retrieve"}, "no device id"},
      {{"-s", "S", "retrieve", "gw-1"}, "retrieve needs at least one resource type"},
      {{"-s", "S", "retrieve", "gw-1", "x"}, "resource type \"x\" is not a number"},
      {{"-s", "S", "retrieve", "gw-1", "-1"}, "resource type \"-1\" is not a number"},
      {{"-s", "S", "control", "gw-1"}, "control needs at least one value"},
      {{"-s", "S", "request", "gw-1"}, "request takes one JSON payload"},
      {{"-s", "S", "request", "gw-1", "{}", "{}"}, "request takes one JSON payload"},
      {{"-s", "S", "watch", "gw-1", "extra"}, "watch takes only the device"},
      {{"-s", "S", "schedule", "remove", "gw-1", "x"}, "schedule create|update DEVICE ENTRY"},
      {{"-s", "S", "schedule", "create", "gw-1"}, "schedule create|update DEVICE ENTRY"},
      {{"-s", "S", "frobnicate", "gw-1"}, "unknown command \"frobnicate\""},
      {{"watch", "gw-1"}, "no server: give -s URI or set KIV_SERVER_URI"},
      {{"-s", "S", "watch", "a/b"}, "device id cannot contain / + #"},
      {{"-s", "S", "watch", "gw+"}, "device id cannot contain / + #"},
      {{"-s", "S", "-i", "me#", "watch", "gw-1"}, "id cannot contain / + #"},
      {{"-s", "S", "-t", "0", "watch", "gw-1"}, "bad timeout"},
      {{"-s", "S", "-t", "86401", "watch", "gw-1"}, "bad timeout"},
      {{"-s", "S", "-t", "5s", "watch", "gw-1"}, "bad timeout"},
      {{"-s", "S", "-n", "0", "watch", "gw-1"}, "bad count"},
      {{"-s", "S", "-x", "watch", "gw-1"}, "bad option"},
      {{"-s", "S", "-rx", "watch", "gw-1"}, "bad option"},
  };
  for (const Case& c : cases) {
    std::string line = testing::PrintToString(c.words);
    Parsed parsed = Parse(c.words);
    EXPECT_FALSE(parsed.settings) << line;
    EXPECT_NE(parsed.errors.find("gwctl: " + c.reason), std::string::npos) << line << "\n" << parsed.errors;
    EXPECT_NE(parsed.errors.find("\n\nusage: gwctl [options]"), std::string::npos) << parsed.errors;
  }
}

// A grouped option list that an earlier parse left half read must not leak
// into the next one.
TEST(ParseCommandLine, KeepsNothingFromAnEarlierParse) {
  kivtest::ScopedEnvironment environment(kNoConsoleEnvironment);
  Parsed help = Parse({"-hr", "watch", "gw-1"});
  ASSERT_TRUE(help.settings);
  EXPECT_TRUE(help.settings->help);
  Parsed next = Parse({"-s", "S", "watch", "gw-1"});
  ASSERT_TRUE(next.settings) << next.errors;
  EXPECT_FALSE(next.settings->raw);
  EXPECT_FALSE(next.settings->help);
}

Settings Command(const std::string& command, const std::vector<std::string>& arguments) {
  Settings s;
  s.originator = "me";
  s.device = "gw-1";
  s.command = command;
  s.arguments = arguments;
  return s;
}

Json::Value Request(const Settings& settings) {
  std::string error;
  std::optional<std::string> request = gwctl::BuildRequest(settings, "r1", &error);
  if (!request) throw std::runtime_error("no request: " + error);
  return ParseJson(*request);
}

TEST(BuildRequest, AddressesTheGatewayWithTheCommandsOperation) {
  struct Case {
    Settings settings;
    int op;
    std::string to;
    std::string part;  // the member that carries the command, as JSON
  } cases[] = {
      {Command("retrieve", {"1007", "14"}), 2, "/gw-1/gateway", R"({"fc":{"fu":1,"ty":[1007,14]}})"},
      {Command("control", {"5", "on", R"({"a":[1]})", "-2", "\"quoted\""}), 3, "/gw-1/gateway",
       R"({"pc":{"m2m:mgc":{"exra":{"all":[{"anyArg":[{"value":5},{"value":"on"},
           {"value":{"a":[1]}},{"value":-2},{"value":"quoted"}]}]}}}})"},
      {Command("schedule", {"create", "0 7 * * *"}), 1, "/gw-1/gateway",
       R"({"pc":{"m2m:sch":{"se":{"sce":["0 7 * * *"]}}}})"},
      {Command("schedule", {"update", "x"}), 3, "/gw-1/gateway",
       R"({"pc":{"m2m:sch":{"se":{"sce":["x"]}}}})"},
      {Command("schedule", {"delete", "morning"}), 4, "/gw-1/gateway/morning", R"({})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings.command + " " + c.settings.arguments.back());
    Json::Value request = Request(c.settings);
    EXPECT_EQ(request["op"], c.op);
    EXPECT_EQ(request["to"], c.to);
    EXPECT_EQ(request["fr"], "me");
    EXPECT_EQ(request["rqi"], "r1");
    for (const std::string& member : ParseJson(c.part).getMemberNames()) {
      EXPECT_EQ(request[member], ParseJson(c.part)[member]) << member;
    }
    EXPECT_EQ(request.isMember("ty"), c.settings.arguments[0] == "create");
  }
}

TEST(BuildRequest, SendsARawRequestAsGivenAndNoneForWatch) {
  const std::string raw = R"({"rqi":"raw1","op":9, "anything": [1]})";
  std::string error;
  EXPECT_EQ(gwctl::BuildRequest(Command("request", {raw}), "r1", &error), raw);
  EXPECT_EQ(gwctl::BuildRequest(Command("watch", {}), "r1", &error), std::nullopt);
  EXPECT_EQ(error, "no request for command watch");
}

struct Outcome {
  int status;
  std::string out, err;
};

Outcome RunConsole(const std::vector<std::string>& words) {
  kivtest::CommandLine line("gwctl", words);
  ConsoleCapture out;
  ConsoleCapture err(STDERR_FILENO);
  int status = gwctl::RunConsole(line.argc(), line.argv());
  return {status, out.Text(), err.Text()};
}

TEST(RunConsole, PrintsTheUsageForHelpAndRefusesAnUnusableServer) {
  kivtest::ScopedEnvironment environment(kNoConsoleEnvironment);
  Outcome help = RunConsole({"--help"});
  EXPECT_EQ(help.status, gwctl::kExitOk);
  EXPECT_EQ(help.out.rfind("usage: gwctl [options] COMMAND DEVICE [ARGUMENTS]\n", 0), 0u) << help.out;

  Outcome usage = RunConsole({"retrieve", "gw-1", "14"});
  EXPECT_EQ(usage.status, gwctl::kExitUsage);

  Outcome ftp = RunConsole({"-s", "ftp://x", "retrieve", "gw-1", "14"});
  EXPECT_EQ(ftp.status, gwctl::kExitUsage);
  EXPECT_NE(ftp.err.find("unusable server URI"), std::string::npos) << ftp.err;
}

TEST(RunConsole, SaysWhenNoBrokerListens) {
  std::string uri = "tcp://127.0.0.1:" + std::to_string(kivtest::FreeLoopbackPort());
  Outcome outcome = RunConsole({"-s", uri, "-t", "1", "retrieve", "gw-1", "14"});
  EXPECT_EQ(outcome.status, gwctl::kExitConnection);
  EXPECT_EQ(outcome.err.rfind("gwctl: ", 0), 0u) << outcome.err;
  EXPECT_NE(outcome.err.find("not connected"), std::string::npos) << outcome.err;
}

}  // namespace
