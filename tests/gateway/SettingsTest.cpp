// The command line, the configuration file and the usage text.
#include "ConsoleCapture.h"
#include "GatewaySettings.h"
#include "LogCapture.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

using kivtest::LogCapture;
using Settings = kivtest::GatewaySettings;

namespace {

Settings CurrentSettings() { return kivtest::CurrentGatewaySettings(); }

// A file of tests/data/gateway in the source tree.
std::string DataFile(const std::string& name) {
  return kivtest::SourceDir() + "/tests/data/gateway/" + name;
}

// A command line for option(): argv[0] is "gatewayd".
struct CommandLine : kivtest::CommandLine {
  explicit CommandLine(std::vector<std::string> words) : kivtest::CommandLine("gatewayd", std::move(words)) {}
};

struct OptionCase {
  const char* name;
  std::vector<std::string> words;
  int result;
  Settings settings;                  // after init() and the parse
  std::vector<std::string> logged;    // "option" lines, in order
  std::string error;                  // expected on standard error ("" = nothing of ours)
};

const std::string kTryHelp = "gatewayd: try 'gatewayd -h' for more information\n";

TEST(Option, HandlesEveryRowOfTheOptionTable) {
  const std::string partial = DataFile("partial.cfg");
  const std::vector<OptionCase> cases = {
      {"every text option and -d, the password masked",
       {"-g", "G", "-t", "T", "-k", "K", "-s", "S", "-d", "x", "-u", "U", "-p", "pw1", "-i", "15"},
       0,
       {"G", "T", "K", "S", "U", "pw1", "15", true},
       {"gatewayId : G", "tokenId : T", "key : K", "server : S", "Enable DEBUG MODE", "user : U",
        "pass : ***", "interval : 15"},
       ""},
      // -d's value is optional: a following option is never taken for it.
      {"-d then an option, as the usage text shows", {"-d", "-u", "bob", "-p", "-d"}, 0,
       {"", "", "", "", "bob", "-d", "", true}, {"Enable DEBUG MODE", "user : bob", "pass : **"}, ""},
      {"-d at the end", {"-i", "5", "-d"}, 0, {"", "", "", "", "", "", "5", true},
       {"interval : 5", "Enable DEBUG MODE"}, ""},
      {"-d with its value in its word", {"-don", "-i", "5"}, 0, {"", "", "", "", "", "", "5", true},
       {"Enable DEBUG MODE", "interval : 5"}, ""},
      {"a missing value", {"-g"}, 1, {}, {},
       "gatewayd: option requires an argument -- 'g'\n" + kTryHelp},
      {"an unknown option", {"-x"}, 1, {}, {}, "gatewayd: invalid option -- 'x'\n" + kTryHelp},
      {"the same option twice", {"-g", "one", "-g", "two"}, 0, {"two", "", "", "", "", "", "", false},
       {"gatewayId : one", "gatewayId : two"}, ""},
      {"an empty value", {"-g", ""}, 0, {}, {"gatewayId : "}, ""},
      {"a word that is not an option", {"word"}, 0, {}, {}, ""},
      {"-h ends the parse", {"-s", "S", "-h", "-g", "G"}, 0, {"", "", "", "S", "", "", "", false},
       {"server : S"}, ""},
      {"-f ends the parse and replaces earlier values", {"-s", "S", "-u", "U", "-f", partial, "-g", "G"},
       0, {"", "", "", "tcp://127.0.0.1:1883", "", "", "60", false}, {"server : S", "user : U"}, ""},
      {"-f with a missing file", {"-f", "/nonexistent/gw.cfg"}, 1, {}, {}, ""},
  };
  for (const OptionCase& c : cases) {
    SCOPED_TRACE(c.name);
    init();
    LogCapture log;
    CommandLine line(c.words);
    int result;
    std::string err;
    {
      kivtest::ConsoleCapture out;  // the usage text of -h
      kivtest::ConsoleCapture errors(STDERR_FILENO);
      result = option(line.argc(), line.argv());
      err = errors.Text();
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(CurrentSettings(), c.settings);
    EXPECT_EQ(log.Messages("option"), c.logged);
    for (const std::string& message : log.Messages("option")) {
      EXPECT_TRUE(log.Has(kiv::kLogInformation, "option", message));
    }
    if (!c.error.empty()) {
      EXPECT_NE(err.find(c.error), std::string::npos) << err;
    } else {
      EXPECT_EQ(err.find("for more information"), std::string::npos) << err;
    }
  }
}

TEST(Option, PrintsTheUsageTextExactly) {
  CommandLine line({"-h"});
  kivtest::ConsoleCapture console;
  EXPECT_EQ(option(line.argc(), line.argv()), 0);
  EXPECT_EQ(console.Text(),
            "Usage: gatewayd [options...]\n"
            "Examples:\n"
            "\t gatewayd -f /opt/gw.cfg\n"
            "\t gatewayd -g a1b2c3d4e5 -s tcp://127.0.0.1:1883 -d -u user -p password -i 15\n"
            " -g,\t Define the gatewayId\n"
            " -s,\t Define the broker server uri\n"
            " -d,\t Enable debug mode\n"
            " -u,\t Define the username\n"
            " -p,\t Define the password\n"
            " -i,\t Define the interval time (seconds) to send all data\n");
}

struct ConfigCase {
  const char* file;
  int result;
  Settings settings;     // after loading over kOld
  std::string error;     // the category-4 "loadconfig" line ("" = none)
};

const Settings kOld{"old-id",   "old-token", "old-key", "old-uri", "old-user",
                    "old-pass", "9",         true,      "7",       "99"};

std::string BadKey(const std::string& file, const char* key, const char* expected) {
  return "Error in configuration file " + DataFile(file) + ": key \"" + key + "\" must be " +
         expected + "\n";
}

TEST(Loadconfig, LoadsAllOrNothing) {
  const std::vector<ConfigCase> cases = {
      {"complete.cfg", 0,
       {"a1b2c3d4e5", "token-1", "key-1", "tcp://127.0.0.1:1883", "user-1", "pass-1", "15", true,
        "30", "65536"},
       ""},
      {"partial.cfg", 0, {"", "", "", "tcp://127.0.0.1:1883", "", "", "60", false}, ""},
      {"numbers.cfg", 0, {"12345", "", "", "", "true", "-7", "60", true}, ""},
      {"comments.cfg", 0, {"", "", "", "tcp://127.0.0.1:1883", "", "", "", false}, ""},
      {"invalid.cfg", 1, kOld, "Error while parse gw.cnf\n"},
      {"root-array.cfg", 1, kOld,
       "Error in configuration file " + DataFile("root-array.cfg") +
           ": the root is not a JSON object\n"},
      {"root-text.cfg", 1, kOld,
       "Error in configuration file " + DataFile("root-text.cfg") +
           ": the root is not a JSON object\n"},
      {"wrong-array.cfg", 1, kOld, BadKey("wrong-array.cfg", "user", "a text or a number")},
      {"wrong-object.cfg", 1, kOld, BadKey("wrong-object.cfg", "serverURI", "a text or a number")},
      {"wrong-flag.cfg", 1, kOld, BadKey("wrong-flag.cfg", "debug_enable", "a boolean or a number")},
      {"wrong-bound.cfg", 1, kOld,
       BadKey("wrong-bound.cfg", "node_timeout", "a whole number of seconds from 1 to 86400")},
      {"huge-bound.cfg", 1, kOld,
       BadKey("huge-bound.cfg", "node_timeout", "a whole number of seconds from 1 to 86400")},
      {"missing.cfg", 1, kOld, "Could not open file " + DataFile("missing.cfg") + "\n"},
  };
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(c.file);
    // complete.cfg's recordsPlacement goes to the environment: none is left behind.
    kivtest::ScopedEnvironment environment({{"KIV_RECORDS_PLACEMENT", std::nullopt}});
    kivtest::SetGatewaySettings(kOld);
    LogCapture log;
    EXPECT_EQ(loadconfig(DataFile(c.file)), c.result);
    EXPECT_EQ(CurrentSettings(), c.settings);
    if (c.error.empty()) {
      EXPECT_TRUE(log.Messages("loadconfig").empty());
    } else {
      EXPECT_TRUE(log.Has(kiv::kLogError, "loadconfig", c.error));
      EXPECT_EQ(log.Messages("loadconfig").size(), 1u);
    }
  }
}

// The SDK's settings that the file may carry reach it as its environment,
// where the service's own environment wins; a file refused as a whole leaves
// them alone.
TEST(Loadconfig, PassesTheSdkSettingsItCarriesOnThroughTheEnvironment) {
  const char* const kVariables[] = {"KIV_RECORDS_PLACEMENT", "KIV_POINT_OF_ACCESS", "KIV_KEEPALIVE_SECONDS"};
  constexpr const char* kUnset = "(unset)";
  const std::string kFile = R"({"recordsPlacement": "ae", "pointOfAccess": "mqtt://cluster.example:1883", "keepAlive": 20})";
  struct Case {
    std::string document;
    std::optional<std::string> before;  // each variable beforehand
    int result;
    const char* after;  // each variable afterwards
  } cases[] = {
      {kFile, std::nullopt, 0, nullptr},  // nullptr: the file's values
      {kFile, "from-env", 0, "from-env"},
      {R"({"recordsPlacement": "", "pointOfAccess": "", "serverURI": "tcp://a:1"})", std::nullopt, 0, kUnset},
      {R"({"recordsPlacement": "ae", "pointOfAccess": ["mqtt://x"], "keepAlive": "20"})", std::nullopt, 1, kUnset},
  };
  const char* const kFileValues[] = {"ae", "mqtt://cluster.example:1883", "20"};
  kivtest::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.document + " over " + c.before.value_or(kUnset));
    std::map<std::string, std::optional<std::string>> before;
    for (const char* variable : kVariables) before[variable] = c.before;
    kivtest::ScopedEnvironment environment(before);
    kivtest::WriteFile(dir.File("gw.cfg"), c.document);
    LogCapture log;
    EXPECT_EQ(loadconfig(dir.File("gw.cfg")), c.result);
    for (size_t i = 0; i < std::size(kVariables); ++i) {
      EXPECT_EQ(kivtest::EnvironmentVariable(kVariables[i], kUnset), c.after ? c.after : kFileValues[i])
          << kVariables[i];
    }
  }
}

TEST(Loadconfig, RefusesNestingTooDeepForTheReader) {
  kivtest::TempDir dir;
  std::string deep = std::string(5000, '[') + std::string(5000, ']');
  kivtest::WriteFile(dir.File("deep.cfg"), deep);
  kivtest::SetGatewaySettings(kOld);
  LogCapture log;
  EXPECT_EQ(loadconfig(dir.File("deep.cfg")), 1);
  EXPECT_EQ(CurrentSettings(), kOld);
  EXPECT_TRUE(log.Has(kiv::kLogError, "loadconfig", "Error while parse gw.cnf\n"));
}

TEST(Init, EmptiesEveryTextAndClearsDebug) {
  kivtest::SetGatewaySettings(kOld);
  init();
  EXPECT_EQ(CurrentSettings(), Settings{});
}

}  // namespace

