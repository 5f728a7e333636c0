// The demonstration program end to end: modemctl on the simulator's
// pseudo-terminal, the simulator bridged to a private mosquitto.
#include "ModemTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>

namespace {

using kivtest::ModemSimulator;
using kivtest::Occurrences;
using kivtest::Process;
using kivtest::TestBroker;

const std::chrono::milliseconds kDeadline(120000);

Process StartDemo(const std::string& device) {
  Process::Options options;
  options.env["MODEMCTL_DEVICE"] = device;
  options.env["MODEMCTL_BROKER_HOST"] = "127.0.0.1";
  return Process(kivtest::ProgramCommand("modem/modemctl"), options);
}

// Arrival times of "hello world!" in "<seconds> <payload>" lines.
std::vector<double> ArrivalTimes(const std::string& lines) {
  std::vector<double> times;
  std::istringstream in(lines);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(" hello world!") != std::string::npos) times.push_back(std::atof(line.c_str()));
  }
  return times;
}

TEST(ModemDemo, PublishesHelloWorldEveryFiveSecondsAndPrintsWhatArrives) {
  TestBroker broker;
  const std::string port = std::to_string(broker.port());
  Process subscriber({"mosquitto_sub", "-h", "127.0.0.1", "-p", port, "-q", "1", "-t", "/hello",
                      "-F", "%U %p"});
  ModemSimulator simulator({"--broker", broker.uri()});
  Process demo(StartDemo(simulator.device()));

  ASSERT_TRUE(kivtest::WaitUntil(
      [&] { return Occurrences(subscriber.Stdout(), "hello world!") >= 3; }, kDeadline))
      << subscriber.Stdout() << demo.Stdout();
  std::vector<double> times = ArrivalTimes(subscriber.Stdout());
  for (size_t i = 1; i < times.size(); ++i) {
    // Publishes start five seconds apart; the way to the broker varies by
    // a few scheduling delays.
    EXPECT_GE(times[i] - times[i - 1], 4.75) << subscriber.Stdout();
  }
  std::string written = simulator.Transcript();
  size_t at = 0;
  for (int msgId = 0; msgId < 3; ++msgId) {
    std::string publish =
        "AT+QMTPUB=0," + std::to_string(msgId) + ",1,0,\"/hello\",\"hello world!\"\r\n";
    at = written.find(publish, at);
    ASSERT_NE(std::string::npos, at) << publish << " in\n" << written;
  }

  // A message another client publishes is printed by the callback, once it
  // arrives while the demo drains the line (not in the middle of a publish).
  bool printed = false;
  for (int attempt = 0; attempt < 30 && !printed; ++attempt) {
    Process publisher(
        {"mosquitto_pub", "-h", "127.0.0.1", "-p", port, "-q", "1", "-t", "/hello", "-m",
         "from outside"});
    ASSERT_EQ(0, publisher.Wait(std::chrono::milliseconds(30000)));
    printed = demo.WaitForOutput("data: \"from outside\"", std::chrono::milliseconds(3000));
  }
  EXPECT_TRUE(printed) << demo.Stdout();
  EXPECT_TRUE(std::regex_search(
      demo.Stdout(), std::regex("\nPrint content socket: 0, msgID: [0-9]+, data: \"from outside\"")))
      << demo.Stdout();
  EXPECT_TRUE(demo.Running());
}

TEST(ModemDemo, PrintsOnlyMessagesThatArriveOnceItsCallbackIsSet) {
  // A message during bring-up, before the callback is registered.
  ModemSimulator simulator({"--urc-before", "AT+CPIN?", "+QMTRECV: 0,4,\"/hello\",\"early\""});
  Process demo(StartDemo(simulator.device()));
  ASSERT_TRUE(demo.WaitForOutput("Send AT+QMTPUB=", kDeadline)) << demo.Stdout();
  bool printed = false;
  for (int attempt = 0; attempt < 20 && !printed; ++attempt) {
    simulator.Send("\r\n+QMTRECV: 0,5,\"/hello\",\"late\"\r\n");
    printed = demo.WaitForOutput("\nPrint content socket: 0, msgID: 5, data: \"late\"\r\n",
                                 std::chrono::milliseconds(3000));
  }
  EXPECT_TRUE(printed) << demo.Stdout();
  EXPECT_NE(std::string::npos, demo.Stdout().find("+QMTRECV: 0,4,\"/hello\",\"early\""));
  EXPECT_EQ(std::string::npos, demo.Stdout().find("data: \"early\"")) << demo.Stdout();
}

TEST(ModemDemo, WithoutAModemItKeepsLoopingAndTrying) {
  Process::Options options;
  options.env["MODEMCTL_DEVICE"] = "/nonexistent/ttyS9";
  Process demo(kivtest::ProgramCommand("modem/modemctl"), options);
  ASSERT_TRUE(demo.WaitForOutput("error 2 opening /nonexistent/ttyS9: No such file or directory\n",
                                 kDeadline));
  // Three bring-up probes, then the probes of the first publish attempt.
  EXPECT_TRUE(kivtest::WaitUntil([&] { return Occurrences(demo.Stdout(), "Send AT\r\n...") >= 5; },
                                 kDeadline))
      << demo.Stdout();
  EXPECT_TRUE(demo.Running());
  EXPECT_EQ(std::string::npos, demo.Stdout().find("Send AT+QMTCONN=")) << "no connect after a "
                                                                         "failed bring-up";
}

}  // namespace
