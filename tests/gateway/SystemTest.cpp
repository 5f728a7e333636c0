// The shell runner and the network helpers.
#include "GatewayTestSupport.h"
#include "System.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdexcept>
#include <sys/resource.h>
#include <unistd.h>

using gwtest::LogCapture;

namespace {

TEST(ExecuteShellCommand, ReturnsAllStandardOutput) {
  const std::string longLine(300, 'x');
  struct Case {
    std::string command;
    std::string output;
  } cases[] = {
      {"true", ""},
      {"printf abc", "abc"},
      {"printf 'a\\nb\\n'", "a\nb\n"},
      {"printf '%s\\n' " + longLine, longLine + "\n"},
      {"printf '%s' " + longLine, longLine},
      // Text after a NUL is lost within its read only.
      {"printf 'ab\\0cd\\nef\\n'", "abef\n"},
      {"echo err >&2; echo out", "out\n"},
      {"exit 3", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(System::ExecuteShellCommand(c.command.c_str()), c.output);
  }
}

TEST(ExecuteShellCommand, ThrowsWhenTheCommandCannotStart) {
  EXPECT_THROW(
      {
        try {
          System::ExecuteShellCommand(nullptr);
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "popen() failed!");
          throw;
        }
      },
      std::runtime_error);

  // No descriptor left for the pipe: popen fails.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int next = open("/dev/null", O_RDONLY);
  ASSERT_GE(next, 0);
  close(next);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(next) + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  bool threw = false;
  try {
    System::ExecuteShellCommand("echo never");
  } catch (const std::runtime_error& error) {
    threw = std::string(error.what()) == "popen() failed!";
  }
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_TRUE(threw);
}

TEST(ReadAllOutput, StopsAtALastingReadError) {
  // Reading a directory fails with EISDIR on every read and never sets EOF.
  FILE* directory = fopen("/", "r");
  ASSERT_NE(directory, nullptr);
  EXPECT_EQ(System::ReadAllOutput(directory), "");
  fclose(directory);
}

TEST(GetIfMacAddr, ReadsTheLoopbackAddress) {
  LogCapture log;
  EXPECT_EQ(System::GetIfMacAddr("lo"), "000000000000");
  EXPECT_TRUE(log.Records().empty());
}

TEST(GetIfMacAddr, LogsAMissingInterface) {
  LogCapture log;
  EXPECT_EQ(System::GetIfMacAddr("nosuchif0"), "");
  EXPECT_TRUE(log.Has(kiv::kLogError, "GetIfMacAddr", "Error while get nosuchif0 mac address"));
  EXPECT_EQ(log.Records().at(0).file, "src/System");
}

// Each name would create the marker file if it reached the shell.
TEST(GetIfMacAddr, NeverHandsAHostileNameToTheShell) {
  kivtest::TempDir dir;
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const std::string names[] = {
      "lo;touch marker;",  "$(touch marker)",  "`touch marker`", "lo' ;touch marker; '",
      "lo|touch marker",   "lo&&touch marker", "lo\ntouch marker", "lo>marker",
      "",                  "..",               "../../../../tmp",  "sixteen-chars-xx",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    LogCapture log;
    EXPECT_EQ(System::GetIfMacAddr(name.c_str()), "");
    EXPECT_TRUE(log.Has(kiv::kLogError, "GetIfMacAddr",
                        "Error while get " + name + " mac address"));
  }
  bool created = access("marker", F_OK) == 0;
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_FALSE(created);
}

TEST(IsPlainInterfaceName, AcceptsRealInterfaceNames) {
  for (const char* name : {"lo", "eth0", "br-lan", "eth0.100", "wlan0_1", "fifteen-chars-x"}) {
    EXPECT_TRUE(System::IsPlainInterfaceName(name)) << name;
  }
  EXPECT_FALSE(System::IsPlainInterfaceName(nullptr));
}

TEST(NetworkHelpers, LogTheirResult) {
  LogCapture log;
  std::string local = GetLocalIpAddr();
  EXPECT_TRUE(log.Has(kiv::kLogInformation, "GetLocalIpAddr", "Local IP: " + local));
  if (access("/sys/class/net/tun0", F_OK) != 0) {
    EXPECT_EQ(GetTunIpAddr(), "");
    EXPECT_TRUE(log.Has(kiv::kLogError, "GetTunIpAddr", "Error while get TUN addresss"));
  }
}

}  // namespace