namespace {

TEST(NodeTimeLimit, IsTheSettingElseTheIntervalAtMostAMinute) {
  using std::chrono::milliseconds;
  struct Case {
    const char* setting;
    milliseconds interval, limit;
  } cases[] = {
      {"", milliseconds(15000), milliseconds(15000)},
      {"", milliseconds(600000), milliseconds(60000)},
      {"", milliseconds(1000), milliseconds(1000)},
      {"300", milliseconds(15000), milliseconds(300000)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NodeTimeLimit(c.setting, c.interval).count(), c.limit.count()) << c.setting;
  }
}

TEST(PublishInterval, ReadsLeadingWholeSeconds) {
  using std::chrono::milliseconds;
  struct Case {
    const char* text;
    milliseconds interval;
  } cases[] = {
      {"", milliseconds(15000)},       {"0", milliseconds(15000)},
      {"-5", milliseconds(15000)},     {"abc", milliseconds(15000)},
      {"1", milliseconds(1000)},       {"15", milliseconds(15000)},
      {"60", milliseconds(60000)},     {"7abc", milliseconds(7000)},
      {"  +3", milliseconds(3000)},    {"15.9", milliseconds(15000)},
      // Past what a 32-bit microsecond sleep (4294 s) or millisecond int holds.
      {"5000", milliseconds(5000000LL)},
      {"99999999999", milliseconds(2147483647LL * 1000)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PublishInterval(c.text).count(), c.interval.count()) << '"' << c.text << '"';
  }
}

}  // namespace
