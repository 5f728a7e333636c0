// The shell runner and the network helpers.
#include "Gateway.h"
#include "LogCapture.h"
#include "System.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using kivtest::LogCapture;

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

// In a child process with a network namespace and a /sys of its own: makes
// an interface whose address has hex letters and reads it with GetIfMacAddr.
// "ok:<result>", or "skip:<why the interface cannot be made here>".
std::string MacOfPrivateInterface() {
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
    return std::string("skip:no private network namespace (") + strerror(errno) +
           "); it needs root or CAP_SYS_ADMIN";
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
    return std::string("skip:cannot mount a private /sys (") + strerror(errno) + ")";
  }
  // A dummy interface needs its kernel module; veth and bridge do too, but
  // one of the three is usually there.
  for (const char* kind : {"dummy", "veth peer name kivpeer0", "bridge"}) {
    std::string command =
        std::string("ip link add kivmac0 address 02:ab:cd:ef:01:23 type ") + kind + " 2>/dev/null";
    if (system(command.c_str()) == 0) return "ok:" + System::GetIfMacAddr("kivmac0");
  }
  return "skip:ip link add can make no dummy, veth or bridge interface here";
}

TEST(GetIfMacAddr, UpperCasesTheHexLettersOfTheAddress) {
  int channel[2];
  ASSERT_EQ(pipe(channel), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(channel[0]);
    std::string reply = MacOfPrivateInterface();
    _exit(write(channel[1], reply.data(), reply.size()) == static_cast<ssize_t>(reply.size()) ? 0
                                                                                               : 1);
  }
  close(channel[1]);
  std::string reply;
  char buffer[256];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) reply.append(buffer, n);
  close(channel[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  if (reply.rfind("skip:", 0) == 0) GTEST_SKIP() << reply.substr(5);
  EXPECT_EQ(reply, "ok:02ABCDEF0123");
}

// Each name would create the marker file if it reached the shell.
TEST(GetIfMacAddr, NeverHandsAHostileNameToTheShell) {
  kivtest::TempDir dir;
  kivtest::WorkingDirectory inDir(dir.path());
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
  EXPECT_NE(access("marker", F_OK), 0);
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
