// gwctl in process: its command line, the requests it builds, and the ways
// it fails before it reaches a gateway.
#include "Console.h"

#include "ConsoleCapture.h"
#include "Gatewayd.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

using kivtest::ConsoleCapture;
using kivtest::ParseJson;

// What a parse gave, in one line: the settings, or "refused: " and the
// reason printed before the usage text.
std::string Parse(const std::vector<std::string>& words) {
  kivtest::CommandLine line("gwctl", words);
  ConsoleCapture errors(STDERR_FILENO);
  std::optional<gwctl::Settings> s = gwctl::ParseCommandLine(line.argc(), line.argv());
  std::string printed = errors.Text();
  size_t usage = printed.find("\n\nusage: gwctl [options]");
  if (!s) {
    size_t reason = usage == std::string::npos ? 0 : printed.rfind("gwctl: ", usage) + 7;
    return "refused: " + printed.substr(reason, usage - reason);
  }
  if (!printed.empty()) return "printed: " + printed;
  if (s->help) return "help";
  std::string text = s->serverUri + " " + s->user + ":" + s->password + " " + s->caFile + "," +
                     s->certFile + "," + s->keyFile + " t" + std::to_string(s->timeoutSeconds) + " n" +
                     std::to_string(s->count) + " " +
                     (s->originator.rfind("gwctl-", 0) == 0 ? "gwctl-*" : s->originator) +
                     (s->raw ? " raw" : "") + (s->answer ? " answer" : "") + " | " + s->command + " " + s->device;
  for (const std::string& argument : s->arguments) text += " " + argument;
  return text;
}

TEST(ParseCommandLine, ReadsOptionsBeforeTheCommandAndRefusesWhatItCannotUse) {
  const std::string tlsFromEnvironment = "env-ca,env-crt,env-key";
  struct Case {
    const char* serverFromEnvironment;  // KIV_SERVER_URI, unset when null
    std::vector<std::string> words;
    std::string parsed;
  } cases[] = {
      {nullptr,
       {"-s", "tcp://h:1", "-u", "op", "-p", "pw", "--cafile", "ca", "--cert", "crt", "--key", "key",
        "-t", "7", "-n", "3", "-i", "me", "-r", "control", "gw-1", "5", "-2", "{\"a\":1}"},
       "tcp://h:1 op:pw ca,crt,key t7 n3 me raw | control gw-1 5 -2 {\"a\":1}"},
      {"ssl://e:8883", {"watch", "gw-1"}, "ssl://e:8883 : " + tlsFromEnvironment + " t10 n0 gwctl-* | watch gw-1"},
      {"ssl://e:8883", {"-s", "S", "schedule", "delete", "gw-1", "x"},
       "S : " + tlsFromEnvironment + " t10 n0 gwctl-* | schedule gw-1 delete x"},
      // A group of options left half read must not leak into the next parse.
      {nullptr, {"-hr", "watch", "gw-1"}, "help"},
      {nullptr, {"-s", "S", "watch", "gw-1"}, "S : " + tlsFromEnvironment + " t10 n0 gwctl-* | watch gw-1"},
      {nullptr, {"-s", "S"}, "refused: no command"},
      {nullptr, {"-s", "S", "retrieve"}, "refused: no device id"},
      {nullptr, {"-s", "S", "retrieve", "gw-1"}, "refused: retrieve needs at least one resource type"},
      {nullptr, {"-s", "S", "retrieve", "gw-1", "-1"}, "refused: resource type \"-1\" is not a number"},
      {nullptr, {"-s", "S", "control", "gw-1"}, "refused: control needs at least one value"},
      {nullptr, {"-s", "S", "request", "gw-1", "{}", "{}"}, "refused: request takes one JSON payload"},
      {nullptr, {"-s", "S", "watch", "gw-1", "extra"}, "refused: watch takes only the device"},
      {nullptr, {"-s", "S", "schedule", "remove", "gw-1", "x"},
       "refused: schedule create|update DEVICE ENTRY or schedule delete DEVICE NAME"},
      {nullptr, {"-s", "S", "frobnicate", "gw-1"}, "refused: unknown command \"frobnicate\""},
      {nullptr, {"watch", "gw-1"}, "refused: no server: give -s URI or set KIV_SERVER_URI"},
      {nullptr, {"-s", "S", "watch", "gw+"}, "refused: device id cannot contain / + # ."},
      {nullptr, {"-s", "S", "watch", "gw.1"}, "refused: device id cannot contain / + # ."},
      {nullptr, {"-s", "S", "-i", "me#", "watch", "gw-1"}, "refused: id cannot contain / + # ."},
      {nullptr, {"-s", "S", "-i", "gwctl.dot-1", "watch", "gw-1"}, "refused: id cannot contain / + # ."},
      // watch has no values that could look like options: they may follow it.
      {nullptr, {"-s", "S", "watch", "--answer", "gw-1"}, "S : " + tlsFromEnvironment + " t10 n0 gwctl-* answer | watch gw-1"},
      {nullptr, {"-s", "S", "watch", "gw-1", "-a", "-n", "2"}, "S : " + tlsFromEnvironment + " t10 n2 gwctl-* answer | watch gw-1"},
      {nullptr, {"-s", "S", "control", "gw-1", "-a"}, "S : " + tlsFromEnvironment + " t10 n0 gwctl-* | control gw-1 -a"},
      {nullptr, {"-s", "S", "-t", "86401", "watch", "gw-1"}, "refused: bad timeout"},
      {nullptr, {"-s", "S", "-t", "5s", "watch", "gw-1"}, "refused: bad timeout"},
      {nullptr, {"-s", "S", "-n", "0", "watch", "gw-1"}, "refused: bad count"},
      {nullptr, {"-s", "S", "-rx", "watch", "gw-1"}, "refused: bad option"},
  };
  for (const Case& c : cases) {
    kivtest::ScopedEnvironment environment(
        {{"KIV_SERVER_URI", c.serverFromEnvironment ? std::optional<std::string>(c.serverFromEnvironment)
                                                    : std::nullopt},
         {"KIV_TLS_CAFILE", "env-ca"},
         {"KIV_TLS_CERTFILE", "env-crt"},
         {"KIV_TLS_KEYFILE", "env-key"}});
    EXPECT_EQ(Parse(c.words), c.parsed) << testing::PrintToString(c.words);
  }
}

