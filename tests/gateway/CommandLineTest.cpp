// gatewayd as a program: usage, bad options, configuration errors, and
// the wait for input at the end, which a stop signal cuts short.
#include "TestSupport.h"
#include "kiv/StateFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

using namespace std::chrono_literals;
using Stream = kivtest::Process::Stream;

namespace {

std::vector<std::string> Gatewayd(std::vector<std::string> words) {
  std::vector<std::string> command = kivtest::ProgramCommand("src/gatewayd");
  command.insert(command.end(), words.begin(), words.end());
  return command;
}

// The program name as gatewayd sees it in argv[0].
std::string ProgramName() { return kivtest::ProgramCommand("src/gatewayd").back(); }

TEST(Gatewayd, PrintsTheUsageTextForH) {
  kivtest::Process gw(Gatewayd({"-h"}));
  ASSERT_EQ(gw.Wait(30s), 0);
  std::string name = ProgramName();
  EXPECT_EQ(gw.Stdout().rfind("Usage: " + name + " [options...]\nExamples:\n\t " + name +
                                  " -f /opt/gw.cfg\n",
                              0),
            0u)
      << gw.Stdout();
  EXPECT_NE(gw.Stderr().find("Start: serverURI is empty!, please enter the serverURI correctly"),
            std::string::npos);
}

TEST(Gatewayd, PointsToHelpForAMissingValue) {
  kivtest::Process gw(Gatewayd({"-g"}));
  ASSERT_EQ(gw.Wait(30s), 0);
  std::string name = ProgramName();
  EXPECT_NE(gw.Stderr().find(name + ": option requires an argument -- 'g'\n" + name + ": try '" +
                             name + " -h' for more information\n"),
            std::string::npos)
      << gw.Stderr();
  EXPECT_EQ(gw.Stderr().find("serverURI is empty"), std::string::npos);
}

TEST(Gatewayd, LogsAMissingConfigurationFile) {
  kivtest::Process gw(Gatewayd({"-f", "missing.cfg"}));
  ASSERT_EQ(gw.Wait(30s), 0);
  EXPECT_NE(gw.Stderr().find("[ERROR] src/main:"), std::string::npos) << gw.Stderr();
  EXPECT_NE(gw.Stderr().find(" loadconfig: Could not open file missing.cfg"), std::string::npos)
      << gw.Stderr();
}

TEST(Gatewayd, ReadsTheDefaultFileWithoutArguments) {
  if (access("/opt/kiv/gw.cfg", F_OK) == 0) GTEST_SKIP() << "a real /opt/kiv/gw.cfg exists";
  kivtest::Process gw(Gatewayd({}));
  ASSERT_EQ(gw.Wait(30s), 0);
  EXPECT_NE(gw.Stderr().find("Could not open file /opt/kiv/gw.cfg"), std::string::npos);
}

// The identity lines come before the log configuration: held until it, then
// shown in debug mode only, in their place before the first connection error.
TEST(Gatewayd, ShowsItsIdentityLinesInDebugModeOnly) {
  const std::string identity =
      "Start: gatewayId: X1\n[^\n]* Start: tokenId: [0-9a-f]{32}\n[^\n]* Start: key: C[0-9a-f]{32}\n";
  for (bool debug : {true, false}) {
    SCOPED_TRACE(debug ? "-d" : "normal");
    std::vector<std::string> words = {"-g", "X1", "-s", "bogus"};
    if (debug) words.insert(words.end(), {"-d", "on"});
    kivtest::Process::Options options;
    options.stdinPipe = true;
    kivtest::Process gw(Gatewayd(words), options);
    ASSERT_TRUE(gw.WaitForOutput("unusable server URI", 30s, Stream::kErr)) << gw.Stderr();
    gw.Signal(SIGTERM);
    EXPECT_EQ(gw.Wait(30s), 0);
    std::string log = gw.Stderr();
    size_t lines = kivtest::RegexSearch(log, identity);
    EXPECT_EQ(lines != std::string::npos, debug) << log;
    if (debug) {
      EXPECT_LT(lines, log.find("unusable server URI"));
    } else {
      EXPECT_EQ(log.find("gatewayId"), std::string::npos) << log;
    }
  }
}

TEST(Gatewayd, WaitsForOneCharacterAtTheEnd) {
  kivtest::Process::Options options;
  options.stdinPipe = true;
  kivtest::Process gw(Gatewayd({"-g", "id"}), options);
  ASSERT_TRUE(gw.WaitForOutput("serverURI is empty", 30s, Stream::kErr));
  EXPECT_TRUE(gw.Running());
  gw.WriteStdin("x");
  EXPECT_EQ(gw.Wait(30s), 0);
}

TEST(Gatewayd, EndsWithoutInputWhenStoppedBySignal) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    kivtest::Process::Options options;
    options.stdinPipe = true;  // open and silent: getchar would wait for ever
    kivtest::Process gw(Gatewayd({"-g", "id"}), options);
    ASSERT_TRUE(gw.WaitForOutput("serverURI is empty", 30s, Stream::kErr));
    gw.Signal(signal);
    EXPECT_EQ(gw.Wait(30s), 0);
  }
}

// A second gatewayd on the same state folder would overwrite the first
// one's records: it stops at once, with a status a service manager sees.
TEST(Gatewayd, RefusesAStateFolderInUse) {
  kivtest::TempDir state;
  kivtest::ScopedEnvironment environment({{"STATE_DIRECTORY", state.path()}});
  std::string problem;
  const kiv::StateFolderLock held = kiv::AcquireStateFolder(&problem);
  ASSERT_TRUE(held.Held()) << problem;
  kivtest::Process gw(Gatewayd({"-g", "X1", "-s", "tcp://127.0.0.1:1"}));
  EXPECT_EQ(gw.Wait(30s), 1);
  EXPECT_NE(gw.Stderr().find("[ERROR] src/main:"), std::string::npos) << gw.Stderr();
  EXPECT_NE(gw.Stderr().find(" main: the state folder " + state.path() +
                             " is in use by another process"),
            std::string::npos)
      << gw.Stderr();
  EXPECT_NE(gw.Stderr().find("; gatewayd does not start"), std::string::npos) << gw.Stderr();
}

// An allow-list that names no one would let everyone in: gatewayd stops at
// once with the reason, instead of retrying a connection that cannot be.
TEST(Gatewayd, RefusesAnAllowListThatNamesNoOne) {
  for (const char* value : {"", " , ", ",,"}) {
    kivtest::ScopedEnvironment environment({{"KIV_ALLOWED_ORIGINATORS", std::string(value)}});
    kivtest::Process gw(Gatewayd({"-g", "X1", "-s", "tcp://127.0.0.1:1"}));
    EXPECT_EQ(gw.Wait(30s), 1) << "\"" << value << "\"";
    EXPECT_NE(gw.Stderr().find(" main: KIV_ALLOWED_ORIGINATORS is set but names no originator (\"" +
                               std::string(value) + "\")"),
              std::string::npos)
        << gw.Stderr();
    EXPECT_NE(gw.Stderr().find("; gatewayd does not start"), std::string::npos) << gw.Stderr();
  }
}

}  // namespace