TEST(BuildRequest, AddressesTheGatewayWithTheCommandsOperationAndContent) {
  struct Case {
    std::string command;
    std::vector<std::string> arguments;
    std::string request;  // op, to and what carries the command
  } cases[] = {
      {"retrieve", {"1007", "14"}, R"({"op":2,"to":"/gw-1/gateway","fc":{"fu":1,"ty":[1007,14]}})"},
      {"control", {"5", "on", R"({"a":[1]})", "-2", "\"quoted\""},
       R"({"op":3,"to":"/gw-1/gateway","pc":{"m2m:mgc":{"exra":{"all":[{"anyArg":[{"value":5},
           {"value":"on"},{"value":{"a":[1]}},{"value":-2},{"value":"quoted"}]}]}}}})"},
      {"schedule", {"create", "0 7 * * *"},
       R"({"op":1,"to":"/gw-1/gateway","ty":18,"pc":{"m2m:sch":{"se":{"sce":["0 7 * * *"]}}}})"},
      {"schedule", {"update", "x"}, R"({"op":3,"to":"/gw-1/gateway","pc":{"m2m:sch":{"se":{"sce":["x"]}}}})"},
      {"schedule", {"delete", "morning"}, R"({"op":4,"to":"/gw-1/gateway/morning"})"},
  };
  for (const Case& c : cases) {
    gwctl::Settings settings;
    settings.originator = "me";
    settings.device = "gw-1";
    settings.command = c.command;
    settings.arguments = c.arguments;
    std::string error;
    std::optional<std::string> request = gwctl::BuildRequest(settings, "r1", &error);
    ASSERT_TRUE(request) << c.command << ": " << error;
    Json::Value expected = ParseJson(c.request);
    for (const char* member : {"fr", "rqi", "rvi"}) expected[member] = ParseJson(*request)[member];
    EXPECT_EQ(ParseJson(*request), expected) << *request;
    EXPECT_EQ(ParseJson(*request)["fr"].asString() + " " + ParseJson(*request)["rqi"].asString(), "me r1");
  }
  gwctl::Settings raw;
  raw.command = "request";
  raw.arguments = {R"({"rqi":"raw1","op":9, "anything": [1]})"};
  EXPECT_EQ(gwctl::BuildRequest(raw, "r1", nullptr), raw.arguments[0]);
  raw.command = "watch";
  std::string error;
  EXPECT_FALSE(gwctl::BuildRequest(raw, "r1", &error));
  EXPECT_EQ(error, "no request for command watch");
}

// The status and what the console printed, on standard output and error.
std::tuple<int, std::string, std::string> RunConsole(const std::vector<std::string>& words) {
  kivtest::ScopedEnvironment environment({{"KIV_SERVER_URI", std::nullopt}});
  kivtest::CommandLine line("gwctl", words);
  ConsoleCapture out;
  ConsoleCapture err(STDERR_FILENO);
  int status = gwctl::RunConsole(line.argc(), line.argv());
  return {status, out.Text(), err.Text()};
}

TEST(RunConsole, FailsWithItsStatusBeforeReachingAGateway) {
  const std::string closedPort = "tcp://127.0.0.1:" + std::to_string(kivtest::FreeLoopbackPort());
  struct Case {
    std::vector<std::string> words;
    int status;
    std::string printed;  // the start of what it printed, on standard output when it succeeded
  } cases[] = {
      {{"--help"}, gwctl::kExitOk, "usage: gwctl [options] COMMAND DEVICE [ARGUMENTS]\n"},
      {{"retrieve", "gw-1", "14"}, gwctl::kExitUsage, "gwctl: no server"},
      {{"-s", "ftp://x", "retrieve", "gw-1", "14"}, gwctl::kExitUsage, "gwctl: unusable server URI"},
      {{"-s", closedPort, "-t", "1", "retrieve", "gw-1", "14"}, gwctl::kExitConnection,
       "gwctl: not connected"},
      {{"-s", closedPort, "-t", "1", "watch", "gw-1"}, gwctl::kExitConnection,
       "gwctl: not connected"},
  };
  for (const Case& c : cases) {
    auto [status, out, err] = RunConsole(c.words);
    EXPECT_EQ(status, c.status) << c.words[0] << "\n" << err;
    EXPECT_EQ((status == gwctl::kExitOk ? out : err).rfind(c.printed, 0), 0u) << out << err;
    // watch blocks the stop signals while it waits for them; the caller
    // gets its mask back.
    sigset_t blocked;
    pthread_sigmask(SIG_SETMASK, nullptr, &blocked);
    for (int signal : {SIGINT, SIGTERM, SIGUSR1}) {
      EXPECT_FALSE(sigismember(&blocked, signal)) << signal << " after " << c.words.back();
    }
  }
}

}  // namespace
